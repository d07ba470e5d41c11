// The shell switch and the shell prestart, linked as the service links them:
// the switch against the loopback test server, the prestart against a recording
// launcher and locks held by util-linux flock.
#include "innerplugins/iinnerplugin.h"
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
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>
#include <time.h>
#include <unistd.h>

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
    // Every request for the list, whichever route answered it.
    qsizetype listRequests() const
    {
        qsizetype n = 0;
        for (const QJsonObject &r : m_server->records())
            n += r.value(QStringLiteral("path")).toString().endsWith(ListPath);
        return n;
    }
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
    void setPrestart(const QVariant &strategy, const QVariant &interval = {}, const QVariant &ranges = {})
    {
        KxPluginsSettings s(QStringLiteral("knexaprestart"));
        s.setValue(QStringLiteral("strategy"), strategy);
        if (interval.isValid())
            s.setValue(QStringLiteral("interval"), interval);
        if (ranges.isValid())
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

    void dateCodes_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("code");
        QTest::newRow("epoch") << QDate(1970, 1, 1) << "3c:7f:ab:6d";
        QTest::newRow("2026-03-01") << QDate(2026, 3, 1) << "3c:7f:1b:4c";
        QTest::newRow("2027-01-01") << QDate(2027, 1, 1) << "3c:7f:18:3e";
    }
    void dateCodes()
    {
        QFETCH(QDate, date);
        QFETCH(QString, code);
        QCOMPARE(KNexaSwitch::dateCode(date), code);
    }

    // The server reads its parameters joined by two ampersands.
    void requestUrlTemplate()
    {
        const QString url = KNexaSwitch::requestUrl(QStringLiteral("http://h:1/")).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^http://h:1/config/common/list\\?_template_type=nexaplex_beta"
                                                   "&&uuid=[^&]+&&guid=[^&]*&&hdid=[^&]*&&_client_version=6\\.0\\.0\\.0"
                                                   "&&_dist=0\\.0$"))
                     .match(url)
                     .hasMatch(),
                 qPrintable(url));
    }

    // The local "switch" and the configured endpoint decide whether anything goes out.
    void switchGate_data()
    {
        QTest::addColumn<QVariant>("localSwitch");
        QTest::addColumn<bool>("endpoint");
        QTest::addColumn<int>("requests");
        QTest::newRow("missing") << QVariant() << true << 0;
        QTest::newRow("false") << QVariant(QStringLiteral("false")) << true << 0;
        QTest::newRow("1 is not true") << QVariant(QStringLiteral("1")) << true << 0;
        QTest::newRow("TRUE") << QVariant(QStringLiteral("TRUE")) << true << 1;
        QTest::newRow("no endpoint") << QVariant(QStringLiteral("true")) << false << 0;
    }
    void switchGate()
    {
        QFETCH(QVariant, localSwitch);
        QFETCH(bool, endpoint);
        QFETCH(int, requests);
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), localSwitch);
        m_env->writeInstallConfig(installConfig(endpoint ? m_server->url(QString()) : QString()));
        const qsizetype before = listRequests();
        KNexaSwitch plugin;
        plugin.exec(QStringLiteral("/anything"));
        QCOMPARE(plugin.isRequesting(), requests > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!plugin.isRequesting(), KTestEnv::scaled(5000));
        QCOMPARE(listRequests() - before, requests);
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
    }

    // Answers checked step by step: only a complete one writes "beep".
    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: nothing written
        const QString today = KNexaSwitch::dateCode(QDate(2026, 3, 2));
        // 2026-03-01T20:00Z is already March 2 in JST; 2027-01-01T00:00 JST is Dec 31 in UTC.
        const auto body = [](const QByteArray &head, const QByteArray &data) {
            return QByteArray("{\"success\":" + head + ",\"data\":[" + data + "]}");
        };
        const QByteArray ok = "true,\"timestamp\":1772395200000", entry = "{\"expiration\":\"1798729200000\"}";
        const QString valid = today + "|3c:7f:1b:4f|3c:7f:18:3e";
        QTest::newRow("valid, text expiration") << body(ok, entry) << valid;
        QTest::newRow("valid, number expiration") << body(ok, "{\"expiration\":1798729200000}") << valid;
        QTest::newRow("timestamp missing reads as 1970") << body("true", entry) << today + "|3c:7f:ab:6d|3c:7f:18:3e";
        QTest::newRow("success false") << body("false,\"timestamp\":1772395200000", entry) << QString();
        QTest::newRow("two entries") << body(ok, entry + ",{\"expiration\":\"1\"}") << QString();
        QTest::newRow("empty entry") << body(ok, "{}") << QString();
        QTest::newRow("expiration not numeric") << body(ok, "{\"expiration\":\"soon\"}") << QString();
        QTest::newRow("negative timestamp") << body("true,\"timestamp\":-5000", entry) << QString();
        QTest::newRow("not JSON") << QByteArray("<html>") << QString();
    }
    void answers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        kinnerclock::setSource([] { return QDateTime(QDate(2026, 3, 2), QTime(9, 0)); });
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), QStringLiteral("true"));
        s.setValue(QStringLiteral("beep"), QStringLiteral("old"));
        QVERIFY(ktest::writeFile(m_answerFile, body));
        KNexaSwitch plugin;
        plugin.exec(QString());
        QVERIFY(plugin.isRequesting());
        QTRY_VERIFY_WITH_TIMEOUT(!plugin.isRequesting(), KTestEnv::scaled(5000));
        QCOMPARE(beep(), expected.isEmpty() ? QStringLiteral("old") : expected);
    }

    // The endpoint down, or slow: one request at a time, nothing written, and the
    // next line after a failure tries again.
    void downAndSlow()
    {
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), QStringLiteral("true"));
        s.setValue(QStringLiteral("beep"), QStringLiteral("old"));
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

    void windows_data()
    {
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<QString>("parsed");
        QTest::newRow("default") << "0800-1200;1400-1800" << "08:00-12:00,14:00-18:00";
        QTest::newRow("empty piece") << "0800-1200;;1400-1800;" << "08:00-12:00,14:00-18:00";
        QTest::newRow("hour 25") << "0800-1200;2500-2600" << "08:00-12:00";
        QTest::newRow("minute 60") << "0860-0900" << "";
        QTest::newRow("single time") << "0800" << "";
        QTest::newRow("three parts") << "0800-0900-1000" << "";
        QTest::newRow("five digits") << "08000-0900" << "";
        QTest::newRow("reversed kept") << "2200-0600" << "22:00-06:00";
    }
    void windows()
    {
        QFETCH(QString, ranges);
        QFETCH(QString, parsed);
        QStringList out;
        for (const auto &w : KNexaPrestart::parseWindows(ranges))
            out << w.first.toString(QStringLiteral("hh:mm")) + '-' + w.second.toString(QStringLiteral("hh:mm"));
        QCOMPARE(out.join(','), parsed);
    }

    void dueAtBoundaries_data()
    {
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<bool>("due");
        const QString def = QStringLiteral("0800-1200;1400-1800");
        QTest::newRow("start included") << def << QTime(8, 0) << true;
        QTest::newRow("before start") << def << QTime(7, 59, 59, 999) << false;
        QTest::newRow("last ms") << def << QTime(11, 59, 59, 999) << true;
        QTest::newRow("end excluded") << def << QTime(12, 0) << false;
        QTest::newRow("second window") << def << QTime(17, 0) << true;
        QTest::newRow("reversed never") << "2200-0600" << QTime(23, 0) << false;
        QTest::newRow("nothing usable: always") << "0800" << QTime(3, 0) << true;
    }
    void dueAtBoundaries()
    {
        QFETCH(QString, ranges);
        QFETCH(QTime, now);
        QFETCH(bool, due);
        kinnerclock::setSource([now] { return QDateTime(QDate(2026, 3, 2), now); });
        setPrestart(2, 3600, ranges);
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.init();
        QCOMPARE(plugin.isDue(), due);
        // init itself prestarted when due
        QCOMPARE(prestarts(mark), due ? QStringList{"/nexaplex /prestart-type=2"} : QStringList());
        plugin.uninit();
        QVERIFY(!plugin.timer()->isActive());
    }

    // Strategy 1: one start, after the start-up delay, however many lines come;
    // odd strategies and an interval of 0 start nothing.
    void strategies_data()
    {
        QTest::addColumn<QVariant>("strategy");
        QTest::addColumn<QVariant>("interval");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("timer");
        QTest::newRow("0") << QVariant(0) << QVariant() << QStringList() << false;
        QTest::newRow("1") << QVariant(1) << QVariant() << QStringList{"/nexaplex /prestart-type=1"} << false;
        QTest::newRow("3") << QVariant(3) << QVariant() << QStringList() << false;
        QTest::newRow("2, interval 0") << QVariant(2) << QVariant(0) << QStringList() << false;
        QTest::newRow("2, ticking") << QVariant(2) << QVariant(1)
                                    << QStringList{"/nexaplex /prestart-type=2", "/nexaplex /prestart-type=2"} << true;
    }
    void strategies()
    {
        QFETCH(QVariant, strategy);
        QFETCH(QVariant, interval);
        QFETCH(QStringList, expected);
        QFETCH(bool, timer);
        setPrestart(strategy, interval, QStringLiteral("0800"));
        KNexaPrestart::setStartupDelayMs(300);
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.init();
        for (int i = 0; i < 5; ++i)
            plugin.exec(QStringLiteral("/x"));
        QCOMPARE(plugin.timer() != nullptr, timer);
        if (strategy.toInt() == 1)
            QCOMPARE(prestarts(mark), QStringList()); // not before the delay
        QTest::qWait(KTestEnv::scaled(1500));
        plugin.uninit();
        const QStringList got = prestarts(mark);
        if (timer) {
            // the prestart of init, then one per tick while the timer ran
            QVERIFY2(got.size() >= 2, qPrintable(got.join(',')));
            QCOMPARE(got.count(expected.first()), got.size());
        } else {
            QCOMPARE(got, expected);
        }
        KNexaPrestart::setStartupDelayMs(5000);
    }

    // The three skip checks, each with the lock held by another process.
    void skips_data()
    {
        QTest::addColumn<QString>("mutex");
        QTest::addColumn<QString>("line");
        QTest::newRow("shell") << "__#_NEXA_INSTANCE_EXIST_KEY_#__" << "nexa exist, skipped prestart:1";
        QTest::newRow("setup") << "Global\\ulxsetup_C42D7A0A-2868-45FF-92EE-9B7AE7124588" << "installer exist, skipped prestart:1";
        QTest::newRow("patch") << "Global\\ulxpatch_C42D7A0A-2868-45FF-92EE-9B7AE7124588" << "installer exist, skipped prestart:1";
        QTest::newRow("uninst") << "Global\\ulxuninst_C42D7A0A-2868-45FF-92EE-9B7AE7124588" << "installer exist, skipped prestart:1";
        QTest::newRow("independent") << "" << "isIndependentMode, skipped prestart:1";
    }
    void skips()
    {
        QFETCH(QString, mutex);
        QFETCH(QString, line);
        QProcess holder;
        if (!mutex.isEmpty()) {
            const QString path = ulx::namedmutex::filePath(mutex);
            QVERIFY(!path.isEmpty());
            QVERIFY(ktest::startLockHolder(holder, path));
        } else {
            auto config = installConfig(m_server->url(QString()));
            config.insert(QStringLiteral("Installation/IndependentMode"), QStringLiteral("true"));
            m_env->writeInstallConfig(config);
            krt::reload();
        }
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.prestart(1);
        QCOMPARE(logged(mark), QStringList{line});
        holder.closeWriteChannel();
        holder.waitForFinished(KTestEnv::scaled(5000));
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
        krt::reload();
        // Once the holder is gone, the next attempt starts the shell.
        const qsizetype after = m_env->logText().size();
        plugin.prestart(1);
        QCOMPARE(prestarts(after), QStringList{"/nexaplex /prestart-type=1"});
    }

    // A launcher that is not there: the attempt is only logged.
    void launcherMissing()
    {
        auto config = installConfig(m_server->url(QString()));
        config.insert(QStringLiteral("Installation/LaunchExePath"), m_env->root() + QStringLiteral("/none"));
        m_env->writeInstallConfig(config);
        krt::reload();
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.prestart(2);
        QCOMPARE(logged(mark), QStringList{QStringLiteral("prestart:%1, /nexaplex /prestart-type=2").arg(m_env->root() + "/none")});
        m_env->writeInstallConfig(installConfig(m_server->url(QString())));
        krt::reload();
    }
};

QTEST_APPLESS_MAIN(TestShellPlugins)
#include "tst_shellplugins.moc"
