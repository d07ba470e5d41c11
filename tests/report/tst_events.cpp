// A frozen serving process: the next start dumps it, ends it and reports the IPC
// time-out to a loopback collector.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QTest>

#include <csignal>

class TestEvents : public QObject
{
    Q_OBJECT

    static bool serving(const KTestEnv &env, ktest::KService &service, const QString &line)
    {
        return service.start({line})
            && ktest::waitForLog(env, QStringLiteral("KxUlxCloudSvrApplication"),
                                 QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line, 10000);
    }

private Q_SLOTS:
    // The next start dumps the busier of the two, kills the server (and no service of
    // another runtime directory), says so in the log and ends; the event arrives.
    void frozenServerIsDumpedKilledAndReported()
    {
        KTestEnv env;
        KTestServer collector(env.root() + QStringLiteral("/collector"));
        QVERIFY(collector.isRunning());
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("infoGUID"), QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
        env.writeInstallConfig({{QStringLiteral("Installation/Features"), QStringLiteral("UseUlxCloudSvrInfoXa")},
                                {QStringLiteral("Installation/Version"), QStringLiteral("6.0.0.7")},
                                {QStringLiteral("Servers/InfoCollectSvr"), collector.url(QStringLiteral("/c"))},
                                {QStringLiteral("Servers/DefaultInfoCollectSvr"), collector.url(QStringLiteral("/c"))}});
        // The crash dumper lives in the suite's program directory.
        const QString office = env.root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office));
        QVERIFY(QFile::link(KTestEnv::binPath(QStringLiteral("kcrashdumper")), office + QStringLiteral("/kcrashdumper")));

        ktest::KService frozen(env);
        QVERIFY(serving(env, frozen, QStringLiteral("/start_from:frozen")));
        KTestEnv otherWorld; // another runtime directory: never ours to touch
        ktest::KService other(otherWorld);
        QVERIFY(other.start({QStringLiteral("/start_from:other")}));
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(other.process()->state(), QProcess::Running);
        const qint64 frozenPid = frozen.pid();
        QCOMPARE(::kill(pid_t(frozenPid), SIGSTOP), 0);
        ktest::KService second(env);
        QVERIFY(second.start({QStringLiteral("/start_from:second")}));
        const qint64 secondPid = second.pid();
        QVERIFY(second.process()->waitForFinished(KTestEnv::scaled(60000)));
        QCOMPARE(second.process()->exitCode(), 0);
        QVERIFY(frozen.process()->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(frozen.process()->exitStatus(), QProcess::CrashExit); // SIGKILL
        QCOMPARE(other.process()->state(), QProcess::Running);
        const QStringList secondLog = ktest::logLinesOf(env, secondPid);
        QVERIFY(secondLog.contains(QStringLiteral("ERROR KxUlxCloudSvrApplication KxUlxCloudSvrIpc::onStartUpTimeout "
                                                  "the serving process did not answer within 30000 ms")));
        QVERIFY(secondLog.contains(QStringLiteral("ERROR KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::startUp "
                                                  "send ipc message error and will quit")));

        // One complete dump, of one of the two, with the stacks of its threads.
        const QDir dumps(env.stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        const QStringList names = dumps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(names.size(), 1);
        const qint64 dumped = names.first().section(QLatin1Char('-'), -1).toLongLong();
        QVERIFY(dumped == frozenPid || dumped == secondPid);
        const QByteArray stacks = ktest::readFile(dumps.filePath(names.first()) + QStringLiteral("/stacks.txt"));
        QVERIFY(stacks.contains("TID " + QByteArray::number(dumped) + ':'));

        // The event arrives, sent by the second start or, spooled, by the next serving process.
        ktest::KService next(env);
        QVERIFY(serving(env, next, QStringLiteral("/start_from:next")));
        const auto timeouts = [&collector](int field) {
            return collector.eventValues(QStringLiteral("/ulx/client/ulxcloudsvrimp"),
                                         QStringLiteral("ulxcloudsvrimp_ipctimeout"), field);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!timeouts(6).isEmpty(), KTestEnv::scaled(10000));
        QCOMPARE(timeouts(6).first(), QStringLiteral("30000"));
        QCOMPARE(timeouts(3).first(), QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9"));
        QVERIFY(next.stop());
        QVERIFY(other.stop());
    }
};

QTEST_GUILESS_MAIN(TestEvents)
#include "tst_events.moc"
