#pragma once

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

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
