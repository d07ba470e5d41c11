#include "suite/kxpluginssettings.h"

#include "platform/registry/kregsettings.h"

namespace {
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins");
} // namespace

KxPluginsSettings::KxPluginsSettings(const QString &group)
    : m_group(group)
{
}

KxPluginsSettings::~KxPluginsSettings() = default;

QString KxPluginsSettings::keyPath(const QString &group)
{
    return group.isEmpty() ? PluginsKey : PluginsKey + QLatin1Char('\\') + group;
}

QString KxPluginsSettings::keyPath() const
{
    return keyPath(m_group);
}

QVariant KxPluginsSettings::value(const QString &key, const QVariant &defaultValue) const
{
    return KRegSettings(keyPath()).value(key, defaultValue);
}

void KxPluginsSettings::setValue(const QString &key, const QVariant &value)
{
    KRegSettings(keyPath()).setValue(key, value);
}

bool KxPluginsSettings::contains(const QString &key) const
{
    return KRegSettings(keyPath()).contains(key);
}

bool KxPluginsSettings::boolValue(const QString &key, bool defaultValue) const
{
    const QVariant v = value(key);
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        return v.toLongLong() != 0;
    case QMetaType::QString: {
        const QString text = v.toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
        return defaultValue;
    }
    default:
        return defaultValue;
    }
}

quint32 KxPluginsSettings::dwordValue(const QString &key, quint32 defaultValue) const
{
    const QVariant v = value(key);
    bool ok = false;
    qlonglong n = 0;
    switch (v.typeId()) {
    case QMetaType::Int: // the store hands DWORDs out as int: the bits are the value
        n = quint32(v.toInt());
        ok = true;
        break;
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        n = v.toLongLong(&ok);
        break;
    case QMetaType::QString:
        n = v.toString().trimmed().toLongLong(&ok);
        break;
    default:
        break;
    }
    return ok && n >= 0 && n <= 0xFFFFFFFFLL ? quint32(n) : defaultValue;
}
