#pragma once

#include "platform/export.h"

#include <QString>
#include <QVariant>

// Settings of one suite plugin: group G, key K is the value K of
//   HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\plugins\G
// in the settings store. Read and written at the moment of the call, never cached.
class ULX_EXPORT KxPluginsSettings
{
public:
    explicit KxPluginsSettings(const QString &group);
    virtual ~KxPluginsSettings();

    QString group() const { return m_group; }
    // The store key the group lives in.
    QString keyPath() const;
    static QString keyPath(const QString &group);

    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;
    void setValue(const QString &key, const QVariant &value);
    bool contains(const QString &key) const;

    // A boolean: a number (0 is false), or the texts "true"/"false"/"1"/"0" in any
    // letter case. Anything else, a text such as "no" included, reads as the default.
    bool boolValue(const QString &key, bool defaultValue) const;
    // A DWORD: a whole number from 0 to 4294967295, or a text holding one; anything
    // else reads as the default.
    quint32 dwordValue(const QString &key, quint32 defaultValue) const;

private:
    QString m_group;
};

// The runtime library's name for the same settings.
class ULX_EXPORT KPluginsSettings : public KxPluginsSettings
{
public:
    using KxPluginsSettings::KxPluginsSettings;
};
