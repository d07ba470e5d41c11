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

// Runs `program` to its end: empty when it ended with exit code 0 (and, when
// `silent`, said nothing), else its exit code and what it said.
QString problemsOf(const QString &program, const QStringList &arguments, bool silent = false, int ms = 30000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ok = p.waitForFinished(KTestEnv::scaled(ms)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    const QString said = QString::fromLocal8Bit(p.readAll()).trimmed();
    return ok && (!silent || said.isEmpty()) ? QString() : QStringLiteral("exit code %1: %2").arg(p.exitCode()).arg(said);
}

// The value of the first line "KEY=value" of the file.
QString entryValue(const QString &path, const QString &key)
{
    const QRegularExpression line(QLatin1Char('^') + key + QStringLiteral("=(.*)$"), QRegularExpression::MultilineOption);
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
        QCOMPARE(problemsOf(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), out + QLatin1Char('/') + debs.first(), m_root}),
                 QString());

        // From here on this process and every program it starts are a session of this
        // world whose PATH has the package's commands first; nothing of the build tree
        // leads the unpacked service.
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
        QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(ktest::readFile(appLog)).contains(QStringLiteral("[from the package]")),
                                 KTestEnv::scaled(15000));
        QCOMPARE(problemsOf(command, {QStringLiteral("/force_exit")}), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(proc), KTestEnv::scaled(10000));
    }

    // Installed into a prefix of its own, the entry and the unit start the installed program.
    void installedIntoPrefix()
    {
        const QString prefix = m_env.root() + QStringLiteral("/prefix");
        QCOMPARE(problemsOf(QStringLiteral(ULX_CMAKE_COMMAND), {QStringLiteral("--install"), QStringLiteral(ULX_BUILD_DIR),
                                                               QStringLiteral("--prefix"), prefix}),
                 QString());
        const QString command = entryValue(prefix + QStringLiteral("/" ULX_INSTALL_SYSCONFDIR "/xdg/autostart/ulxcloudsvr.desktop"),
                                           QStringLiteral("Exec"));
        QCOMPARE(command, prefix + QStringLiteral("/" ULX_INSTALL_BINDIR "/ulxcloudsvr /start_from:logon"));
        QCOMPARE(entryValue(prefix + QStringLiteral("/lib/systemd/user/ulxcloudsvr.service"), QStringLiteral("ExecStart")), command);
    }

    // The entry and the unit pass their own validators (scripts/deps.sh installs them).
    // systemd checks that ExecStart's program exists; it lies in the unpacked root, so
    // the copy checked names it there and nothing else changes.
    void entryAndUnitValidate()
    {
        const QString desktop = m_root + QStringLiteral("/etc/xdg/autostart/ulxcloudsvr.desktop");
        const QString unit = m_root + QStringLiteral("/usr/lib/systemd/user/ulxcloudsvr.service");
        QCOMPARE(entryValue(unit, QStringLiteral("ExecStart")), QStringLiteral("/usr/bin/") + entryValue(desktop, QStringLiteral("Exec")));
        const QString copy = m_env.root() + QStringLiteral("/unit/ulxcloudsvr.service");
        QVERIFY(ktest::writeFile(copy, ktest::readFile(unit).replace("ExecStart=/usr/", ("ExecStart=" + m_root + "/usr/").toUtf8())));
        QCOMPARE(problemsOf(QStringLiteral("desktop-file-validate"), {desktop}, true), QString());
        QCOMPARE(problemsOf(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), QStringLiteral("--user"), copy}, true, 60000),
                 QString());
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
