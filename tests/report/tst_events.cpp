// Live, exit and IPC time-out events of real ulxcloudsvr processes of one world,
// decoded at a loopback collector that answers, hangs and comes back.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <csignal>
#include <memory>

class TestEvents : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    std::unique_ptr<KTestServer> m_collector;
    int m_port = 0;

    // A collector on the same port, answering or hanging.
    bool collector(const QString &name, const QStringList &routes = {})
    {
        m_collector.reset();
        m_collector = std::make_unique<KTestServer>(m_env.root() + QLatin1Char('/') + name, routes, false, m_port);
        m_port = m_collector->port();
        return m_collector->isRunning();
    }

    bool serving(ktest::KService &service, const QString &line)
    {
        return service.start({line})
            && ktest::waitForLog(m_env, QStringLiteral("KxUlxCloudSvrApplication"),
                                 QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line, 10000);
    }

    // The start_from values of an application event, each once: a transfer cut off
    // in flight is sent again, and a duplicate beats a loss.
    QStringList startFroms(const QString &action) const
    {
        QStringList out = m_collector->eventValues(QStringLiteral("/ulx/client/app"), action, 7);
        out.sort();
        out.removeDuplicates();
        return out;
    }

    QJsonArray appEvent(const QString &action, const QString &uuid, const QString &startFrom) const
    {
        return QJsonArray{QJsonArray{QStringLiteral("dm"), QStringLiteral("/ulx/client/app")},
                          QJsonArray{QStringLiteral("action"), action},
                          QJsonArray{QStringLiteral("pnum"), QStringLiteral("5")},
                          QJsonArray{QStringLiteral("p0"), uuid},
                          QJsonArray{QStringLiteral("p1"), QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9")},
                          QJsonArray{QStringLiteral("p2"), QStringLiteral("6.0.0.7")},
                          QJsonArray{QStringLiteral("p3"), QStringLiteral("Grüße-1")},
                          QJsonArray{QStringLiteral("p4"), startFrom}};
    }

private Q_SLOTS:
    // One world through its life: a start's live event and a second start's exit
    // event with every field; a hung collector delays neither a second start nor
    // the shutdown, and the next serving process sends what was left; a frozen
    // server is dumped, killed (and no service of another runtime directory) and
    // its time-out reported.
    void oneWorld()
    {
        QVERIFY(collector(QStringLiteral("answering")));
        KRegSettings common(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"));
        common.setValue(QStringLiteral("infoGUID"), QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
        const QString url = m_collector->url(QStringLiteral("/ulxv6internet/infos.ads"));
        m_env.writeInstallConfig({{QStringLiteral("Installation/Features"), QStringLiteral("UseUlxCloudSvrInfoXa")},
                                  {QStringLiteral("Installation/Version"), QStringLiteral("6.0.0.7")},
                                  {QStringLiteral("Installation/DistribNumber"), QStringLiteral("Grüße-1")},
                                  {QStringLiteral("Servers/InfoCollectSvr"), url},
                                  {QStringLiteral("Servers/DefaultInfoCollectSvr"), url}});
        // The crash dumper lives in the suite's program directory.
        const QString office = m_env.root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office));
        QVERIFY(QFile::link(KTestEnv::binPath(QStringLiteral("kcrashdumper")), office + QStringLiteral("/kcrashdumper")));

        ktest::KService first(m_env);
        QVERIFY(serving(first, QStringLiteral("/start_from:test")));
        QVERIFY(m_collector->waitForRecords(1, KTestEnv::scaled(10000)));
        const QString uuid = common.value(QStringLiteral("InfoUUID")).toString();
        const auto pairs = [this](int i) {
            return m_collector->records().at(i).value(QStringLiteral("pairs")).toArray();
        };
        QCOMPARE(pairs(0), appEvent(QStringLiteral("ulxcloudsvrlive"), uuid, QStringLiteral("test")));
        QVERIFY(first.send({QStringLiteral("/start_from=second"), QStringLiteral("/x")}));
        QVERIFY(m_collector->waitForRecords(2, KTestEnv::scaled(10000)));
        QCOMPARE(pairs(1), appEvent(QStringLiteral("ulxcloudsvrexit"), uuid, QStringLiteral("second")));

        QVERIFY(collector(QStringLiteral("hung"), {QStringLiteral("/ulxv6internet/infos.ads=hang")}));
        QElapsedTimer t;
        t.start();
        QVERIFY(first.send({QStringLiteral("/start_from:stuck")}));
        QVERIFY2(t.elapsed() < KTestEnv::scaled(2000), QByteArray::number(t.elapsed()).constData());
        QVERIFY(m_collector->waitForRecords(1, KTestEnv::scaled(10000))); // its exit event, stuck
        t.restart();
        QVERIFY(first.stop());
        // The 2 s grace, then the transfer in flight is aborted within about a second.
        QVERIFY2(t.elapsed() < KTestEnv::scaled(4000), QByteArray::number(t.elapsed()).constData());

        QVERIFY(collector(QStringLiteral("back")));
        ktest::KService frozen(m_env);
        QVERIFY(frozen.start({QStringLiteral("/force_exit")}));
        QVERIFY(frozen.process()->waitForFinished(KTestEnv::scaled(10000)));
        QVERIFY(serving(frozen, QStringLiteral("/start_from:frozen")));
        QTRY_COMPARE_WITH_TIMEOUT(startFroms(QStringLiteral("ulxcloudsvrexit")),
                                  (QStringList{QString(), QStringLiteral("stuck"), QStringLiteral("test")}),
                                  KTestEnv::scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(startFroms(QStringLiteral("ulxcloudsvrlive")),
                                  (QStringList{QString(), QStringLiteral("frozen")}), KTestEnv::scaled(10000));

        KTestEnv otherWorld; // another runtime directory: never ours to touch
        ktest::KService other(otherWorld);
        QVERIFY(other.start({QStringLiteral("/start_from:other")}));
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(other.process()->state(), QProcess::Running);
        const qint64 frozenPid = frozen.pid();
        QCOMPARE(::kill(pid_t(frozenPid), SIGSTOP), 0);
        ktest::KService second(m_env);
        QVERIFY(second.start({QStringLiteral("/start_from:second")}));
        const qint64 secondPid = second.pid();
        QVERIFY(second.process()->waitForFinished(KTestEnv::scaled(60000)));
        QCOMPARE(second.process()->exitCode(), 0);
        QVERIFY(frozen.process()->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(frozen.process()->exitStatus(), QProcess::CrashExit); // SIGKILL
        QCOMPARE(other.process()->state(), QProcess::Running);
        const QStringList secondLog = ktest::logLinesOf(m_env, secondPid);
        QVERIFY(secondLog.contains(QStringLiteral("ERROR KxUlxCloudSvrApplication KxUlxCloudSvrIpc::onStartUpTimeout "
                                                  "the serving process did not answer within 30000 ms")));
        QVERIFY(secondLog.contains(QStringLiteral("ERROR KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::startUp "
                                                  "send ipc message error and will quit")));

        // One complete dump, of one of the two, with the stacks of its threads.
        const QDir dumps(m_env.stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        const QStringList names = dumps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(names.size(), 1);
        const qint64 dumped = names.first().section(QLatin1Char('-'), -1).toLongLong();
        QVERIFY(dumped == frozenPid || dumped == secondPid);
        const QByteArray stacks = ktest::readFile(dumps.filePath(names.first()) + QStringLiteral("/stacks.txt"));
        QVERIFY(stacks.contains("TID " + QByteArray::number(dumped) + ':'));

        // The event arrives, sent by the second start or, spooled, by the next serving process.
        ktest::KService next(m_env);
        QVERIFY(serving(next, QStringLiteral("/start_from:next")));
        const auto timeouts = [this](int field) {
            return m_collector->eventValues(QStringLiteral("/ulx/client/ulxcloudsvrimp"),
                                            QStringLiteral("ulxcloudsvrimp_ipctimeout"), field);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!timeouts(6).isEmpty(), KTestEnv::scaled(10000));
        QCOMPARE(timeouts(6).first(), QStringLiteral("30000"));
        QCOMPARE(timeouts(3).first(), QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9"));
        QVERIFY(next.stop());
        QVERIFY(other.stop());
        QVERIFY(QDir(m_env.stateHome() + QStringLiteral("/ulxcloudsvr/outbox")).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEvents)
#include "tst_events.moc"
