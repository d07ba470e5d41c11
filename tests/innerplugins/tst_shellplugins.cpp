// The shell switch and the shell prestart, linked as the service links them:
// the switch against the loopback test server, the prestart against a recording
// launcher and locks held by util-linux flock.
#include "innerplugins/kinnerclock.h"
#include "innerplugins/knexaprestart/knexaprestart.h"
#include "innerplugins/knexaswitch/knexaswitch.h"
#include "platform/namedmutex.h"
#include "tests/common/kserviceapp.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <climits>
#include <memory>
#include <time.h>

namespace {
const QString ListPath = QStringLiteral("/config/common/list");
} // namespace

class TestShellPlugins : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    std::unique_ptr<KTestServer> m_server;
    QString m_answerFile;
    QString m_launcherRecord;

    QMap<QString, QString> installConfig(const QString &switchBase) const
    {
        return {{QStringLiteral("Servers/NexaSwitchSvr"), switchBase},
                {QStringLiteral("Installation/LaunchExePath"), m_env->root() + QStringLiteral("/launcher.sh")}};
    }
    // Every request for the list (nothing else asks this server), whichever route answered it.
    qsizetype listRequests() const { return m_server->records().size(); }
    QString beep() const { return KxPluginsSettings(QStringLiteral("knexabeep")).value(QStringLiteral("beep")).toString(); }
    QStringList logged(qsizetype from) const { return ktest::logMessages(*m_env, QStringLiteral("knexaprestart"), from); }
    // The prestarts logged since the mark; waits until the recording launcher has
    // written each of them, then forgets the record.
    QStringList prestarts(qsizetype mark)
    {
        QStringList out;
        for (const QString &line : logged(mark)) {
            if (line.startsWith(QLatin1String("prestart:")))
                out << line.section(QStringLiteral(", "), 1);
        }
        QElapsedTimer t;
        t.start();
        while (ktest::readLines(m_launcherRecord).size() < out.size() && t.elapsed() < KTestEnv::scaled(3000))
            QTest::qWait(20);
        if (ktest::readLines(m_launcherRecord) != out)
            out << QStringLiteral("launcher recorded: ") + ktest::readLines(m_launcherRecord).join(',');
        QFile::remove(m_launcherRecord);
        return out;
    }
    void setPrestart(int strategy, int interval, const QString &ranges)
    {
        KxPluginsSettings s(QStringLiteral("knexaprestart"));
        s.setValue(QStringLiteral("strategy"), strategy);
        s.setValue(QStringLiteral("interval"), interval);
        s.setValue(QStringLiteral("ranges"), ranges);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Date codes use local time: a zone far from UTC tells local from UTC dates.
        qputenv("TZ", "JST-9");
        ::tzset();
        m_env = std::make_unique<KTestEnv>();
        qputenv("ULX_GLOBAL_LOCK_DIR", QFile::encodeName(m_env->root() + QStringLiteral("/global")));
        m_answerFile = m_env->root() + QStringLiteral("/answer.json");
        m_launcherRecord = m_env->root() + QStringLiteral("/launches.txt");
        QVERIFY(ktest::writeRecordingScript(m_env->root() + QStringLiteral("/launcher.sh"), m_launcherRecord));
        m_server = std::make_unique<KTestServer>(
            m_env->root(), QStringList{ListPath + QStringLiteral("=file:") + m_answerFile,
                                       QStringLiteral("/down") + ListPath + QStringLiteral("=status:500"),
                                       QStringLiteral("/slow") + ListPath + QStringLiteral("=hang")});
        QVERIFY(m_server->isRunning());
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
        krt::reload();
        m_app = makeServiceApp();
    }

    void cleanup() { kinnerclock::setSource({}); }

    // The local "switch" gates the request; an answer checked step by step writes
    // "beep" only when complete. Date codes are of local dates: in JST,
    // 2026-03-01T20:00Z is March 2 and 2027-01-01T00:00 is Dec 31 in UTC.
    void switchAnswers_data()
    {
        QTest::addColumn<QString>("localSwitch"); // null: not set
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: nothing written
        const auto body = [](const QByteArray &head, const QByteArray &data) {
            return QByteArray("{\"success\":" + head + ",\"data\":[" + data + "]}");
        };
        const QByteArray ok = "true,\"timestamp\":1772395200000", entry = "{\"expiration\":\"1798729200000\"}";
        const QString valid = QStringLiteral("3c:7f:1b:4f|3c:7f:1b:4f|3c:7f:18:3e");
        QTest::newRow("switch missing") << QString() << body(ok, entry) << "";
        QTest::newRow("switch false") << "false" << body(ok, entry) << "";
        QTest::newRow("switch 1 is not true") << "1" << body(ok, entry) << "";
        QTest::newRow("switch TRUE") << "TRUE" << body(ok, entry) << valid;
        QTest::newRow("number expiration") << "true" << body(ok, "{\"expiration\":1798729200000}") << valid;
        QTest::newRow("timestamp missing reads as 1970") << "true" << body("true", entry)
                                                         << "3c:7f:1b:4f|3c:7f:ab:6d|3c:7f:18:3e";
        QTest::newRow("success false") << "true" << body("false,\"timestamp\":1772395200000", entry) << "";
        QTest::newRow("two entries") << "true" << body(ok, entry + ",{\"expiration\":\"1\"}") << "";
        QTest::newRow("empty entry") << "true" << body(ok, "{}") << "";
        QTest::newRow("expiration not numeric") << "true" << body(ok, "{\"expiration\":\"soon\"}") << "";
        QTest::newRow("negative timestamp") << "true" << body("true,\"timestamp\":-5000", entry) << "";
        QTest::newRow("not JSON") << "true" << QByteArray("<html>") << "";
    }
    void switchAnswers()
    {
        QFETCH(QString, localSwitch);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        kinnerclock::setSource([] { return QDateTime(QDate(2026, 3, 2), QTime(9, 0)); });
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), localSwitch.isNull() ? QVariant() : QVariant(localSwitch));
        s.setValue(QStringLiteral("beep"), QStringLiteral("old"));
        QVERIFY(ktest::writeFile(m_answerFile, body));
        const bool asks = localSwitch.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
        const qsizetype before = listRequests();
        KNexaSwitch plugin;
        plugin.exec(QStringLiteral("/anything"));
        QCOMPARE(plugin.isRequesting(), asks);
        QTRY_VERIFY_WITH_TIMEOUT(!plugin.isRequesting(), KTestEnv::scaled(5000));
        QCOMPARE(listRequests() - before, asks ? 1 : 0);
        QCOMPARE(beep(), expected.isEmpty() ? QStringLiteral("old") : expected);
        if (!asks)
            return;
        // The server reads its parameters joined by two ampersands.
        const QString query = m_server->records().last().value(QStringLiteral("query")).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^_template_type=nexaplex_beta&&uuid=[^&]+&&guid=[^&]*&&hdid=[^&]*"
                                                   "&&_client_version=6\\.0\\.0\\.0&&_dist=0\\.0$"))
                     .match(query)
                     .hasMatch(),
                 qPrintable(query));
    }

    // No endpoint: nothing goes out. The endpoint down, or slow: one request at a
    // time, nothing written, and the next line after a failure tries again.
    void noEndpointDownAndSlow()
    {
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), QStringLiteral("true"));
        s.setValue(QStringLiteral("beep"), QStringLiteral("old"));
        m_env->writeInstallConfig(installConfig(QString()));
        KNexaSwitch none;
        none.exec(QString());
        QVERIFY(!none.isRequesting());

        m_env->writeInstallConfig(installConfig(m_server->url(QStringLiteral("/down"))));
        KNexaSwitch down;
        down.exec(QString());
        QTRY_VERIFY_WITH_TIMEOUT(!down.isRequesting(), KTestEnv::scaled(5000));
        QCOMPARE(beep(), QStringLiteral("old"));

        m_env->writeInstallConfig(installConfig(m_server->url(QStringLiteral("/slow"))));
        KNexaSwitch::setTransferTimeoutMs(KTestEnv::scaled(600));
        const qsizetype before = listRequests();
        KNexaSwitch slow;
        slow.exec(QString());
        slow.exec(QString());
        slow.exec(QString());
        QTRY_COMPARE_WITH_TIMEOUT(listRequests(), before + 1, KTestEnv::scaled(3000));
        QTRY_VERIFY_WITH_TIMEOUT(!slow.isRequesting(), KTestEnv::scaled(5000)); // the transfer limit ends it
        QCOMPARE(listRequests(), before + 1);
        slow.exec(QString());
        QTRY_COMPARE_WITH_TIMEOUT(listRequests(), before + 2, KTestEnv::scaled(3000));
        KNexaSwitch::setTransferTimeoutMs(30000);
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
    }

    // Strategy 2: due at init inside a window (start included, end excluded), or
    // when no window is usable; the stored interval (seconds) as the timer's period.
    void prestartWindows_data()
    {
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<bool>("due");
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("periodMs");
        const auto row = [](const char *tag, const QString &ranges, QTime now, bool due, int interval = 3600,
                            int periodMs = 3600000) { QTest::newRow(tag) << ranges << now << due << interval << periodMs; };
        const QString def = QStringLiteral("0800-1200;1400-1800");
        row("start included", def, QTime(8, 0), true);
        row("before start", def, QTime(7, 59, 59, 999), false);
        row("last ms", def, QTime(11, 59, 59, 999), true);
        row("end excluded", def, QTime(12, 0), false);
        row("second window", def, QTime(17, 0), true);
        row("empty pieces dropped", "0800-1200;;1400-1800;", QTime(13, 0), false);
        row("hour 25 dropped, the rest kept", "0800-1200;2500-2600", QTime(1, 30), false);
        row("reversed never", "2200-0600", QTime(23, 0), false);
        row("nothing usable: always", "0800", QTime(3, 0), true);
        row("minute 60 unusable", "0860-0900", QTime(3, 0), true);
        row("three parts unusable", "0800-0900-1000", QTime(3, 0), true);
        row("five digits unusable", "08000-0900", QTime(3, 0), true);
        row("interval past what a timer takes", "2200-0600", QTime(3, 0), false, 3000000, INT_MAX);
        row("negative interval: the default hour", "2200-0600", QTime(3, 0), false, -5);
        row("negative past an int in ms", "2200-0600", QTime(3, 0), false, -3000000);
    }
    void prestartWindows()
    {
        QFETCH(QString, ranges);
        QFETCH(QTime, now);
        QFETCH(bool, due);
        QFETCH(int, interval);
        QFETCH(int, periodMs);
        kinnerclock::setSource([now] { return QDateTime(QDate(2026, 3, 2), now); });
        setPrestart(2, interval, ranges);
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.init();
        QCOMPARE(plugin.isDue(), due);
        // init itself prestarted when due
        QCOMPARE(prestarts(mark), due ? QStringList{"/nexaplex /prestart-type=2"} : QStringList());
        QVERIFY(plugin.timer() && plugin.timer()->isActive());
        QCOMPARE(plugin.timer()->interval(), periodMs);
        plugin.uninit();
        QVERIFY(!plugin.timer()->isActive());
    }

    // Strategy 1 starts the shell once, after the start-up delay, however many lines
    // come; strategy 0, an unknown one and strategy 2 with interval 0 start nothing
    // and run no timer; strategy 2 with an interval starts it on every tick.
    void strategies()
    {
        KNexaPrestart::setStartupDelayMs(300);
        const qsizetype mark = m_env->logText().size();
        std::vector<std::unique_ptr<KNexaPrestart>> plugins;
        for (const auto &[strategy, interval] : {std::pair{0, 3600}, {1, 3600}, {3, 3600}, {2, 0}}) {
            setPrestart(strategy, interval, QStringLiteral("0800"));
            plugins.push_back(std::make_unique<KNexaPrestart>());
            plugins.back()->init();
            for (int i = 0; i < 5; ++i)
                plugins.back()->exec(QStringLiteral("/x"));
            QVERIFY(!plugins.back()->timer());
        }
        QCOMPARE(prestarts(mark), QStringList()); // not before the delay
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(prestarts(mark), QStringList{"/nexaplex /prestart-type=1"});
        KNexaPrestart::setStartupDelayMs(5000);

        setPrestart(2, 1, QStringLiteral("0800"));
        const qsizetype ticks = m_env->logText().size();
        KNexaPrestart ticking;
        ticking.init();
        QTest::qWait(KTestEnv::scaled(1500));
        ticking.uninit();
        const QStringList got = prestarts(ticks); // the prestart of init, then one a tick
        QVERIFY2(got.size() >= 2, qPrintable(got.join(',')));
        QCOMPARE(got.count(QStringLiteral("/nexaplex /prestart-type=2")), got.size());
    }

    // The three skip checks, each with the lock held by another process, and a
    // launcher that is not there: the attempt is only logged. Once the lock is
    // free or the installation right, the next attempt starts the shell.
    void skips_data()
    {
        QTest::addColumn<QString>("mutex");
        QTest::addColumn<QString>("install"); // "key=value" added to the installation
        QTest::addColumn<QString>("line");    // ROOT: the world's root
        const QString uuid = QStringLiteral("_C42D7A0A-2868-45FF-92EE-9B7AE7124588");
        const QString installer = QStringLiteral("installer exist, skipped prestart:1");
        QTest::newRow("shell") << "__#_NEXA_INSTANCE_EXIST_KEY_#__" << "" << "nexa exist, skipped prestart:1";
        QTest::newRow("setup") << "Global\\ulxsetup" + uuid << "" << installer;
        QTest::newRow("patch") << "Global\\ulxpatch" + uuid << "" << installer;
        QTest::newRow("uninst") << "Global\\ulxuninst" + uuid << "" << installer;
        QTest::newRow("independent") << "" << "Installation/IndependentMode=true" << "isIndependentMode, skipped prestart:1";
        QTest::newRow("launcher missing") << "" << "Installation/LaunchExePath=ROOT/none"
                                          << "prestart:ROOT/none, /nexaplex /prestart-type=1";
    }
    void skips()
    {
        QFETCH(QString, mutex);
        QFETCH(QString, install);
        QFETCH(QString, line);
        QProcess holder;
        if (!mutex.isEmpty())
            QVERIFY(ktest::startLockHolder(holder, ulx::namedmutex::filePath(mutex)));
        auto config = installConfig(m_server->url(QString()));
        if (!install.isEmpty())
            config.insert(install.section('=', 0, 0), install.section('=', 1).replace("ROOT", m_env->root()));
        m_env->writeInstallConfig(config);
        krt::reload();
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.prestart(1);
        QCOMPARE(logged(mark), QStringList{line.replace("ROOT", m_env->root())});
        holder.closeWriteChannel();
        holder.waitForFinished(KTestEnv::scaled(5000));
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
        krt::reload();
        const qsizetype after = m_env->logText().size();
        plugin.prestart(1);
        QCOMPARE(prestarts(after), QStringList{"/nexaplex /prestart-type=1"});
    }
};

QTEST_APPLESS_MAIN(TestShellPlugins)
#include "tst_shellplugins.moc"
