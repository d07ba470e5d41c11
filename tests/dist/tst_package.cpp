// The Debian package as a user's session meets it: built by CPack, unpacked with dpkg-deb
// into a temporary root, started as the autostart entry says, one command served, stopped.

#include "tests/common/kworld.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <signal.h>

namespace {

// Runs `program`: empty when it ended with 0 (and, `silent`, said nothing), else what went wrong.
QString problemsOf(const QString &program, const QStringList &arguments, bool silent = false, int ms = 30000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ended = p.waitForFinished(KTestEnv::scaled(ms)) && p.exitStatus() == QProcess::NormalExit;
    const QString said = QString::fromLocal8Bit(p.readAll()).trimmed();
    if (ended && p.exitCode() == 0 && (!silent || said.isEmpty()))
        return QString();
    return QStringLiteral("exit code %1: %2").arg(p.exitCode()).arg(said);
}

// The value of the first line "KEY=value" of the file.
QString entryValue(const QString &path, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(key), QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(ktest::readFile(path))).captured(1);
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env;
    QString m_root;

private Q_SLOTS:
    void initTestCase()
    {
        const QString out = m_env.root() + QStringLiteral("/deb");
        QCOMPARE(problemsOf(QStringLiteral(ULX_CPACK_COMMAND),
                            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out,
                             QStringLiteral("--config"), QStringLiteral(ULX_BUILD_DIR "/CPackConfig.cmake")},
                            false, 180000),
                 QString());
        const QStringList debs = QDir(out).entryList({QStringLiteral(ULX_PACKAGE_FILE "*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        m_root = m_env.root() + QStringLiteral("/root");
        const QString deb = out + QLatin1Char('/') + debs.value(0);
        QCOMPARE(problemsOf(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb, m_root}), QString());

        // From here on this process and what it starts are a session of this world whose PATH has
        // the package's commands first; nothing of the build tree leads the unpacked service.
        for (const char *name : {"ULX_INSTALL_CONFIG", "ULX_BIN_DIR", "LD_LIBRARY_PATH"})
            qunsetenv(name);
        qputenv("PATH", QFile::encodeName(m_root) + "/usr/bin:" + qgetenv("PATH"));
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    void autostartedServiceServes()
    {
        // As a session starts it: dex returns once the program runs.
        const QString dex = QStandardPaths::findExecutable(QStringLiteral("dex"));
        QVERIFY2(!dex.isEmpty(), "dex is missing: scripts/deps.sh installs it");
        QCOMPARE(problemsOf(dex, {m_root + QStringLiteral("/etc/xdg/autostart/ulxcloudsvr.desktop")}), QString());

        // The serving process is the one that logged the entry's line.
        const QString served = QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /start_from:logon");
        QVERIFY(ktest::waitForLog(m_env, QStringLiteral("KxUlxCloudSvrApplication"), served, 15000));
        const QString line = m_env.logText().split(QLatin1Char('\n')).filter(served).value(0);
        const qint64 pid = line.section(QLatin1Char(' '), 2, 2).toLongLong();
        const QString proc = QStringLiteral("/proc/%1").arg(pid);
        // This world's service only: its pid came from this world's log.
        auto cleanup = qScopeGuard([&] {
            if (QFile::exists(proc))
                ::kill(pid_t(pid), SIGKILL);
        });
        // Service, libraries, plugins and configuration (no office directory): nothing of the build.
        const QString privateDir = m_root + QStringLiteral("/usr/lib/ulxcloudsvr");
        QCOMPARE(QFile::symLinkTarget(proc + QStringLiteral("/exe")), privateDir + QStringLiteral("/ulxcloudsvr"));
        const QString maps = QString::fromUtf8(ktest::readFile(proc + QStringLiteral("/maps")));
        for (const char *library : {"libulxcloudsvrimp.so", "libulxsuite.so", "libulxplatform.so"})
            QVERIFY2(maps.contains(privateDir + QLatin1Char('/') + QLatin1String(library)), library);
        QVERIFY(!maps.contains(QStringLiteral(ULX_BUILD_DIR)));
        QVERIFY(QDir(privateDir + QStringLiteral("/plugins")).exists());
        QVERIFY(QFile::exists(privateDir + QStringLiteral("/ulxinstall.ini")));
        QVERIFY(entryValue(privateDir + QStringLiteral("/ulxinstall.ini"), QStringLiteral("OfficeDir")).isEmpty());

        // A command through the packaged command: the packaged demonstration app is
        // installed for the user and started by the packaged launcher.
        const QString command = m_root + QStringLiteral("/usr/bin/ulxcloudsvr");
        QCOMPARE(problemsOf(command, {QStringLiteral("/run_app"), QStringLiteral("/plugin_name:ulxdemoapp"),
                                      QStringLiteral("/plugin_params:from the package")}),
                 QString());
        const QString appLog = m_env.stateHome() + QStringLiteral("/ulxcloudsvr/ulxdemoapp.log");
        QTRY_VERIFY_WITH_TIMEOUT(ktest::readFile(appLog).contains("[from the package]"), KTestEnv::scaled(15000));
        QCOMPARE(problemsOf(command, {QStringLiteral("/force_exit")}), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(proc), KTestEnv::scaled(10000));
    }

    // The entry and the unit start the same command, packaged or installed into a prefix, and pass their
    // validators (scripts/deps.sh installs them); the unit's copy names its program in the unpacked root.
    void entryAndUnit()
    {
        const QString desktop = m_root + QStringLiteral("/etc/xdg/autostart/ulxcloudsvr.desktop");
        const QString unit = m_root + QStringLiteral("/usr/lib/systemd/user/ulxcloudsvr.service");
        const QString start = entryValue(unit, QStringLiteral("ExecStart"));
        QCOMPARE(start, QStringLiteral("/usr/bin/") + entryValue(desktop, QStringLiteral("Exec")));
        const QString copy = m_env.root() + QStringLiteral("/unit/ulxcloudsvr.service");
        const QByteArray rooted = "ExecStart=" + QFile::encodeName(m_root) + "/usr/";
        QVERIFY(ktest::writeFile(copy, ktest::readFile(unit).replace("ExecStart=/usr/", rooted)));
        QCOMPARE(problemsOf(QStringLiteral("desktop-file-validate"), {desktop}, true), QString());
        const QStringList verify{QStringLiteral("verify"), QStringLiteral("--user"), copy};
        QCOMPARE(problemsOf(QStringLiteral("systemd-analyze"), verify, true, 60000), QString());

        const QString prefix = m_env.root() + QStringLiteral("/prefix");
        const QStringList install{QStringLiteral("--install"), QStringLiteral(ULX_BUILD_DIR), QStringLiteral("--prefix"),
                                  prefix};
        QCOMPARE(problemsOf(QStringLiteral(ULX_CMAKE_COMMAND), install), QString());
        const QString command = entryValue(prefix + "/" ULX_INSTALL_SYSCONFDIR "/xdg/autostart/ulxcloudsvr.desktop",
                                           QStringLiteral("Exec"));
        QCOMPARE(command, prefix + QStringLiteral("/" ULX_INSTALL_BINDIR "/ulxcloudsvr /start_from:logon"));
        QCOMPARE(entryValue(prefix + QStringLiteral("/lib/systemd/user/ulxcloudsvr.service"), QStringLiteral("ExecStart")),
                 command);
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
