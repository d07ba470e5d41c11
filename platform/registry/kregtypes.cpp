#include "platform/registry/kregtypes.h"

#include <array>
#include <limits>

namespace {

struct TypeName
{
    KRegType type;
    const char *name;
};

constexpr std::array<TypeName, 5> kTypeNames{{
    {KRegType::Sz, "REG_SZ"},
    {KRegType::Dword, "REG_DWORD"},
    {KRegType::Qword, "REG_QWORD"},
    {KRegType::MultiSz, "REG_MULTI_SZ"},
    {KRegType::Binary, "REG_BINARY"},
}};

bool isTextList(const QVariant &data)
{
    if (data.typeId() == QMetaType::QStringList)
        return true;
    if (data.typeId() != QMetaType::QVariantList)
        return false;
    const QVariantList list = data.toList();
    for (const QVariant &item : list) {
        if (item.typeId() != QMetaType::QString)
            return false;
    }
    return true;
}

} // namespace

QString kregTypeName(KRegType type)
{
    for (const TypeName &t : kTypeNames) {
        if (t.type == type)
            return QLatin1String(t.name);
    }
    return QString();
}

KRegType kregTypeFromName(const QString &name)
{
    for (const TypeName &t : kTypeNames) {
        if (name.compare(QLatin1String(t.name), Qt::CaseInsensitive) == 0)
            return t.type;
    }
    return KRegType::None;
}

KRegValue KRegValue::make(const QString &name, KRegType type, const QVariant &data)
{
    const auto invalid = [&name] { return KRegValue{name, KRegType::None, QVariant()}; };
    KRegValue v{name, type, QVariant()};
    bool ok = true;
    switch (type) {
    case KRegType::None:
        return invalid();
    case KRegType::Sz:
        if (!data.isValid() || !data.canConvert<QString>())
            return invalid();
        v.data = data.toString();
        break;
    case KRegType::Dword: {
        // Negative ints are stored as their 32-bit pattern, as a DWORD holds them.
        const qlonglong n = data.toLongLong(&ok);
        if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<quint32>::max())
            return invalid();
        v.data = QVariant::fromValue(quint32(n));
        break;
    }
    case KRegType::Qword:
        if (data.typeId() == QMetaType::ULongLong) {
            v.data = QVariant::fromValue(qlonglong(data.toULongLong()));
        } else {
            const qlonglong n = data.toLongLong(&ok);
            if (!ok)
                return invalid();
            v.data = QVariant::fromValue(n);
        }
        break;
    case KRegType::MultiSz:
        if (!isTextList(data) && data.typeId() != QMetaType::QString)
            return invalid();
        v.data = data.toStringList();
        break;
    case KRegType::Binary:
        if (!data.isValid() || !data.canConvert<QByteArray>())
            return invalid();
        v.data = data.toByteArray();
        break;
    }
    return v;
}

KRegValue KRegValue::fromVariant(const QString &name, const QVariant &data)
{
    const auto invalid = [&name] { return KRegValue{name, KRegType::None, QVariant()}; };
    switch (data.typeId()) {
    case QMetaType::QString:
        return make(name, KRegType::Sz, data);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
        return make(name, KRegType::Dword, data.typeId() == QMetaType::Bool ? QVariant(int(data.toBool())) : data);
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return make(name, KRegType::Qword, data);
    case QMetaType::QStringList:
        return make(name, KRegType::MultiSz, data);
    case QMetaType::QByteArray:
        return make(name, KRegType::Binary, data);
    default:
        break;
    }
    if (isTextList(data))
        return make(name, KRegType::MultiSz, data);
    // Lists and maps claim a text form that loses their content; refuse them.
    if (data.typeId() == QMetaType::QVariantList || data.typeId() == QMetaType::QVariantMap
        || data.typeId() == QMetaType::QVariantHash)
        return invalid();
    return make(name, KRegType::Sz, data);
}

KRegKeyPath::KRegKeyPath(KRegHive hive, const QStringList &keys)
    : m_valid(true)
    , m_hive(hive)
    , m_keys(keys)
{
}

QStringList KRegKeyPath::split(const QString &text)
{
    QString normal = text;
    normal.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return normal.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

KRegKeyPath KRegKeyPath::parse(const QString &text)
{
    QStringList parts = split(text);
    if (parts.isEmpty())
        return KRegKeyPath();
    const QString root = parts.takeFirst();
    const auto is = [&root](const char *name) { return root.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
    if (is("HKEY_CURRENT_USER") || is("HKCU"))
        return KRegKeyPath(KRegHive::CurrentUser, parts);
    if (is("HKEY_LOCAL_MACHINE") || is("HKLM"))
        return KRegKeyPath(KRegHive::LocalMachine, parts);
    return KRegKeyPath();
}

QString KRegKeyPath::hiveName(KRegHive hive)
{
    return hive == KRegHive::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE") : QStringLiteral("HKEY_CURRENT_USER");
}

KRegKeyPath KRegKeyPath::child(const QStringList &names) const
{
    KRegKeyPath path = *this;
    path.m_keys += names;
    return path;
}

QString KRegKeyPath::toString() const
{
    if (!m_valid)
        return QString();
    QStringList all{hiveName(m_hive)};
    all += m_keys;
    return all.join(QLatin1Char('\\'));
}
