#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QTime>

class QTimer;

// Prestarts the suite's integrated shell: starts the launcher with "/nexaplex
// /prestart-type=N" once 5 s after start-up (strategy 1) or periodically inside
// daily time windows (strategy 2), unless the shell or an installer of the suite
// runs, or the product runs in independent mode. Settings: plugin settings group
// "knexaprestart", read once in init.
class KNexaPrestart : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    enum PrestartStrategy { NoPrestart = 0, PrestartOnStartup = 1, PrestartByTimer = 2 };
    using Window = QPair<QTime, QTime>;

    KNexaPrestart() = default;

    void init() override;
    void uninit() override;
    void exec(const QString &cmdLine) override;

    // "hhmm" -> hh:mm:00.000; anything else an invalid time.
    static QTime parseTime(const QString &text);
    // "0800-1200;1400-1800": pieces split at ';' (empty ones dropped), each "start-end".
    static QList<Window> parseWindows(const QString &text);
    // start <= t < end for the first window that holds t.
    static bool inWindows(const QList<Window> &windows, const QTime &t);
    // Due when no window is usable, or the local time lies in one.
    bool isDue() const;

    int strategy() const { return m_strategy; }
    QList<Window> windows() const { return m_windows; }
    QTimer *timer() const { return m_timer; }
    // The delay of the start-up prestart (5000 ms).
    static void setStartupDelayMs(int ms);

public Q_SLOTS:
    void onTimeout();
    void prestartOnStartup();
    void prestart(int strategy);

private:
    int m_strategy = PrestartOnStartup;
    QTimer *m_timer = nullptr;
    bool m_startupScheduled = false;
    QList<Window> m_windows;
};
