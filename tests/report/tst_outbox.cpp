// The outbox: what waits is sent, within what the sender's queue takes, and nothing
// that does not fit is lost.

#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QSet>
#include <QTest>

#include <memory>
#include <vector>
#include <sys/stat.h>

class TestOutbox : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;

    static QList<QByteArray> urls(const QByteArray &prefix, int from, int count)
    {
        QList<QByteArray> out;
        for (int i = from; i < from + count; ++i)
            out << prefix + QByteArray::number(i);
        return out;
    }

    QStringList waiting() const { return QDir(ulx::outbox::dir()).entryList(QDir::Files | QDir::System); }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        krt::reload();
    }

    void init() { QDir(ulx::outbox::dir()).removeRecursively(); }

    // The spool reader takes URLs a line each, whatever else the bytes hold.
    void parseSpool_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray longUrl = "http://h/" + QByteArray(16 * 1024, 'x');
        QTest::newRow("as earlier versions wrote") << QByteArray("http://h/a\nhttps://h/b\n")
                                                   << QList<QByteArray>{"http://h/a", "https://h/b"};
        QTest::newRow("last line unterminated, empty lines") << QByteArray("\n\nHTTP://h/a\n\nhttp://h/b")
                                                             << QList<QByteArray>{"HTTP://h/a", "http://h/b"};
        QTest::newRow("no URL, control bytes, CR") << QByteArray("file:///etc/passwd\nhttp://h/\x01x\nhttp://h/c\r\n\xff\nhttp://h/d")
                                                   << QList<QByteArray>{"http://h/d"};
        QTest::newRow("over-long line between two") << QByteArray("http://h/a\n" + longUrl + "\nhttp://h/b\n")
                                                     << QList<QByteArray>{"http://h/a", "http://h/b"};
        QTest::newRow("over-long last line") << QByteArray("http://h/a\n" + longUrl) << QList<QByteArray>{"http://h/a"};
        QTest::newRow("nothing") << QByteArray() << QList<QByteArray>{};
    }
    void parseSpool()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, expected);
        QCOMPARE(ulx::outbox::parseSpool(bytes), expected);
        // Fed in pieces of any size, the same.
        for (const qsizetype piece : {1, 7, 4096}) {
            ulx::outbox::SpoolParser parser(1 << 20);
            for (qsizetype at = 0; at < bytes.size(); at += piece)
                parser.feed(QByteArrayView(bytes).sliced(at, std::min(piece, bytes.size() - at)));
            parser.finish();
            QCOMPARE(parser.urls, expected);
        }
    }

    // Claims take only what fits, oldest first; the rest stays on disk and comes
    // next, each URL once. Spools of earlier versions are read; files that are no
    // spool (too big, a FIFO, a link) are removed and logged.
    void claimTakesWhatFits()
    {
        QVERIFY(ulx::outbox::ensureDir());
        const QString dir = ulx::outbox::dir();
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/00000000000001-7-0.urls"), "http://h/old-0\nhttp://h/old-1\n"));
        QVERIFY(ulx::outbox::spool(urls("http://h/a-", 0, 5)));
        QVERIFY(ulx::outbox::spool(urls("http://h/b-", 0, 5)));
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/00000000000002-7-0-1.urls"), QByteArray(ulx::outbox::MaxSpoolBytes + 1, '\n')));
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/00000000000003-7-0-1.urls")).constData(), 0600), 0);
        QVERIFY(QFile::link(dir + QStringLiteral("/../elsewhere"), dir + QStringLiteral("/00000000000004-7-0-1.urls")));
        const qsizetype logFrom = m_env->logText().size();

        QCOMPARE(ulx::outbox::claim(4), (urls("http://h/old-", 0, 2) << urls("http://h/a-", 0, 2)));
        QCOMPARE(ulx::outbox::claim(6), (urls("http://h/a-", 2, 3) << urls("http://h/b-", 0, 3)));
        QCOMPARE(ulx::outbox::claim(100), urls("http://h/b-", 3, 2));
        QVERIFY(ulx::outbox::claim(100).isEmpty());
        QCOMPARE(waiting(), QStringList());
        const QStringList log = ktest::logMessages(*m_env, QStringLiteral("NetTransferService"), logFrom);
        QCOMPARE(log.filter(QStringLiteral("is over the bound of 67108864 bytes and is removed unread")).size(), 1);
        QCOMPARE(log.filter(QStringLiteral("is no regular file and is removed")).size(), 2);
        QCOMPARE(QFileInfo(dir).permissions() & 0x0077, QFileDevice::Permissions());
    }

    // The bound is on events: a spool that would pass it keeps what fits and says how many went.
    void boundOnEvents()
    {
        QVERIFY(ulx::outbox::spool(urls("http://h/", 0, int(ulx::outbox::MaxEvents) - 1)));
        const qsizetype logFrom = m_env->logText().size();
        QVERIFY(ulx::outbox::spool(urls("http://h/late-", 0, 5)));
        QVERIFY(!ulx::outbox::spool(urls("http://h/later-", 0, 1)));
        QCOMPARE(ktest::logMessages(*m_env, QStringLiteral("NetTransferService"), logFrom),
                 (QStringList{QStringLiteral("outbox: holds 99999 events (bound 100000); 4 URLs dropped"),
                              QStringLiteral("outbox: holds 100000 events (bound 100000); 1 URLs dropped")}));
        QCOMPARE(ulx::outbox::claim(ulx::outbox::MaxEvents + 10).size(), ulx::outbox::MaxEvents);
    }

    // Second starts hand their exit event to the outbox and the serving process
    // sends it: each arrives once, also when the collector answers late.
    void secondStartExitEventsOnce()
    {
        KTestServer collector(m_env->root() + QStringLiteral("/late"), {QStringLiteral("/c=late:50")});
        QVERIFY(collector.isRunning());
        m_env->writeInstallConfig({{QStringLiteral("Installation/Features"), QStringLiteral("UseUlxCloudSvrInfoXa")},
                                   {QStringLiteral("Servers/InfoCollectSvr"), collector.url(QStringLiteral("/c"))}});
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:serving")}));
        QVERIFY(collector.waitForRecords(1, KTestEnv::scaled(10000))); // its live event
        constexpr int Starts = 60;
        std::vector<std::unique_ptr<QProcess>> starts;
        QStringList expected;
        for (int i = 0; i < Starts; ++i) {
            auto &p = starts.emplace_back(std::make_unique<QProcess>());
            p->setProcessEnvironment(m_env->environment());
            p->start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/start_from:s%1").arg(i), QStringLiteral("/x")});
            expected << QStringLiteral("s%1").arg(i);
        }
        for (auto &p : starts)
            QVERIFY(p->waitForFinished(KTestEnv::scaled(30000)) && p->exitCode() == 0);
        const auto exits = [&collector] {
            return collector.eventValues(QStringLiteral("/ulx/client/app"), QStringLiteral("ulxcloudsvrexit"), 7);
        };
        QTRY_VERIFY_WITH_TIMEOUT(exits().size() >= Starts, KTestEnv::scaled(20000));
        QVERIFY(service.stop());
        QStringList arrived = exits();
        arrived.sort();
        expected << QStringLiteral("serving");
        expected.sort();
        QCOMPARE(arrived, expected);
    }

    // The crash counts of earlier runs reach a collector that was down when they
    // were first sent, and are cleared only once the report is in the outbox.
    void crashReportSurvivesAHungCollector()
    {
        auto collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/crash-hung"),
                                                       QStringList{QStringLiteral("/e=hang")});
        QVERIFY(collector->isRunning());
        const int port = collector->port();
        const QString office = m_env->root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office));
        QFile::link(KTestEnv::binPath(QStringLiteral("libkinfosdk.so")), office + QStringLiteral("/libkinfosdk.so"));
        m_env->writeInstallConfig({{QStringLiteral("Installation/OfficeDir"), office},
                                   {QStringLiteral("Servers/CrashReportSvr"), collector->url(QStringLiteral("/e"))}});
        KRegSettings app(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"));
        app.setValue(QStringLiteral("ICExceptExit"), 3, KRegType::Dword);
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:first")}));
        QVERIFY(collector->waitForRecords(1, KTestEnv::scaled(10000))); // stuck on the wire
        QCOMPARE(app.value(QStringLiteral("ICExceptExit")).toInt(), 0);
        QVERIFY(service.stop());

        collector.reset();
        collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/crash-back"), QStringList{}, false, port);
        QVERIFY(collector->isRunning());
        QVERIFY(service.start({QStringLiteral("/start_from:next")}));
        QTRY_VERIFY_WITH_TIMEOUT(!collector->eventValues(QStringLiteral("/ulx/client/e_exit"), QStringLiteral("e_exit_host")).isEmpty(),
                                 KTestEnv::scaled(10000));
        QCOMPARE(collector->eventValues(QStringLiteral("/ulx/client/e_exit"), QStringLiteral("e_exit_host"), 6),
                 QStringList{QStringLiteral("3")});
        QVERIFY(service.stop());
    }

    // More spooled than the queue holds: every event goes out once, none dropped,
    // and spools that arrive later are sent without anyone asking.
    void deliveredWithinTheQueue()
    {
        const qsizetype logFrom = m_env->logText().size();
        KTestServer collector(m_env->root() + QStringLiteral("/collector"));
        QVERIFY(collector.isRunning());
        const int total = NetTransferThread::QueueBound + 1000;
        QList<QByteArray> spooled = urls(collector.url(QStringLiteral("/e?n=")).toUtf8(), 0, total);
        for (qsizetype at = 0; at < total; at += 1000)
            QVERIFY(ulx::outbox::spool(spooled.mid(at, 1000)));
        ulx::report::deliverOutbox();
        QVERIFY2(collector.waitForRecords(total, KTestEnv::scaled(60000)), QByteArray::number(collector.records().size()) + " " + waiting().join(' ').toUtf8() + m_env->logText().right(2000).toUtf8());
        QVERIFY(ulx::outbox::spool({collector.url(QStringLiteral("/later")).toUtf8()}));
        QTRY_VERIFY_WITH_TIMEOUT(!collector.recordsAt(QStringLiteral("/later")).isEmpty(), KTestEnv::scaled(1000));
        QSet<QString> seen;
        for (const QJsonObject &r : collector.recordsAt(QStringLiteral("/e")))
            seen.insert(r.value(QStringLiteral("query")).toString());
        QCOMPARE(seen.size(), total);
        QCOMPARE(collector.records().size(), total + 1);
        QCOMPARE(ktest::logMessages(*m_env, QStringLiteral("NetTransferService"), logFrom).filter(QStringLiteral("dropped")),
                 QStringList());
        QCOMPARE(waiting(), QStringList());
        ulx::report::finishSending(0);
    }
};

QTEST_GUILESS_MAIN(TestOutbox)
#include "tst_outbox.moc"
