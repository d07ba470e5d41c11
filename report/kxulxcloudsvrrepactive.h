#pragma once

#include "pluginrunner/kplugingetter.h"

#include <QDateTime>
#include <QLibrary>
#include <QObject>
#include <QString>

#include <functional>

class KRegSettings;

// Reports the service's start, and once a day at 01:xx that it still runs, through
// the dynamic reporting SDK ("kdynsdk": the catalogued plugin's library, else
// libkdynsdk.so beside the service's own module, else in the office directory).
// Switched by "switch" under plugins\ulxcloudsvrimp (default on) and the product
// feature "UlxCloudsvrReportActive". The SDK sends to [Servers] DynReportSvr +
// "/ulxv6internet/cloudsvrdyn"; with no DynReportSvr it sends nothing.
class KxUlxCloudsvrRepActive : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 AppId = 4100;

    explicit KxUlxCloudsvrRepActive(QObject *parent = nullptr);
    ~KxUlxCloudsvrRepActive() override;

    void start(const QString &commandLine);

    bool isEnabled() const { return m_enabled; }
    bool isLibraryLoaded() const { return m_library.isLoaded(); }
    QString libraryFileName() const { return m_library.fileName(); }
    // The directory searched first when the plugin is unknown: the one of the
    // module holding this code.
    void setModuleDir(const QString &dir) { m_moduleDir = dir; }
    // Local time for the heartbeat (tests move it).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    static QString settingsKey();
    static QString endpoint();
    // 4 dotted parts a.b.c.d: a<<26 | b<<22 | c<<16 | d; anything else 0.
    static quint32 packVersion(const QString &version);
    // 2 dotted parts low.high: high<<32 | low; anything else 0.
    static quint64 packDistribNumber(const QString &number);
    // Reads "startcount" and writes the next one back; the count of this start.
    static quint16 advanceStartCount(KRegSettings &settings);
    // Whether a heartbeat is due at `now` (an hour of 1 on a day other than
    // `*lastDay`); a due heartbeat stores the day.
    static bool heartbeatDue(const QDateTime &now, int *lastDay);

public Q_SLOTS:
    void onPluginLoadFinished(KPluginGetter::PluginFinalState state);
    void onQueryRestartDelayed();

private:
    void loadDynLib(KPluginGetter::PluginFinalState state);
    void setReportData(const QString &action);
    void startSend();
    QFunctionPointer resolve(const char *name);

    bool m_enabled = false;
    QLibrary m_library;
    KPluginGetter *m_getter = nullptr;
    QString m_commandLine;
    QString m_moduleDir;
    std::function<QDateTime()> m_clock;
};
