#include "platform/registry/kregnode.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

int compareNames(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive);
}

// Position of `name` in a list kept in case-insensitive order.
template<typename List>
auto lowerBound(List &list, const QString &name)
{
    return std::lower_bound(list.begin(), list.end(), name,
                            [](const auto &item, const QString &n) { return compareNames(item.name(), n) < 0; });
}

template<typename List>
auto lowerBoundValue(List &list, const QString &name)
{
    return std::lower_bound(list.begin(), list.end(), name,
                            [](const KRegValue &item, const QString &n) { return compareNames(item.name, n) < 0; });
}

bool isHex(const QString &text)
{
    if (text.size() % 2 != 0)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return isxdigit(c.unicode()) && c.unicode() < 128; });
}

// The data member of a stored value; null QVariant when it is not of the type's shape.
QVariant dataFromJson(KRegType type, const QJsonValue &data)
{
    switch (type) {
    case KRegType::Sz:
        if (data.isString())
            return data.toString();
        break;
    case KRegType::Dword: {
        const double d = data.toDouble(-1.0);
        if (data.isDouble() && d >= 0 && d <= std::numeric_limits<quint32>::max() && std::floor(d) == d)
            return QVariant::fromValue(quint32(d));
        break;
    }
    case KRegType::Qword: {
        if (data.isString()) {
            bool ok = false;
            const qlonglong n = data.toString().toLongLong(&ok);
            if (ok)
                return QVariant::fromValue(n);
        } else if (data.isDouble()) {
            const double d = data.toDouble();
            if (std::floor(d) == d && std::fabs(d) <= 9007199254740992.0)
                return QVariant::fromValue(qlonglong(d));
        }
        break;
    }
    case KRegType::MultiSz: {
        if (!data.isArray())
            break;
        QStringList list;
        const QJsonArray array = data.toArray();
        for (const QJsonValue &item : array) {
            if (!item.isString())
                return QVariant();
            list.append(item.toString());
        }
        return list;
    }
    case KRegType::Binary:
        if (data.isString() && isHex(data.toString()))
            return QByteArray::fromHex(data.toString().toLatin1());
        break;
    case KRegType::None:
        break;
    }
    return QVariant();
}

QJsonValue dataToJson(const KRegValue &value)
{
    switch (value.type) {
    case KRegType::Sz:
        return value.data.toString();
    case KRegType::Dword:
        return double(value.data.toUInt());
    case KRegType::Qword:
        return QString::number(value.data.toLongLong());
    case KRegType::MultiSz:
        return QJsonArray::fromStringList(value.data.toStringList());
    case KRegType::Binary:
        return QString::fromLatin1(value.data.toByteArray().toHex());
    case KRegType::None:
        break;
    }
    return QJsonValue();
}

} // namespace

KRegNode::KRegNode(const QString &name)
    : m_name(name)
{
}

const KRegNode *KRegNode::subkey(const QString &name) const &
{
    const auto it = lowerBound(m_keys, name);
    return it != m_keys.end() && compareNames(it->name(), name) == 0 ? &*it : nullptr;
}

KRegNode *KRegNode::subkey(const QString &name) &
{
    return const_cast<KRegNode *>(std::as_const(*this).subkey(name));
}

const KRegNode *KRegNode::find(const QStringList &path) const &
{
    const KRegNode *node = this;
    for (const QString &name : path) {
        node = node->subkey(name);
        if (!node)
            return nullptr;
    }
    return node;
}

KRegNode *KRegNode::find(const QStringList &path) &
{
    return const_cast<KRegNode *>(std::as_const(*this).find(path));
}

KRegNode &KRegNode::ensure(const QStringList &path) &
{
    KRegNode *node = this;
    for (const QString &name : path) {
        auto it = lowerBound(node->m_keys, name);
        if (it == node->m_keys.end() || compareNames(it->name(), name) != 0)
            it = node->m_keys.insert(it, KRegNode(name));
        node = &*it;
    }
    return *node;
}

bool KRegNode::removeSubkey(const QString &name)
{
    const auto it = lowerBound(m_keys, name);
    if (it == m_keys.end() || compareNames(it->name(), name) != 0)
        return false;
    m_keys.erase(it);
    return true;
}

QStringList KRegNode::subkeyNames() const
{
    QStringList names;
    names.reserve(qsizetype(m_keys.size()));
    for (const KRegNode &key : m_keys)
        names.append(key.name());
    return names;
}

const KRegValue *KRegNode::value(const QString &name) const &
{
    const auto it = lowerBoundValue(m_values, name);
    return it != m_values.end() && compareNames(it->name, name) == 0 ? &*it : nullptr;
}

void KRegNode::setValue(const KRegValue &value)
{
    const auto it = lowerBoundValue(m_values, value.name);
    if (it != m_values.end() && compareNames(it->name, value.name) == 0) {
        it->type = value.type;
        it->data = value.data;
    } else {
        m_values.insert(it, value);
    }
}

bool KRegNode::removeValue(const QString &name)
{
    const auto it = lowerBoundValue(m_values, name);
    if (it == m_values.end() || compareNames(it->name, name) != 0)
        return false;
    m_values.erase(it);
    return true;
}

void KRegNode::clear()
{
    m_keys.clear();
    m_values.clear();
}

QJsonObject KRegNode::toJson() const
{
    QJsonObject object;
    if (!m_keys.empty()) {
        QJsonObject keys;
        for (const KRegNode &key : m_keys)
            keys.insert(key.name(), key.toJson());
        object.insert(QLatin1String("keys"), keys);
    }
    if (!m_values.empty()) {
        QJsonObject values;
        for (const KRegValue &value : m_values) {
            values.insert(value.name, QJsonObject{{QLatin1String("type"), kregTypeName(value.type)},
                                                  {QLatin1String("data"), dataToJson(value)}});
        }
        object.insert(QLatin1String("values"), values);
    }
    return object;
}

static KRegValue valueFromJson(const QString &name, const QJsonValue &stored)
{
    const QJsonObject object = stored.toObject();
    const KRegType type = kregTypeFromName(object.value(QLatin1String("type")).toString());
    const QVariant data = dataFromJson(type, object.value(QLatin1String("data")));
    return data.isValid() ? KRegValue{name, type, data} : KRegValue{name, KRegType::None, QVariant()};
}

KRegNode KRegNode::fromJson(const QString &name, const QJsonObject &object, bool *damaged)
{
    KRegNode node(name);
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString member = it.key();
        if (member == QLatin1String("keys") && it.value().isObject()) {
            const QJsonObject keys = it.value().toObject();
            for (auto k = keys.begin(); k != keys.end(); ++k) {
                // Two spellings of one name cannot both be a key; the first one read stays.
                if (!k.value().isObject() || node.subkey(k.key())) {
                    *damaged = true;
                    continue;
                }
                KRegNode child = fromJson(k.key(), k.value().toObject(), damaged);
                auto pos = lowerBound(node.m_keys, child.name());
                node.m_keys.insert(pos, std::move(child));
            }
        } else if (member == QLatin1String("values") && it.value().isObject()) {
            const QJsonObject values = it.value().toObject();
            for (auto v = values.begin(); v != values.end(); ++v) {
                const KRegValue value = valueFromJson(v.key(), v.value());
                if (!value.isValid() || node.value(value.name)) {
                    *damaged = true;
                    continue;
                }
                node.setValue(value);
            }
        } else {
            *damaged = true;
        }
    }
    return node;
}

KRegNode KRegNode::fromFileContent(const QString &name, const QByteArray &bytes, bool *damaged)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *damaged = true;
        return KRegNode(name);
    }
    return fromJson(name, document.object(), damaged);
}
