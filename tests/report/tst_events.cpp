// Live and exit events of real ulxcloudsvr processes, decoded at a loopback collector.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

class TestEvents : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_collector;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess *start(const QStringList &arguments, KTestEnv *world = nullptr)
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = (world ? world : m_env.get())->environment();
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            env.remove(QLatin1String(name));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), arguments);
        p->waitForStarted(5000);
        p->setProperty("pid", p->processId());
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }

    // Waits until the service serves (its own line dispatched).
    bool serving(QProcess *p, const QString &line)
    {
        const QString expected = QString::number(p->processId())
            + QStringLiteral(" FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission ") + line;
        return QTest::qWaitFor([&] { return m_env->logText().contains(expected); }, KTestEnv::scaled(10000));
    }

    QList<QJsonArray> events(const QString &action) const
    {
        QList<QJsonArray> out;
        for (const QJsonObject &r : m_collector->records()) {
            const QJsonArray pairs = r.value(QStringLiteral("pairs")).toArray();
            if (pairs.size() > 1 && pairs.at(1).toArray().at(1).toString() == action)
                out.append(pairs);
        }
        return out;
    }

    QJsonArray expectedPairs(const QString &action, const QString &startFrom) const
    {
        const QString uuid = KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common")).value(QStringLiteral("InfoUUID")).toString();
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
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
        m_collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/collector"),
                                                    QStringList{QStringLiteral("/hung=hang")});
        QVERIFY(m_collector->isRunning());
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("infoGUID"), QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
        const QString collectorUrl = m_collector->url(QStringLiteral("/ulxv6internet/infos.ads"));
        m_env->writeInstallConfig({{QStringLiteral("Installation/Features"), QStringLiteral("UseUlxCloudSvrInfoXa")},
                                   {QStringLiteral("Installation/Version"), QStringLiteral("6.0.0.7")},
                                   {QStringLiteral("Installation/DistribNumber"), QStringLiteral("Grüße-1")},
                                   {QStringLiteral("Servers/InfoCollectSvr"), collectorUrl},
                                   {QStringLiteral("Servers/DefaultInfoCollectSvr"), collectorUrl}});
        // The crash dumper lives in the suite's program directory.
        QDir().mkpath(m_env->root() + QStringLiteral("/office"));
        QFile::link(KTestEnv::binPath(QStringLiteral("kcrashdumper")), m_env->root() + QStringLiteral("/office/kcrashdumper"));
    }

    void cleanup()
    {
        for (auto &p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        m_processes.clear();
        m_collector.reset();
    }

    // A start sends the live event; a second start's exit event and the server's own
    // at SIGTERM arrive too, every field as the tables list it.
    void liveAndExitEvents()
    {
        QProcess *server = start({QStringLiteral("/start_from:test")});
        QVERIFY(serving(server, QStringLiteral("/start_from:test")));
        QVERIFY(m_collector->waitForRecords(1, KTestEnv::scaled(10000)));
        QCOMPARE(events(QStringLiteral("ulxcloudsvrlive")), QList<QJsonArray>{expectedPairs(QStringLiteral("ulxcloudsvrlive"), QStringLiteral("test"))});

        QProcess *second = start({QStringLiteral("/start_from=second"), QStringLiteral("/x")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(m_collector->waitForRecords(2, KTestEnv::scaled(10000)));

        server->terminate();
        QVERIFY(server->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(server->exitCode(), 0);
        QCOMPARE(events(QStringLiteral("ulxcloudsvrexit")),
                 (QList<QJsonArray>{expectedPairs(QStringLiteral("ulxcloudsvrexit"), QStringLiteral("second")),
                                    expectedPairs(QStringLiteral("ulxcloudsvrexit"), QStringLiteral("test"))}));
        QVERIFY(QDir(m_env->stateHome() + QStringLiteral("/ulxcloudsvr/outbox")).entryList(QDir::Files).isEmpty());
    }

    // A hung collector delays neither a second start nor the shutdown; nothing is lost:
    // the next serving process sends what was left.
    void hungCollectorDelaysNothingAndLosesNothing()
    {
        const int port = m_collector->port();
        m_collector.reset();
        m_collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/hung"),
                                                    QStringList{QStringLiteral("/ulxv6internet/infos.ads=hang")}, false, port);
        QVERIFY(m_collector->isRunning());
        QProcess *server = start({QStringLiteral("/start_from:first")});
        QVERIFY(serving(server, QStringLiteral("/start_from:first")));
        QVERIFY(m_collector->waitForRecords(1, KTestEnv::scaled(10000))); // the live event, stuck

        QElapsedTimer t;
        t.start();
        QProcess *second = start({QStringLiteral("/start_from:second")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        const qint64 secondMs = t.elapsed();
        QVERIFY2(secondMs < KTestEnv::scaled(2000), QByteArray::number(secondMs).constData());

        t.restart();
        server->terminate();
        QVERIFY(server->waitForFinished(KTestEnv::scaled(10000)));
        // The 2 s grace, then the transfer in flight is aborted within about a second.
        QVERIFY2(t.elapsed() < KTestEnv::scaled(4000), QByteArray::number(t.elapsed()).constData());

        // The collector is back: the next serving process sends the outbox.
        m_collector.reset();
        m_collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/back"), QStringList{}, false, port);
        QVERIFY(m_collector->isRunning());
        QProcess *next = start({QStringLiteral("/force_exit")});
        QVERIFY(next->waitForFinished(KTestEnv::scaled(10000)));
        QProcess *third = start({QStringLiteral("/start_from:third")});
        QVERIFY(serving(third, QStringLiteral("/start_from:third")));
        QTRY_VERIFY_WITH_TIMEOUT(events(QStringLiteral("ulxcloudsvrexit")).size() >= 3, KTestEnv::scaled(10000));
        const auto startFroms = [this](const QString &action) {
            QStringList out;
            for (const QJsonArray &e : events(action))
                out << e.at(7).toArray().at(1).toString();
            out.sort();
            out.removeDuplicates(); // a transfer cut off in flight is sent again: a duplicate beats a loss
            return out;
        };
        // first (spooled at SIGTERM), second (spooled at its quick exit), force_exit's (no start_from).
        QCOMPARE(startFroms(QStringLiteral("ulxcloudsvrexit")), (QStringList{QString(), QStringLiteral("first"), QStringLiteral("second")}));
        QCOMPARE(startFroms(QStringLiteral("ulxcloudsvrlive")), (QStringList{QString(), QStringLiteral("first"), QStringLiteral("third")}));
    }

    // A frozen server: the next start dumps the busier of the two, kills the server
    // (and no service of another runtime directory), reports the IPC time-out and ends.
    void frozenServerIsDumpedKilledAndReported()
    {
        QProcess *frozen = start({QStringLiteral("/start_from:frozen")});
        QVERIFY(serving(frozen, QStringLiteral("/start_from:frozen")));
        KTestEnv otherWorld; // another runtime directory: never ours to touch
        QProcess *other = start({QStringLiteral("/start_from:other")}, &otherWorld);
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(other->state(), QProcess::Running);
        const qint64 frozenPid = frozen->processId();
        QCOMPARE(::kill(pid_t(frozenPid), SIGSTOP), 0);

        QProcess *second = start({QStringLiteral("/start_from:second")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(60000)));
        QCOMPARE(second->exitCode(), 0);
        const qint64 secondPid = second->property("pid").toLongLong();
        QVERIFY(frozen->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(frozen->exitStatus(), QProcess::CrashExit); // SIGKILL
        QCOMPARE(other->state(), QProcess::Running);
        const QString log = m_env->logText();
        QVERIFY(log.contains(QStringLiteral("%1 ERROR KxUlxCloudSvrApplication KxUlxCloudSvrIpc::onStartUpTimeout").arg(secondPid)));
        QVERIFY(log.contains(QStringLiteral("%1 ERROR KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::startUp send ipc message error and will quit").arg(secondPid)));

        // One complete dump, of one of the two, with the stacks of its threads.
        const QDir dumps(m_env->stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        const QStringList names = dumps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(names.size(), 1);
        const qint64 dumped = names.first().section(QLatin1Char('-'), -1).toLongLong();
        QVERIFY(dumped == frozenPid || dumped == secondPid);
        QFile stacks(dumps.filePath(names.first()) + QStringLiteral("/stacks.txt"));
        QVERIFY(stacks.open(QIODevice::ReadOnly));
        QVERIFY(stacks.readAll().contains("TID " + QByteArray::number(dumped) + ':'));

        // The event arrives, sent by the second start or, spooled, by the next serving process.
        QProcess *next = start({QStringLiteral("/start_from:next")});
        QVERIFY(serving(next, QStringLiteral("/start_from:next")));
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("ulxcloudsvrimp_ipctimeout")).isEmpty(), KTestEnv::scaled(10000));
        const QJsonArray pairs = events(QStringLiteral("ulxcloudsvrimp_ipctimeout")).first();
        QCOMPARE(pairs.at(0).toArray().at(1).toString(), QStringLiteral("/ulx/client/ulxcloudsvrimp"));
        QCOMPARE(pairs.at(3).toArray().at(1).toString(), QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9"));
        QCOMPARE(pairs.at(6).toArray().at(1).toString(), QStringLiteral("30000"));
    }
};

QTEST_GUILESS_MAIN(TestEvents)
#include "tst_events.moc"
