// The host's crash handler in a real process (crashee) of a private world, with a
// dumper of the world's own that records how it was started.
#include "tests/common/kworld.h"

#include <QProcess>
#include <QTest>

#include <csignal>

class TestCrashHandler : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

private Q_SLOTS:
    void initTestCase()
    {
        m_env.writeInstallConfig({{QStringLiteral("Installation/OfficeDir"), m_env.root() + QStringLiteral("/office")}});
    }

    // A second fatal signal while the handler waits for the dumper (here the dumper
    // sends it, as a failing dump's abort or another thread's fault would come) waits
    // until the first has ended the process: one dump, the first signal noted.
    void secondSignalWaits_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("SIGSEGV, then SIGABRT") << int(SIGSEGV) << int(SIGABRT);
        QTest::newRow("SIGABRT, then SIGBUS") << int(SIGABRT) << int(SIGBUS);
    }

    void secondSignalWaits()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        const QString record = m_env.root() + QStringLiteral("/dumper-starts-%1").arg(first);
        // argv: -pid=<pid> -tid=0 -exp=<signal> -callfrom=1 -upload=1
        QVERIFY(ktest::writeFile(m_env.root() + QStringLiteral("/office/kcrashdumper"),
                                 QStringLiteral("#!/bin/sh\necho \"$3\" >> '%1'\n"
                                                "[ \"$3\" = -exp=%2 ] && kill -%3 \"${1#-pid=}\"\nsleep 0.2\n")
                                     .arg(record)
                                     .arg(first)
                                     .arg(second)
                                     .toUtf8(),
                                 true));
        QProcess crashee;
        crashee.setProcessEnvironment(m_env.environment());
        crashee.start(KTestEnv::binPath(QStringLiteral("tst_crashhandler_crashee")), {QString::number(first)});
        QVERIFY(crashee.waitForStarted(KTestEnv::scaled(5000)));
        const qint64 pid = crashee.processId();
        QVERIFY(crashee.waitForFinished(KTestEnv::scaled(15000)));
        QCOMPARE(crashee.exitStatus(), QProcess::CrashExit);
        QCOMPARE(crashee.exitCode(), first);
        QCOMPARE(ktest::readLines(record), QStringList{QStringLiteral("-exp=%1").arg(first)});
        const QString note = m_env.stateHome() + QStringLiteral("/ulxcloudsvr/crashed-%1").arg(pid);
        QCOMPARE(ktest::readFile(note), QByteArray::number(first));
    }
};

QTEST_GUILESS_MAIN(TestCrashHandler)
#include "tst_crashhandler.moc"
