// The Debian package as a user's session meets it: built by CPack, unpacked with
// dpkg-deb into a temporary root, the service started as the autostart entry says,
// one command served, then stopped; the entry and the user unit checked by their
// own validators where they are installed.

#include "tests/common/kworld.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <signal.h>

namespace {

struct Result
{
    int code = -1;
    QString output;
};

Result run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env, int ms)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(KTestEnv::scaled(ms)))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAll())};
}

QString entryValue(const QString &path, const QString &key)
{
    for (const QString &line : ktest::readLines(path)) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return QString();
}

bool exists(qint64 pid)
{
    return QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env;
    QString m_root;
    QProcessEnvironment m_session;

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty())
            QSKIP("dpkg-deb is not installed: no Debian package to test");
        const QString out = m_env.root() + QStringLiteral("/deb");
        const Result cpack = run(QStringLiteral(ULX_CPACK_COMMAND),
                                 {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out,
                                  QStringLiteral("--config"), QStringLiteral(ULX_BUILD_DIR "/CPackConfig.cmake")},
                                 QProcessEnvironment::systemEnvironment(), 180000);
        QVERIFY2(cpack.code == 0, qPrintable(cpack.output));
        const QStringList debs = QDir(out).entryList({QStringLiteral(ULX_PACKAGE_FILE "*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);

        m_root = m_env.root() + QStringLiteral("/root");
        const Result unpack = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), out + QLatin1Char('/') + debs.first(), m_root},
                                  QProcessEnvironment::systemEnvironment(), 30000);
        QVERIFY2(unpack.code == 0, qPrintable(unpack.output));

        // A session of this world whose PATH has the package's commands first; nothing
        // of the build tree leads the unpacked service.
        m_session = m_env.environment();
        for (const char *name : {"ULX_INSTALL_CONFIG", "ULX_BIN_DIR", "LD_LIBRARY_PATH"})
            m_session.remove(QLatin1String(name));
        m_session.insert(QStringLiteral("PATH"), m_root + QStringLiteral("/usr/bin:") + m_session.value(QStringLiteral("PATH")));
    }

    void autostartedServiceServes()
    {
        const QString desktop = m_root + QStringLiteral("/etc/xdg/autostart/ulxcloudsvr.desktop");
        const QString exec = entryValue(desktop, QStringLiteral("Exec"));
        QVERIFY2(!exec.isEmpty(), "no Exec line in the autostart entry");

        // As a session starts it: dex where installed (it returns once the program runs),
        // else the Exec line's program found on the session's PATH.
        const QString dex = QStandardPaths::findExecutable(QStringLiteral("dex"));
        if (!dex.isEmpty()) {
            const Result started = run(dex, {desktop}, m_session, 30000);
            QVERIFY2(started.code == 0, qPrintable(started.output));
        } else {
            qInfo("dex is not installed: starting the Exec line directly");
            QStringList arguments = QProcess::splitCommand(exec);
            const QString program = QStandardPaths::findExecutable(arguments.takeFirst(), {m_root + QStringLiteral("/usr/bin")});
            QProcess p;
            p.setProcessEnvironment(m_session);
            qint64 pid = 0;
            p.setProgram(program);
            p.setArguments(arguments);
            QVERIFY(p.startDetached(&pid));
        }

        // The serving process is the one that logged the entry's line first.
        static const QRegularExpression served(QStringLiteral("^\\S+ \\S+ (\\d+) FIXED KxUlxCloudSvrApplication "
                                                              "KxUlxCloudSvrApplication::onIPCTransmission /start_from:logon$"),
                                               QRegularExpression::MultilineOption);
        qint64 pid = 0;
        QElapsedTimer t;
        t.start();
        while (pid == 0 && t.elapsed() < KTestEnv::scaled(15000)) {
            const QRegularExpressionMatch m = served.match(m_env.logText());
            if (m.hasMatch())
                pid = m.captured(1).toLongLong();
            else
                QTest::qWait(50);
        }
        QVERIFY2(pid > 0, qPrintable(m_env.logText()));
        auto cleanup = qScopeGuard([pid] {
            if (exists(pid))
                ::kill(pid_t(pid), SIGKILL); // this world's service only: its pid came from this world's log
        });
        const QString image = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        QCOMPARE(image, m_root + QStringLiteral("/usr/lib/ulxcloudsvr/ulxcloudsvr"));

        // A command through the packaged command: the packaged demonstration app is
        // installed for the user and started by the packaged launcher.
        const QString command = m_root + QStringLiteral("/usr/bin/ulxcloudsvr");
        const Result sent = run(command, {QStringLiteral("/run_app"), QStringLiteral("/plugin_name:ulxdemoapp"),
                                                                QStringLiteral("/plugin_params:from the package")},
                                m_session, 30000);
        QCOMPARE(sent.code, 0);
        const QString appLog = m_env.stateHome() + QStringLiteral("/ulxcloudsvr/ulxdemoapp.log");
        QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(ktest::readFile(appLog)).contains(QStringLiteral("[from the package]")),
                                 KTestEnv::scaled(15000));

        const Result stop = run(command, {QStringLiteral("/force_exit")}, m_session, 30000);
        QCOMPARE(stop.code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!exists(pid), KTestEnv::scaled(10000));
    }

    void entryAndUnitValidate_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addRow("autostart entry") << QStringLiteral("desktop-file-validate");
        QTest::addRow("user unit") << QStringLiteral("systemd-analyze");
    }

    void entryAndUnitValidate()
    {
        QFETCH(QString, tool);
        const QString program = QStandardPaths::findExecutable(tool);
        if (program.isEmpty())
            QSKIP(qPrintable(tool + QStringLiteral(" is not installed: not checked")));
        QStringList arguments;
        if (tool == QLatin1String("desktop-file-validate")) {
            arguments << m_root + QStringLiteral("/etc/xdg/autostart/ulxcloudsvr.desktop");
        } else {
            // systemd checks that ExecStart's program exists; it lies in the unpacked
            // root, so the copy checked names it there and nothing else changes.
            const QString unit = m_root + QStringLiteral("/usr/lib/systemd/user/ulxcloudsvr.service");
            const QString start = entryValue(unit, QStringLiteral("ExecStart"));
            QVERIFY(start.startsWith(QLatin1String("/usr/bin/ulxcloudsvr ")));
            QVERIFY(QFileInfo(m_root + start.section(QLatin1Char(' '), 0, 0)).isExecutable());
            const QString copy = m_env.root() + QStringLiteral("/unit/ulxcloudsvr.service");
            QVERIFY(ktest::writeFile(copy, ktest::readFile(unit).replace("ExecStart=/usr/", ("ExecStart=" + m_root + "/usr/").toUtf8())));
            arguments << QStringLiteral("verify") << QStringLiteral("--user") << copy;
        }
        const Result checked = run(program, arguments, m_session, 60000);
        QVERIFY2(checked.code == 0 && checked.output.trimmed().isEmpty(), qPrintable(checked.output));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
