#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

KTestEnv::KTestEnv(const QMap<QString, QString> &install)
{
    // ULX_TEST_KEEP=1 leaves the world on disk for a look after a failure.
    m_dir.setAutoRemove(qEnvironmentVariableIsEmpty("ULX_TEST_KEEP"));
    QDir().mkpath(home());
    QDir().mkpath(configHome());
    QDir().mkpath(stateHome());
    QDir().mkpath(dataHome());
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    qputenv("HOME", home().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", configHome().toLocal8Bit());
    qputenv("XDG_STATE_HOME", stateHome().toLocal8Bit());
    qputenv("XDG_DATA_HOME", dataHome().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", runtimeDir().toLocal8Bit());
    qputenv("ULX_INSTALL_CONFIG", installConfig().toLocal8Bit());
    // Every server of a test is on loopback: a proxy of the machine must not see it.
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        qunsetenv(name);
    writeInstallConfig(install);
}

void KTestEnv::writeInstallConfig(const QMap<QString, QString> &install)
{
    QFile::remove(installConfig());
    QSettings ini(installConfig(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("Installation/OfficeDir"), root() + QStringLiteral("/office"));
    for (auto it = install.cbegin(); it != install.cend(); ++it)
        ini.setValue(it.key(), it.value());
    ini.sync();
}

QProcessEnvironment KTestEnv::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome());
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    env.insert(QStringLiteral("ULX_INSTALL_CONFIG"), installConfig());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

QString KTestEnv::logPath() const
{
    return stateHome() + QStringLiteral("/ulxcloudsvr/ulxcloudsvr.log");
}

QString KTestEnv::logText() const
{
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QString KTestEnv::binPath(const QString &name)
{
    QString dir = QString::fromLocal8Bit(qgetenv("ULX_BIN_DIR"));
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return dir + QLatin1Char('/') + name;
}

double KTestEnv::timeFactor()
{
    bool ok = false;
    const double f = qEnvironmentVariable("ULX_TEST_TIME_FACTOR").toDouble(&ok);
    return ok && f >= 1.0 ? f : 1.0;
}
