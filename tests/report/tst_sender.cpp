// The info-collection sender and the outbox behind it, against real loopback
// collectors: what waits is sent once, within what the queue takes, and nothing
// that does not fit, fails or is cut off at the end is lost. A frozen serving
// process is dumped, ended and reported by its next start.

#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSet>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <vector>

class TestSender : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_frozen; // a second world, for the frozen serving process
    std::unique_ptr<KTestEnv> m_env;    // this process's world: made last, its environment holds

    static QList<QByteArray> urls(const QByteArray &prefix, int from, int count)
    {
        QList<QByteArray> out;
        for (int i = from; i < from + count; ++i)
            out << prefix + QByteArray::number(i);
        return out;
    }

    static QStringList paths(const QList<QJsonObject> &records)
    {
        QStringList out;
        for (const QJsonObject &r : records)
            out << r.value(QStringLiteral("path")).toString() + QLatin1Char('?')
                    + r.value(QStringLiteral("query")).toString();
        return out;
    }

    QStringList waiting() const { return QDir(ulx::outbox::dir()).entryList(QDir::Files | QDir::System); }
    QStringList outboxLog(qsizetype from) const
    {
        return ktest::logMessages(*m_env, QStringLiteral("NetTransferService"), from);
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_frozen = std::make_unique<KTestEnv>();
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("infoGUID"), QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
        m_env = std::make_unique<KTestEnv>();
        krt::reload();
    }

    void init() { QDir(ulx::outbox::dir()).removeRecursively(); }

    void cleanupTestCase() { ulx::report::finishSending(0); }

    // Claims take only what fits, oldest first; the rest stays on disk and comes
    // next, each URL once. Spools of earlier versions are read, whatever else their
    // bytes hold (a URL across the reader's 64 KiB pieces too); files that are no
    // spool (too big, a FIFO, a link) are removed and logged. Spools written by many
    // threads at once arrive whole, once, in a private outbox.
    void claimTakesWhatFits()
    {
        QVERIFY(ulx::outbox::ensureDir());
        const QString dir = ulx::outbox::dir();
        const QByteArray longUrl = "http://h/" + QByteArray(16 * 1024, 'x');
        QByteArray old = "\n\nHTTP://h/old-0\nfile:///x\nhttp://h/\x01x\nhttp://h/c\r\n\xff\n" + longUrl + "\n";
        old += QByteArray(65529 - old.size(), 'z') + "\nhttp://h/old-1\n" + QByteArray(70000, 'y'); // over 128 KiB
        QCOMPARE(ulx::outbox::parseSpool(old), (QList<QByteArray>{"HTTP://h/old-0", "http://h/old-1"}));
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/00000000000001-7-0.urls"), old + "\nhttps://h/d"));
        QVERIFY(ulx::outbox::spool(urls("http://h/a-", 0, 5)));
        QVERIFY(ulx::outbox::spool(urls("http://h/b-", 0, 5)));
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/00000000000002-7-0-1.urls"),
                                 QByteArray(ulx::outbox::MaxSpoolBytes + 1, '\n')));
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/00000000000003-7-0-1.urls")).constData(), 0600), 0);
        QVERIFY(QFile::link(dir + QStringLiteral("/../elsewhere"), dir + QStringLiteral("/00000000000004-7-0-1.urls")));
        const qsizetype logFrom = m_env->logText().size();
        const QList<QByteArray> fromOld{"HTTP://h/old-0", "http://h/old-1", "https://h/d"};
        QCOMPARE(ulx::outbox::claim(4), (fromOld + urls("http://h/a-", 0, 1)));
        QCOMPARE(ulx::outbox::claim(6), (urls("http://h/a-", 1, 4) << urls("http://h/b-", 0, 2)));
        QCOMPARE(ulx::outbox::claim(100), urls("http://h/b-", 2, 3));
        QVERIFY(ulx::outbox::claim(100).isEmpty());
        QCOMPARE(waiting(), QStringList());
        const QString tooBig = QStringLiteral("is over the bound of 67108864 bytes and is removed unread");
        QCOMPARE(outboxLog(logFrom).filter(tooBig).size(), 1);
        QCOMPARE(outboxLog(logFrom).filter(QStringLiteral("is no regular file and is removed")).size(), 2);
        QCOMPARE(outboxLog(logFrom).filter(QStringLiteral("7 lines of 00000000000001-7-0.urls are no URL")).size(), 1);

        const auto write = [](int w) {
            for (int i = 0; i < 40; ++i)
                ulx::outbox::spool({"http://h/o?w=" + QByteArray::number(w * 100 + i), "http://h/o?second"});
        };
        std::thread other(write, 1);
        write(0);
        other.join();
        QCOMPARE(QFileInfo(dir).permissions() & 0x0077, QFileDevice::Permissions());
        const QList<QByteArray> claimed = ulx::outbox::claim(1000);
        QCOMPARE(claimed.size(), 160);
        QCOMPARE(QSet<QByteArray>(claimed.cbegin(), claimed.cend()).size(), 81);
    }

    // A collector that fails in any way costs at most the time-out; the next URL still goes.
    // HTTPS trusts the installation's CA file, and nothing else (libcurl ignores
    // SSL_CERT_FILE); only http and https leave the process. Once stopped, a worker
    // takes nothing more.
    void collectors()
    {
        KTestServer server(m_env->root() + QStringLiteral("/bad"),
                           {"/hang=hang", "/500=status:500", "/garbage=garbage", "/endless=endless"});
        KTestServer tls(m_env->root() + QStringLiteral("/tls"), {}, true);
        QVERIFY(server.isRunning() && tls.isRunning());
        qputenv("SSL_CERT_FILE", tls.caFile().toLocal8Bit());
        {
            NetTransferThread untrusting;
            untrusting.setTimeout(800);
            for (const char *url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "?v=D1S1E1&d=AQ", "", "http://h/a\nb"})
                QVERIFY2(!untrusting.enqueue(url), url);
            untrusting.enqueue(tls.url(QStringLiteral("/unknown-ca")).toUtf8());
            for (const char *path : {"/hang", "/500", "/garbage", "/endless"})
                untrusting.enqueue(server.url(QString::fromLatin1(path)).toUtf8());
            untrusting.enqueue(server.url(QStringLiteral("/next")).replace(0, 4, QStringLiteral("HTTP")).toUtf8());
            untrusting.start("ulx-sender");
            QVERIFY(server.waitForRecords(5, KTestEnv::scaled(2 * 800 + 3000)));
            QCOMPARE(paths(server.records()), (QStringList{"/hang?", "/500?", "/garbage?", "/endless?", "/next?"}));
            QVERIFY(tls.records().isEmpty());
            QVERIFY(untrusting.stop(KTestEnv::scaled(2500)));
            QVERIFY(!untrusting.enqueue(server.url(QStringLiteral("/late")).toUtf8()));
        }
        m_env->writeInstallConfig({{QStringLiteral("Servers/CAFile"), tls.caFile()}});
        krt::reload();
        NetTransferThread trusting;
        trusting.enqueue(tls.url(QStringLiteral("/trusted")).toUtf8());
        trusting.start("ulx-sender");
        QVERIFY(tls.waitForRecords(1, KTestEnv::scaled(10000)));
        m_env->writeInstallConfig({});
        krt::reload();
        qunsetenv("SSL_CERT_FILE");
        sendInfoUrl("?v=D1S1E1&d=AQ"); // what an empty endpoint gives: no sender is started
        QVERIFY(!NetTransferService::existing());

        // More spooled than the queue holds: every event goes out once, none dropped,
        // and a spool that arrives later is sent without anyone asking.
        const int total = NetTransferThread::QueueBound + 1000;
        QVERIFY(ulx::outbox::spool(urls(server.url(QStringLiteral("/e?n=")).toUtf8(), 0, total)));
        ulx::report::deliverOutbox();
        QVERIFY(server.waitForRecords(5 + total, KTestEnv::scaled(60000)));
        QVERIFY(ulx::outbox::spool({server.url(QStringLiteral("/later")).toUtf8()}));
        QTRY_VERIFY_WITH_TIMEOUT(!server.recordsAt(QStringLiteral("/later")).isEmpty(), KTestEnv::scaled(1000));
        QStringList sent = paths(server.recordsAt(QStringLiteral("/e")));
        sent.removeDuplicates();
        QCOMPARE(sent.size(), total);
        QCOMPARE(server.records().size(), 5 + total + 1);
        ulx::report::finishSending(0);
    }

    // The outbox's bound is on events: a spool that would pass it keeps what fits and says
    // how many went. A burst beyond the sender's queue: 4096 kept in order, the rest dropped,
    // counted and logged once.
    void bounds()
    {
        QVERIFY(ulx::outbox::spool(urls("http://h/", 0, int(ulx::outbox::MaxEvents) - 1)));
        qsizetype logFrom = m_env->logText().size();
        QVERIFY(ulx::outbox::spool(urls("http://h/late-", 0, 5)));
        QVERIFY(!ulx::outbox::spool(urls("http://h/later-", 0, 1)));
        QCOMPARE(outboxLog(logFrom), (QStringList{"outbox: holds 99999 events (bound 100000); 4 URLs dropped",
                                                  "outbox: holds 100000 events (bound 100000); 1 URLs dropped"}));
        QCOMPARE(ulx::outbox::claim(ulx::outbox::MaxEvents + 10).size(), ulx::outbox::MaxEvents);

        logFrom = m_env->logText().size();
        NetTransferThread worker; // not started: nothing drains
        for (int i = 0; i < 10000; ++i)
            worker.enqueue(QByteArrayLiteral("http://127.0.0.1:1/b?n=") + QByteArray::number(i));
        // The first drop is logged at once, the rest are counted until the next line a minute later
        // or the end of sending, whichever comes first.
        QCOMPARE(worker.droppedCount(), 10000 - NetTransferThread::QueueBound - 1);
        QCOMPARE(outboxLog(logFrom).filter(QStringLiteral("URLs dropped")).size(), 1);
        QCOMPARE(worker.takeUnsent().last(), QByteArrayLiteral("http://127.0.0.1:1/b?n=4095"));
        QCOMPARE(outboxLog(logFrom).filter(QStringLiteral("(4096 URLs), 5903 URLs dropped")).size(), 1);
    }

    // Real services of one world. A hung collector delays neither a second start nor the
    // shutdown, and the crash counts of earlier runs are cleared once their report is in
    // the outbox. When the collector is back the next serving process sends what was
    // left, and sixty second starts hand their exit events on: each event arrives once,
    // with every field, also at a collector that answers late.
    // Meanwhile a serving process of the other world freezes: its next start waits for it
    // (30 s), dumps the busier of the two, kills the frozen one (and not this world's
    // service) and ends; the time-out event arrives (its log lines: tst_kxulxcloudsvripc).
    void servicesLoseNothing()
    {
        KTestServer frozenCollector(m_frozen->root() + QStringLiteral("/collector"));
        QVERIFY(frozenCollector.isRunning());
        const auto install = [](const KTestServer &collector) {
            return QMap<QString, QString>{{"Installation/Features", "UseUlxCloudSvrInfoXa"},
                                          {"Installation/Version", "6.0.0.7"},
                                          {"Installation/DistribNumber", "Grüße-1"},
                                          {"Servers/InfoCollectSvr", collector.url(QStringLiteral("/c"))},
                                          {"Servers/DefaultInfoCollectSvr", collector.url(QStringLiteral("/c"))},
                                          {"Servers/CrashReportSvr", collector.url(QStringLiteral("/e"))}};
        };
        m_frozen->writeInstallConfig(install(frozenCollector));
        QVERIFY(QDir().mkpath(m_frozen->root() + QStringLiteral("/office"))); // the suite's programs: the dumper
        QVERIFY(QFile::link(KTestEnv::binPath(QStringLiteral("kcrashdumper")),
                            m_frozen->root() + QStringLiteral("/office/kcrashdumper")));
        ktest::KService frozen(*m_frozen);
        QVERIFY(frozen.start({QStringLiteral("/start_from:frozen")}));
        QVERIFY(ktest::waitForLog(*m_frozen, QStringLiteral("KxUlxCloudSvrApplication"),
                                  "KxUlxCloudSvrApplication::onIPCTransmission /start_from:frozen", 10000));
        // Frozen once its start-up is done: its live event is in.
        QTRY_VERIFY_WITH_TIMEOUT(!frozenCollector.eventValues("/ulx/client/app", "ulxcloudsvrlive", 7).isEmpty(),
                                 KTestEnv::scaled(10000));
        const qint64 frozenPid = frozen.pid();
        QCOMPARE(::kill(pid_t(frozenPid), SIGSTOP), 0);
        ktest::KService waiter(*m_frozen);
        QVERIFY(waiter.start({QStringLiteral("/start_from:waiter")}));
        const qint64 waiterPid = waiter.pid();

        auto collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/hung"),
                                                       QStringList{"/c=hang", "/e=hang"});
        QVERIFY(collector->isRunning());
        const int port = collector->port();
        const QString office = m_env->root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office));
        QFile::link(KTestEnv::binPath(QStringLiteral("libkinfosdk.so")), office + QStringLiteral("/libkinfosdk.so"));
        m_env->writeInstallConfig(install(*collector));
        KRegSettings common(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"));
        common.setValue(QStringLiteral("infoGUID"), QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
        KRegSettings app(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"));
        app.setValue(QStringLiteral("ICExceptExit"), 3, KRegType::Dword);
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:first")}));
        QVERIFY(collector->waitForRecords(1, KTestEnv::scaled(10000))); // stuck
        QTRY_COMPARE_WITH_TIMEOUT(app.value(QStringLiteral("ICExceptExit")).toInt(), 0, KTestEnv::scaled(5000));
        QElapsedTimer t;
        t.start();
        QVERIFY(service.send({QStringLiteral("/start_from=second"), QStringLiteral("/x")}));
        QVERIFY2(t.elapsed() < KTestEnv::scaled(2000), QByteArray::number(t.elapsed()).constData());
        t.restart();
        QVERIFY(service.stop());
        // The 2 s grace, then the transfer in flight is aborted within about a second.
        QVERIFY2(t.elapsed() < KTestEnv::scaled(4000), QByteArray::number(t.elapsed()).constData());

        collector.reset();
        collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/late"),
                                                  QStringList{QStringLiteral("/c=late:20")}, false, port);
        QVERIFY(collector->isRunning());
        QVERIFY(service.start({QStringLiteral("/start_from:serving")}));
        QTRY_COMPARE_WITH_TIMEOUT(collector->eventValues(QStringLiteral("/ulx/client/e_exit"), "e_exit_host", 6),
                                  QStringList{QStringLiteral("3")}, KTestEnv::scaled(10000));
        std::vector<std::unique_ptr<QProcess>> starts;
        QStringList expected{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("serving")};
        for (int i = 0; i < 60; ++i) {
            auto &p = starts.emplace_back(std::make_unique<QProcess>());
            p->setProcessEnvironment(m_env->environment());
            p->start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")),
                     {QStringLiteral("/start_from:s%1").arg(i), QStringLiteral("/x")});
            expected << QStringLiteral("s%1").arg(i);
        }
        for (auto &p : starts)
            QVERIFY(p->waitForFinished(KTestEnv::scaled(30000)) && p->exitCode() == 0);
        const auto sent = [&collector](const QString &action) {
            QStringList out = collector->eventValues(QStringLiteral("/ulx/client/app"), action, 7);
            out.sort();
            return out;
        };
        QTRY_VERIFY_WITH_TIMEOUT(sent(QStringLiteral("ulxcloudsvrexit")).size() >= 62, KTestEnv::scaled(20000));

        QVERIFY(waiter.process()->waitForFinished(KTestEnv::scaled(60000)));
        QCOMPARE(waiter.process()->exitCode(), 0);
        QVERIFY(frozen.process()->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(frozen.process()->exitStatus(), QProcess::CrashExit); // SIGKILL
        QCOMPARE(service.process()->state(), QProcess::Running);
        // One complete dump, of one of the two, with the stacks of its threads.
        const QDir dumps(m_frozen->stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        const QStringList names = dumps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(names.size(), 1);
        const qint64 dumped = names.first().section(QLatin1Char('-'), -1).toLongLong();
        QVERIFY(dumped == frozenPid || dumped == waiterPid);
        const QByteArray stacks = ktest::readFile(dumps.filePath(names.first()) + QStringLiteral("/stacks.txt"));
        QVERIFY(stacks.contains("TID " + QByteArray::number(dumped) + ':'));
        // The event arrives, sent by the waiting start or, spooled, by the next serving process.
        QVERIFY(frozen.start({QStringLiteral("/start_from:next")}));
        const auto timeouts = [&frozenCollector](int field) {
            return frozenCollector.eventValues(QStringLiteral("/ulx/client/ulxcloudsvrimp"),
                                               QStringLiteral("ulxcloudsvrimp_ipctimeout"), field);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!timeouts(6).isEmpty(), KTestEnv::scaled(10000));
        QCOMPARE(timeouts(6).first(), QStringLiteral("30000"));
        QCOMPARE(timeouts(3).first(), QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9"));
        QVERIFY(frozen.stop());
        QVERIFY(service.stop());
        expected.sort();
        QCOMPARE(sent(QStringLiteral("ulxcloudsvrexit")), expected);
        QCOMPARE(sent(QStringLiteral("ulxcloudsvrlive")), (QStringList{"first", "serving"}));
        for (const QJsonObject &record : collector->recordsAt(QStringLiteral("/c"))) {
            const QMap<QString, QString> pairs = KTestServer::pairsOf(record);
            if (pairs.value(QStringLiteral("p4")) != QLatin1String("second"))
                continue;
            QCOMPARE(pairs, (QMap<QString, QString>{{"dm", "/ulx/client/app"}, {"action", "ulxcloudsvrexit"},
                                                    {"pnum", "5"}, {"p0", common.value("InfoUUID").toString()},
                                                    {"p1", "0A1B2C3D4E5F60718293A4B5C6D7E8F9"}, {"p2", "6.0.0.7"},
                                                    {"p3", "Grüße-1"}, {"p4", "second"}}));
        }
        QCOMPARE(waiting(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSender)
#include "tst_sender.moc"
