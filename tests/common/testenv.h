#pragma once

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A private per-user world for one test: HOME, the XDG directories, the runtime
// directory (mode 0700) and an installation configuration, all under one
// temporary directory. The constructor points this process's environment at it,
// so the code under test and every child process started with environment()
// see only this world (and no proxy). The destructor restores nothing: one test binary, one world,
// unless a test makes a fresh one on purpose.
class KTestEnv
{
public:
    // `install` holds keys of the installation configuration
    // ("Installation/OfficeDir" = ...) written to ulxinstall.ini in the world.
    explicit KTestEnv(const QMap<QString, QString> &install = {});

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString configHome() const { return root() + QStringLiteral("/config"); }
    QString stateHome() const { return root() + QStringLiteral("/state"); }
    QString dataHome() const { return root() + QStringLiteral("/data"); }
    QString runtimeDir() const { return root() + QStringLiteral("/run"); }
    QString installConfig() const { return root() + QStringLiteral("/ulxinstall.ini"); }

    // Rewrites the installation configuration with these keys.
    void writeInstallConfig(const QMap<QString, QString> &install);

    // The environment of this world, for child processes.
    QProcessEnvironment environment() const;

    // The log of the service in this world, and its text (empty when absent).
    QString logPath() const;
    QString logText() const;

    // A program or library built by this project (the build's bin directory).
    static QString binPath(const QString &name);

    // Every timing bound of a test goes through this: ULX_TEST_TIME_FACTOR (a
    // number >= 1, default 1; sanitizer and loaded runs set it higher) scales it,
    // so a slow machine widens the bound instead of failing the test.
    static double timeFactor();
    static int scaled(int ms) { return int(ms * timeFactor()); }

private:
    QTemporaryDir m_dir;
};
