// The service's end of the channel over a host in this process: start-up, answering,
// sending, and the lines it acknowledged and did not run, which the next serving process runs.
#include "ipc/kcommandspool.h"
#include "ipc/kmembuffer.h"
#include "ipc/kxulxcloudsvripc.h"
#include "suite/krt.h"
#include "tests/common/kfakehost.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <thread>

class TestKxUlxCloudSvrIpc : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env; // one world for the whole program: the logger keeps the file it opened first
    KFakeHost &host = KFakeHost::instance();

private Q_SLOTS:
    void initTestCase() { KxUlxCloudSvrIpc::setStartUpTimeoutPause(std::chrono::milliseconds(300)); }

    void init()
    {
        m_env.writeInstallConfig({});
        krt::reload();
        host.reset();
        QDir(ulx::commandspool::directory()).removeRecursively();
    }

    // A serving start sends its line to itself; any other start hands it on and asks to quit. When
    // the serving process does not answer, the start says so and pauses (so that the hung service
    // can be dealt with) before it gives up.
    void startUp_data()
    {
        QTest::addColumn<QString>("fake"); // the fake host: "offered", "serving", "delivers", "times-out"
        QTest::addColumn<int>("length");   // of the plugin name
        QTest::addColumn<bool>("sent");
        QTest::addColumn<bool>("quits");
        QTest::addColumn<QString>("logged");
        const QString error = QStringLiteral(
            "ERROR KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::startUp send ipc message error and will quit");
        QTest::newRow("server") << "offered serving delivers" << 40 << true << false << QString();
        QTest::newRow("client delivered") << "offered delivers" << 40 << true << true << QString();
        QTest::newRow("client undelivered") << "offered" << 40 << true << true << error;
        QTest::newRow("server undelivered") << "offered serving" << 40 << true << true << error;
        QTest::newRow("no host") << "serving delivers" << 40 << false << false << QString();
        QTest::newRow("line beyond the channel's limit, never cut")
            << "offered serving delivers" << 3000 << false << false << "exceeds the channel limit of 2047 and is not sent";
        QTest::newRow("client, no answer")
            << "offered delivers times-out" << 40 << true << true
            << "KxUlxCloudSvrIpc::onStartUpTimeout the serving process did not answer within 30000 ms";
    }
    void startUp()
    {
        QFETCH(QString, fake);
        QFETCH(int, length);
        QFETCH(bool, sent);
        QFETCH(bool, quits);
        QFETCH(QString, logged);
        host.offered = fake.contains("offered");
        host.server = fake.contains("serving");
        host.deliver = fake.contains("delivers");
        host.timeOut = fake.contains("times-out");
        const qsizetype loggedBefore = m_env.logText().count(logged);
        KxUlxCloudSvrIpc ipc;
        QCOMPARE(bool(ipc.host()), host.offered);
        QStringList received;
        connect(&ipc, &KxUlxCloudSvrIpc::ipcTransmission, [&](const QString &line) { received << line; });
        QSignalSpy quit(&ipc, &KxUlxCloudSvrIpc::quickExit);
        const QString cmd = QStringLiteral("/run_plugin /plugin_name:") + QString(length, QLatin1Char('k'));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ipc.startUp(reinterpret_cast<const char16_t *>(cmd.utf16())), host.offered);
        QVERIFY(!host.timeOut || clock.elapsed() >= 300);
        // The application ends the process inside the emission; here it returns.
        QCOMPARE(quit.size(), quits ? 1 : 0);
        QCOMPARE(host.calls.contains(QStringLiteral("registerReceiver:_TRANSMISSION_")), host.offered && host.server);
        QCOMPARE(host.calls.contains(QStringLiteral("sendMessage")), sent);
        QCOMPARE(host.lastRequest, sent ? cmd : QString());
        QCOMPARE(host.lastHadTimeoutHandler, sent);
        QCOMPARE(received, sent && host.server && host.deliver ? QStringList{cmd} : QStringList());
        if (!logged.isEmpty())
            QCOMPARE(m_env.logText().count(logged) - loggedBefore, 1);
    }

    // Commands to another process wait briefly and without a time-out handler. Only the transmission is
    // answered "ok". Lines acknowledged on the receive thread and not run when the process ends are spooled
    // (privately), later ones straight away; the next serving process runs them before its own line, once,
    // oldest file first; a damaged file is set aside, a link is not followed. The host's thread may still
    // deliver after the channel object is gone: destruction withdraws the receiver.
    void oneServiceHandsOnToTheNext()
    {
        QStringList sent;
        {
            KxUlxCloudSvrIpc ending;
            host.deliverToSelf = false;
            QVERIFY(ending.startUp(u"/start"));
            QCOMPARE(host.calls, (QStringList{"isChannelServer", "registerReceiver:_TRANSMISSION_", "sendMessage",
                                              "finishStartUp"}));
            ending.sendCommand(QStringLiteral("/kfoo a"), QString());
            QVERIFY(!host.lastHadTimeoutHandler);
            QCOMPARE(host.lastRequest, QStringLiteral("/kfoo a"));
            QCOMPARE(host.lastReplySize, 0u);
            QSignalSpy ran(&ending, &KxUlxCloudSvrIpc::ipcTransmission);
            // On the host's receive thread, as the transport calls it; the reply text.
            const auto receive = [this](const QString &name, const QString &line) {
                QString answer;
                std::thread([&] {
                    _KSimpleMemBuffer request(line), reply;
                    host.handler(host.context, reinterpret_cast<const char16_t *>(name.utf16()), 0, &request, &reply);
                    answer = _KSimpleMemBuffer::text(&reply);
                }).join();
                return answer;
            };
            const QString transmission = QStringLiteral("_TRANSMISSION_");
            QCOMPARE(receive(QStringLiteral("_OTHER_"), QStringLiteral("/force_exit")), QStringLiteral("error"));
            QCOMPARE(receive(QStringLiteral("_transmission_"), QStringLiteral("/force_exit")), QStringLiteral("error"));
            QCOMPARE(receive(transmission, sent.emplace_back(QStringLiteral("/run_app /plugin_name:a"))), "ok");
            QCOMPARE(receive(transmission, sent.emplace_back(QStringLiteral("two\nlines \"q\" \u00e9"))), "ok");
            QCOMPARE(receive(transmission, sent.emplace_back(QStringLiteral("/seq:3"))), "ok");
            QCOMPARE(KxUlxCloudSvrIpc::spoolUndispatched(), 3);
            QCOMPARE(receive(transmission, sent.emplace_back(QStringLiteral("/late"))), "ok");
            QCoreApplication::processEvents();
            QCOMPARE(ran.size(), 0); // handed on, not run here as well
            ending.releaseChannel();
            QCOMPARE(host.calls.last(), QStringLiteral("releaseChannel"));
        }
        QVERIFY(!host.handler && !host.context);
        const QString handedOn = QStringLiteral("KCommandSpool::store 3 acknowledged command line(s) handed on to "
                                                "the next serving process");
        QVERIFY(ktest::waitForLog(m_env, QStringLiteral("KCommandSpool"), handedOn, 0));
        const QString dir = ulx::commandspool::directory();
        QCOMPARE(int(QFileInfo(dir).permissions() & 0x0777), 0x700); // user rwx, nothing for group and others
        const QFileInfoList stored = QDir(dir).entryInfoList(QDir::Files);
        QCOMPARE(stored.size(), 2);
        for (const QFileInfo &f : stored)
            QCOMPARE(int(f.permissions() & 0x0777), 0x600);
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/0000000000000-1-0.cmds"), "{\"version\":1,\"lines\":[1]}"));
        QVERIFY(ktest::writeFile(m_env.root() + QStringLiteral("/elsewhere.cmds"), "{\"version\":1,\"lines\":[\"/x\"]}"));
        QVERIFY(QFile::link(m_env.root() + QStringLiteral("/elsewhere.cmds"), dir + QStringLiteral("/0000000000000-1-1.cmds")));

        host.reset();
        KxUlxCloudSvrIpc next;
        QStringList ran;
        connect(&next, &KxUlxCloudSvrIpc::ipcTransmission, [&](const QString &line) { ran << line; });
        QVERIFY(next.startUp(u"/own"));
        QCoreApplication::processEvents();
        QCOMPARE(ran, sent + QStringList{QStringLiteral("/own")});
        QCOMPARE(ulx::commandspool::takeAll(), QStringList());
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{QStringLiteral("0000000000000-1-0.cmds.damaged"), QStringLiteral("0000000000000-1-1.cmds")}));
        host.reset();
        host.offered = false;
        QVERIFY(!KxUlxCloudSvrIpc().sendCommand(QStringLiteral("/y"), QString())); // refused without a host
    }
};

QTEST_GUILESS_MAIN(TestKxUlxCloudSvrIpc)
#include "tst_kxulxcloudsvripc.moc"
