#include "platform/registry/kregsettings.h"

#include "platform/registry/kregstore.h"

namespace {

// The variant a stored value is handed out as, as the native settings format does.
QVariant toVariant(const KRegValue &value)
{
    if (value.type == KRegType::Dword)
        return QVariant(int(value.data.toUInt()));
    return value.data;
}

void collectKeys(const KRegNode &node, const QString &prefix, QStringList *names)
{
    for (const KRegValue &value : node.values())
        names->append(prefix + value.name);
    for (const KRegNode &sub : node.subkeys())
        collectKeys(sub, prefix + sub.name() + QLatin1Char('/'), names);
}

} // namespace

KRegSettings::KRegSettings(const QString &keyPath)
    : m_root(KRegKeyPath::parse(keyPath))
{
}

KRegSettings::KRegSettings(const QString &organization, const QString &application)
    : m_root(KRegHive::CurrentUser,
             QStringList{QStringLiteral("Software")} + KRegKeyPath::split(organization)
                 + KRegKeyPath::split(application.isEmpty() ? QStringLiteral("OrganizationDefaults") : application))
{
}

QString KRegSettings::keyPath() const
{
    return m_root.toString();
}

KRegKeyPath KRegSettings::currentKey() const
{
    return m_root.child(m_group);
}

bool KRegSettings::resolve(const QString &name, KRegKeyPath *key, QString *valueName) const
{
    QStringList parts = KRegKeyPath::split(name);
    if (!m_root.isValid() || parts.isEmpty())
        return false;
    *valueName = parts.takeLast();
    *key = currentKey().child(parts);
    return true;
}

QVariant KRegSettings::value(const QString &name, const QVariant &defaultValue) const
{
    KRegKeyPath key;
    QString valueName;
    if (!resolve(name, &key, &valueName))
        return defaultValue;
    const KRegValue value = KRegStore::readValue(key, valueName);
    return value.isValid() ? toVariant(value) : defaultValue;
}

bool KRegSettings::contains(const QString &name) const
{
    KRegKeyPath key;
    QString valueName;
    if (!resolve(name, &key, &valueName))
        return false;
    return KRegStore::readValue(key, valueName).isValid();
}

void KRegSettings::setValue(const QString &name, const QVariant &value)
{
    write(name, KRegValue::fromVariant(QString(), value));
}

void KRegSettings::setValue(const QString &name, const QVariant &value, KRegType type)
{
    write(name, KRegValue::make(QString(), type, value));
}

void KRegSettings::write(const QString &name, const KRegValue &value)
{
    KRegKeyPath key;
    QString valueName;
    if (!resolve(name, &key, &valueName)) {
        fail(m_root.isValid() ? FormatError : AccessError);
        return;
    }
    if (!value.isValid()) {
        fail(FormatError);
        return;
    }
    KRegValue named = value;
    named.name = valueName;
    if (KRegStore::setValue(key, named) != KRegStore::Ok)
        fail(AccessError);
}

void KRegSettings::remove(const QString &name)
{
    if (!m_root.isValid()) {
        fail(AccessError);
        return;
    }
    const KRegKeyPath key = currentKey().child(KRegKeyPath::split(name));
    const KRegStore::Result result = KRegStore::modify(key.hive(), [&](KRegNode &root) {
        const QStringList &keys = key.keys();
        if (keys.isEmpty()) {
            if (root.isEmpty())
                return KRegStore::NotFound;
            root.clear();
            return KRegStore::Ok;
        }
        KRegNode *parent = root.find(keys.mid(0, keys.size() - 1));
        if (!parent)
            return KRegStore::NotFound;
        // An empty name takes the key only; a name takes its value and its subkey.
        bool removed = parent->removeSubkey(keys.last());
        if (!KRegKeyPath::split(name).isEmpty())
            removed = parent->removeValue(keys.last()) || removed;
        return removed ? KRegStore::Ok : KRegStore::NotFound;
    });
    // Removing what is not there is no error, as with any settings object.
    if (result != KRegStore::Ok && result != KRegStore::NotFound)
        fail(AccessError);
}

void KRegSettings::beginGroup(const QString &prefix)
{
    const QStringList parts = KRegKeyPath::split(prefix);
    m_group += parts;
    m_groupSizes.append(parts.size());
    m_groupTexts.append(parts.join(QLatin1Char('/')));
}

void KRegSettings::endGroup()
{
    if (m_groupSizes.isEmpty())
        return;
    const qsizetype size = m_groupSizes.takeLast();
    m_group.resize(m_group.size() - size);
    m_groupTexts.removeLast();
}

QString KRegSettings::group() const
{
    QStringList texts = m_groupTexts;
    texts.removeAll(QString());
    return texts.join(QLatin1Char('/'));
}

QStringList KRegSettings::childKeys() const
{
    QStringList names;
    if (const std::optional<KRegNode> node = currentNode()) {
        for (const KRegValue &value : node->values())
            names.append(value.name);
    }
    return names;
}

QStringList KRegSettings::childGroups() const
{
    const std::optional<KRegNode> node = currentNode();
    return node ? node->subkeyNames() : QStringList();
}

QStringList KRegSettings::allKeys() const
{
    QStringList names;
    if (const std::optional<KRegNode> node = currentNode())
        collectKeys(*node, QString(), &names);
    names.sort(Qt::CaseInsensitive);
    return names;
}

bool KRegSettings::keyExists() const
{
    return currentNode().has_value();
}

std::optional<KRegNode> KRegSettings::currentNode() const
{
    return m_root.isValid() ? KRegStore::readKey(currentKey()) : std::nullopt;
}

void KRegSettings::fail(Status status)
{
    if (m_status == NoError)
        m_status = status;
}
