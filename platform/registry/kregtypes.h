#pragma once

#include "platform/export.h"

#include <QString>
#include <QStringList>
#include <QVariant>

// The hives of the settings store: the user's own, and a machine hive that other
// tools fill and the service only reads in practice.
enum class KRegHive { CurrentUser, LocalMachine };

// Value types, with the registry's names ("REG_SZ", "REG_DWORD", ...).
enum class KRegType { None, Sz, Dword, Qword, MultiSz, Binary };

ULX_EXPORT QString kregTypeName(KRegType type);
// Case-insensitive; None for a name that is not one of the five types.
ULX_EXPORT KRegType kregTypeFromName(const QString &name);

// One value: its name as it was created, its type, and its data in the type's
// own Qt form (Sz QString, Dword uint, Qword qlonglong, MultiSz QStringList,
// Binary QByteArray). The empty name is the key's default value.
struct ULX_EXPORT KRegValue
{
    QString name;
    KRegType type = KRegType::None;
    QVariant data;

    bool isValid() const { return type != KRegType::None; }
    bool operator==(const KRegValue &other) const = default;

    // `data` converted to `type`; an invalid value when it does not convert
    // (text that is no number for Dword, a DWORD out of 32 bits, ...).
    static KRegValue make(const QString &name, KRegType type, const QVariant &data);
    // The type chosen from the variant's own type, as settings code expects:
    // QString Sz, int/uint/bool Dword, qlonglong/qulonglong Qword, a list of texts
    // MultiSz, QByteArray Binary; any other type with a text form is stored as
    // that text. Invalid when the variant is invalid or has no text form.
    static KRegValue fromVariant(const QString &name, const QVariant &data);
};

// A key path: a hive and the names of the keys below it. Parsed from
// "HKEY_CURRENT_USER\Software\..." (or "HKCU\...", "HKEY_LOCAL_MACHINE", "HKLM");
// '/' separates keys as well as '\', empty components are dropped. Names keep
// their spelling; comparison of paths is the registry's, case-insensitive.
class ULX_EXPORT KRegKeyPath
{
public:
    KRegKeyPath() = default;
    KRegKeyPath(KRegHive hive, const QStringList &keys);

    // Invalid when the first component names no known hive.
    static KRegKeyPath parse(const QString &text);
    static QString hiveName(KRegHive hive);
    // Splits "a\b/c" into its non-empty components.
    static QStringList split(const QString &text);

    bool isValid() const { return m_valid; }
    KRegHive hive() const { return m_hive; }
    const QStringList &keys() const { return m_keys; }
    // This path extended by `names` (already split).
    KRegKeyPath child(const QStringList &names) const;
    // "HKEY_CURRENT_USER\Software\...": the full hive name and the keys as spelled here.
    QString toString() const;

private:
    bool m_valid = false;
    KRegHive m_hive = KRegHive::CurrentUser;
    QStringList m_keys;
};
