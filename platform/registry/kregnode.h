#pragma once

#include "platform/export.h"
#include "platform/registry/kregtypes.h"

#include <QJsonObject>

#include <vector>

// One key of a hive in memory: its name as created, its subkeys and its values.
// Names are looked up case-insensitively, as the registry does, and both lists
// are kept in case-insensitive order, which is also the enumeration order.
//
// On disk a key is the JSON object
//   {"keys": {"<name>": <key>, ...},
//    "values": {"<name>": {"type": "REG_SZ", "data": <data>}, ...}}
// with data: REG_SZ a string, REG_DWORD a number (0 to 4294967295), REG_QWORD a
// decimal string (a number is accepted), REG_MULTI_SZ an array of strings,
// REG_BINARY a string of hexadecimal digits. Both members may be absent.
class ULX_EXPORT KRegNode
{
public:
    explicit KRegNode(const QString &name = QString());

    // Lookups hand out references into this node, so they are only offered on a
    // node that outlives the call: never on a temporary (a snapshot just read).
    const QString &name() const & { return m_name; }
    const QString &name() const && = delete;
    bool isEmpty() const { return m_keys.empty() && m_values.empty(); }

    const KRegNode *subkey(const QString &name) const &;
    KRegNode *subkey(const QString &name) &;
    const KRegNode *subkey(const QString &name) const && = delete;
    // The key at `path` below this one, or null.
    const KRegNode *find(const QStringList &path) const &;
    KRegNode *find(const QStringList &path) &;
    const KRegNode *find(const QStringList &path) const && = delete;
    // The key at `path`, created (with the spelling of `path`) where missing.
    KRegNode &ensure(const QStringList &path) &;
    bool removeSubkey(const QString &name);
    const std::vector<KRegNode> &subkeys() const & { return m_keys; }
    const std::vector<KRegNode> &subkeys() const && = delete;
    QStringList subkeyNames() const;

    const KRegValue *value(const QString &name) const &;
    const KRegValue *value(const QString &name) const && = delete;
    // Replaces type and data of a value of that name (keeping the name's first
    // spelling), or adds it.
    void setValue(const KRegValue &value);
    bool removeValue(const QString &name);
    const std::vector<KRegValue> &values() const & { return m_values; }
    const std::vector<KRegValue> &values() const && = delete;
    void clear();

    QJsonObject toJson() const;
    // Reads what it understands; sets `*damaged` when anything in `object` is
    // not of the shape above (that part is left out).
    static KRegNode fromJson(const QString &name, const QJsonObject &object, bool *damaged);
    // A whole hive file's content as the root key `name`; `*damaged` as above, and
    // set as well when the bytes are not one JSON object (the hive is then empty).
    static KRegNode fromFileContent(const QString &name, const QByteArray &bytes, bool *damaged);

private:
    QString m_name;
    std::vector<KRegNode> m_keys;
    std::vector<KRegValue> m_values;
};
