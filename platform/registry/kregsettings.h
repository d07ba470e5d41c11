#pragma once

#include "platform/export.h"
#include "platform/registry/kregnode.h"
#include "platform/registry/kregtypes.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// Settings under one registry key, used like a QSettings object in native format:
//
//   KRegSettings s("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");
//   s.beginGroup("Application Settings");          // the subkey of that name
//   const uint period = s.value("Period", 1800).toUInt();
//
// Every call reads or writes the store (KRegStore) at once, so values written by
// other processes are seen by the next read and a value is on disk when
// setValue() returns. Key and value names match case-insensitively and keep the
// spelling they were created with. '/' and '\' separate keys in every name
// given here: "a/b" (or "a\b") is value b of subkey a, as with QSettings; a value
// name itself never holds them (the store and ulxreg refuse such names). Values come back in their stored type: REG_SZ QString,
// REG_DWORD int, REG_QWORD qlonglong, REG_MULTI_SZ QStringList, REG_BINARY QByteArray.
// One object belongs to one thread; objects in several threads and processes may
// work on the same keys at once.
class ULX_EXPORT KRegSettings
{
public:
    enum Status {
        NoError,
        AccessError, // a write failed: unknown hive, unwritable store
        FormatError, // a value had no registry form (an invalid QVariant, a map, text for a DWORD)
    };

    // "HKEY_CURRENT_USER\Software\...", "HKCU\...", "HKEY_LOCAL_MACHINE\..." or "HKLM\...".
    explicit KRegSettings(const QString &keyPath);
    // HKEY_CURRENT_USER\Software\<organization>\<application> ("OrganizationDefaults"
    // when the application is empty).
    KRegSettings(const QString &organization, const QString &application);

    // The key the object was opened on, with the hive's full name.
    QString keyPath() const;

    QVariant value(const QString &name, const QVariant &defaultValue = QVariant()) const;
    // The registry type follows the variant's type (see KRegValue::fromVariant).
    void setValue(const QString &name, const QVariant &value);
    // Stores `value` converted to `type`; FormatError when it does not convert.
    void setValue(const QString &name, const QVariant &value, KRegType type);
    bool contains(const QString &name) const;
    // Removes the value `name` and the subkey `name` with everything below it; an
    // empty name removes the current key (the group, or the opened key) itself.
    void remove(const QString &name);

    void beginGroup(const QString &prefix);
    void endGroup();
    // The open groups joined by '/', as they were given.
    QString group() const;

    // Value names of the current key, subkey names of the current key, and every
    // value name below it as "sub/…/name"; all in case-insensitive order.
    QStringList childKeys() const;
    QStringList childGroups() const;
    QStringList allKeys() const;
    // Whether the current key (opened key plus groups) exists.
    bool keyExists() const;

    bool isWritable() const { return m_root.isValid(); }
    // Writes are synchronous; kept so that code written for QSettings reads the same.
    void sync() {}
    // The first error met by a write of this object.
    Status status() const { return m_status; }

private:
    KRegKeyPath currentKey() const;
    // A copy of the current key; nullopt when it does not exist.
    std::optional<KRegNode> currentNode() const;
    // The key and value name that `name` denotes relative to the current group.
    bool resolve(const QString &name, KRegKeyPath *key, QString *valueName) const;
    void write(const QString &name, const KRegValue &value);
    void fail(Status status);

    KRegKeyPath m_root;
    QStringList m_group;        // components of all open groups
    QList<qsizetype> m_groupSizes; // components added by each beginGroup
    QStringList m_groupTexts;     // each beginGroup's prefix as given
    Status m_status = NoError;
};
