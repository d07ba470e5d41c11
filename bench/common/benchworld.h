#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

// A private world for the service processes a benchmark starts: a temporary
// HOME, XDG directories and runtime directory (mode 0700), and the environment
// that points there, so a benchmark never touches the user's own service.
class BenchWorld
{
public:
    explicit BenchWorld(std::initializer_list<const char *> extraDirs = {})
    {
        for (const char *d : {"home", "config", "state", "data", "run"})
            QDir().mkpath(path(d));
        for (const char *d : extraDirs)
            QDir().mkpath(path(d));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), path("home"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), path("state"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("run"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }

    QString root() const { return m_dir.path(); }
    QString path(const char *relative) const { return root() + QLatin1Char('/') + QLatin1String(relative); }
    // The service's log in this world.
    QString logPath() const { return path("state/ulxcloudsvr/ulxcloudsvr.log"); }

    QProcessEnvironment env;

private:
    QTemporaryDir m_dir;
};

// With ULX_BENCH_DISPLAY set (":N"), the programs a benchmark starts run on that X
// display instead of offscreen, with the desktop session's variables of the
// benchmark's own environment (XDG_CURRENT_DESKTOP, QT_IM_MODULE, ...): what a
// desktop session costs the service and the bare program.
inline void useBenchDisplay(QProcessEnvironment &env)
{
    const QString display = qEnvironmentVariable("ULX_BENCH_DISPLAY");
    if (display.isEmpty())
        return;
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), display);
}

// A log read from where the last match ended, so each wait sees only lines
// written after the previous one.
class BenchLogTail
{
public:
    void setPath(const QString &path) { m_path = path; }

    // True when the unread part holds `text`; the match is then read.
    bool has(const QByteArray &text)
    {
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly) || f.size() <= m_offset)
            return false;
        f.seek(m_offset);
        const QByteArray tail = f.readAll();
        const qsizetype at = tail.indexOf(text);
        if (at < 0)
            return false;
        m_offset += at + text.size();
        return true;
    }

    bool waitFor(const QByteArray &text, int timeoutMs = 20000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (has(text))
                return true;
            QThread::usleep(200);
        }
        return false;
    }

private:
    QString m_path;
    qint64 m_offset = 0;
};
