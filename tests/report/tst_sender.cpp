// The info-collection sender against a real loopback collector.

#include "reportcore/knettransfer.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

class TestSender : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;

    static QStringList paths(const QList<QJsonObject> &records)
    {
        QStringList out;
        for (const QJsonObject &r : records)
            out << r.value(QStringLiteral("path")).toString() + QLatin1Char('?') + r.value(QStringLiteral("query")).toString();
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "no_proxy", "NO_PROXY"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        krt::reload();
    }

    // URLs go out in the order they were queued, on one kept-alive connection.
    void queueOrder()
    {
        KTestServer server(m_env->root() + QStringLiteral("/order"));
        QVERIFY(server.isRunning());
        NetTransferThread worker;
        QStringList expected;
        for (int i = 0; i < 20; ++i) {
            QVERIFY(worker.enqueue(server.url(QStringLiteral("/a?n=%1").arg(i)).toUtf8()));
            expected << QStringLiteral("/a?n=%1").arg(i);
        }
        worker.start("ulx-sender");
        QVERIFY(server.waitForRecords(20, KTestEnv::scaled(10000)));
        QCOMPARE(paths(server.records()), expected);
    }

    // A collector that fails in any way costs at most the time-out; the next URL still goes.
    void badCollector_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("hang") << QStringLiteral("hang");
        QTest::newRow("500") << QStringLiteral("status:500");
        QTest::newRow("garbage") << QStringLiteral("garbage");
        QTest::newRow("endless body") << QStringLiteral("endless");
    }
    void badCollector()
    {
        QFETCH(QString, kind);
        KTestServer server(m_env->root() + QStringLiteral("/bad-") + QString::number(qHash(kind)),
                           {QStringLiteral("/bad=") + kind});
        QVERIFY(server.isRunning());
        NetTransferThread worker;
        const int timeoutMs = 800;
        worker.setTimeout(timeoutMs);
        worker.enqueue(server.url(QStringLiteral("/bad")).toUtf8());
        worker.enqueue(server.url(QStringLiteral("/next")).toUtf8());
        QElapsedTimer t;
        t.start();
        worker.start("ulx-sender");
        QVERIFY(server.waitForRecords(2, KTestEnv::scaled(timeoutMs + 3000)));
        QCOMPARE(paths(server.records()), (QStringList{QStringLiteral("/bad?"), QStringLiteral("/next?")}));
        QVERIFY(worker.waitIdle(KTestEnv::scaled(3000)));
    }

    // HTTPS trusts the installation's CA file, and nothing else (libcurl ignores SSL_CERT_FILE).
    void tlsTrustsOnlyTheConfiguredCa()
    {
        KTestServer tls(m_env->root() + QStringLiteral("/tls"), {}, true);
        KTestServer plain(m_env->root() + QStringLiteral("/plain"));
        QVERIFY(tls.isRunning() && plain.isRunning());
        qputenv("SSL_CERT_FILE", tls.caFile().toLocal8Bit());
        {
            NetTransferThread untrusting;
            untrusting.enqueue(tls.url(QStringLiteral("/unknown-ca")).toUtf8());
            untrusting.enqueue(plain.url(QStringLiteral("/sentinel")).toUtf8());
            untrusting.start("ulx-sender");
            QVERIFY(plain.waitForRecords(1, KTestEnv::scaled(10000)));
            QVERIFY(tls.records().isEmpty());
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
    }

    // Only http and https leave the process; an unconfigured endpoint starts nothing.
    void onlyHttpUrls()
    {
        NetTransferThread worker;
        for (const char *url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "?v=D1S1E1&d=AQ", "", "http://h/a\nb"})
            QVERIFY2(!worker.enqueue(url), url);
        QVERIFY(worker.enqueue("HTTP://127.0.0.1:1/x"));
        sendInfoUrl("?v=D1S1E1&d=AQ"); // what an empty endpoint gives
        QVERIFY(!NetTransferService::existing());
    }

    // A burst beyond the bound: 4096 kept in order, the rest dropped, counted and logged once.
    void burstIsBounded()
    {
        NetTransferThread worker; // not started: nothing drains
        int accepted = 0;
        for (int i = 0; i < 10000; ++i)
            accepted += worker.enqueue(QByteArrayLiteral("http://127.0.0.1:1/b?n=") + QByteArray::number(i)) ? 1 : 0;
        QCOMPARE(accepted, NetTransferThread::QueueBound);
        // The first drop is logged at once, the rest are counted until the next line a minute later
        // or the end of sending, whichever comes first.
        QCOMPARE(worker.droppedCount(), 10000 - NetTransferThread::QueueBound - 1);
        QCOMPARE(m_env->logText().count(QStringLiteral("URLs dropped")), 1);
        const QList<QByteArray> unsent = worker.takeUnsent();
        QCOMPARE(unsent.size(), NetTransferThread::QueueBound);
        QCOMPARE(unsent.last(), QByteArrayLiteral("http://127.0.0.1:1/b?n=4095"));
        QVERIFY(m_env->logText().contains(QStringLiteral("(4096 URLs), 5903 URLs dropped")));
    }

    // Ending with a transfer stuck on a hung collector: the stuck URL and the queue
    // come back for the outbox, and the worker ends within about a second.
    void stopAbortsTheTransferInFlight()
    {
        KTestServer server(m_env->root() + QStringLiteral("/stuck"), {QStringLiteral("/hang=hang")});
        QVERIFY(server.isRunning());
        NetTransferThread worker; // the default 20 s time-out
        worker.enqueue(server.url(QStringLiteral("/hang")).toUtf8());
        worker.enqueue(server.url(QStringLiteral("/queued")).toUtf8());
        worker.start("ulx-sender");
        QVERIFY(server.waitForRecords(1, KTestEnv::scaled(5000)));
        QElapsedTimer t;
        t.start();
        const QList<QByteArray> unsent = worker.takeUnsent();
        QCOMPARE(unsent, (QList<QByteArray>{server.url(QStringLiteral("/hang")).toUtf8(),
                                             server.url(QStringLiteral("/queued")).toUtf8()}));
        QVERIFY(worker.stop(KTestEnv::scaled(2500)));
        QVERIFY2(t.elapsed() < KTestEnv::scaled(2500), QByteArray::number(t.elapsed()).constData());
        QVERIFY(!worker.enqueue(server.url(QStringLiteral("/late")).toUtf8())); // closed for good
    }

    // Many processes' spools at once: each arrives whole, once, and the outbox stays private.
    void outboxSpoolsAndClaims()
    {
        std::vector<std::thread> writers;
        for (int w = 0; w < 8; ++w) {
            writers.emplace_back([w] {
                for (int i = 0; i < 10; ++i)
                    ulx::outbox::spool({QByteArray("http://h/o?w=%1").replace("%1", QByteArray::number(w * 100 + i)),
                                        QByteArray("http://h/o?second")});
            });
        }
        for (auto &t : writers)
            t.join();
        QCOMPARE(QFile::permissions(ulx::outbox::dir()) & 0x0077, QFileDevice::Permissions());
        const QList<QByteArray> urls = ulx::outbox::claim(1000);
        QCOMPARE(urls.size(), 160);
        QCOMPARE(QSet<QByteArray>(urls.cbegin(), urls.cend()).size(), 81);
        QVERIFY(ulx::outbox::claim(1000).isEmpty());
        QVERIFY(QDir(ulx::outbox::dir()).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSender)
#include "tst_sender.moc"
