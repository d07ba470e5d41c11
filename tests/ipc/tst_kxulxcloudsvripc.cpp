#include "ipc/kmembuffer.h"
#include "ipc/kxulxcloudsvripc.h"
#include "suite/krt.h"
#include "tests/common/kfakehost.h"
#include "tests/common/testenv.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestKxUlxCloudSvrIpc : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    KFakeHost &host = KFakeHost::instance();

private Q_SLOTS:
    // One world for the whole program: the logger keeps the file it opened first.
    void initTestCase() { m_env = std::make_unique<KTestEnv>(); }

    void init()
    {
        m_env->writeInstallConfig({});
        krt::reload();
        host.reset();
    }

    void bufferConstruction_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("size");
        QTest::addColumn<bool>("tooLong");
        QTest::newRow("empty gives 0, not 2") << QString() << 0u << false;
        QTest::newRow("ok") << QStringLiteral("ok") << 6u << false;
        QTest::newRow("2047 units fill the area") << QString(2047, QLatin1Char('x')) << 4096u << false;
        QTest::newRow("2048 units are refused") << QString(2048, QLatin1Char('x')) << 0u << true;
    }

    void bufferConstruction()
    {
        QFETCH(QString, text);
        QFETCH(uint, size);
        QFETCH(bool, tooLong);
        _KSimpleMemBuffer buffer(text);
        QCOMPARE(buffer.size(), size);
        QCOMPARE(buffer.tooLong(), tooLong);
        QCOMPARE(_KSimpleMemBuffer::text(&buffer), tooLong ? QString() : text);
        const auto *units = static_cast<const char16_t *>(buffer.data());
        if (!tooLong)
            QCOMPARE(units[text.size()], u'\0');
    }

    // The area ends at 4096 bytes; a text that lacks its terminator is read only up to it.
    void bufferBounds()
    {
        _KSimpleMemBuffer buffer(QStringLiteral("abc"));
        QVERIFY(!buffer.setSize(4097));
        QCOMPARE(buffer.size(), 8u);
        QVERIFY(buffer.setSize(4096));
        QCOMPARE(buffer.size(), 4096u);
        std::fill_n(static_cast<char16_t *>(buffer.data()), 2048, u'y');
        QCOMPARE(_KSimpleMemBuffer::text(&buffer).size(), 2048);
    }

    // The store installation's own channel is checked with real processes (tst_service).
    void serverStartUpSendsToItself()
    {
        KxUlxCloudSvrIpc ipc;
        QSignalSpy received(&ipc, &KxUlxCloudSvrIpc::ipcTransmission);
        QSignalSpy quit(&ipc, &KxUlxCloudSvrIpc::quickExit);
        const QString cmd = QStringLiteral("/run_plugin /plugin_name:kfoo");
        QVERIFY(ipc.startUp(reinterpret_cast<const char16_t *>(cmd.utf16())));

        QCOMPARE(host.calls, QStringList({QStringLiteral("isChannelServer"),
                                          QStringLiteral("registerReceiver:_TRANSMISSION_"),
                                          QStringLiteral("sendMessage"), QStringLiteral("finishStartUp")}));
        QCOMPARE(host.lastTarget, QStringLiteral("UlxCloudSvr"));
        QCOMPARE(host.lastMessage, QStringLiteral("_TRANSMISSION_"));
        QCOMPARE(host.lastRequest, cmd);
        QCOMPARE(host.lastRequestSize, uint((cmd.size() + 1) * 2));
        QCOMPARE(host.lastReplySize, 0u);
        QCOMPARE(host.lastTimeout, 30000u);
        QVERIFY(host.lastHadTimeoutHandler);
        QCOMPARE(host.lastReplyText, QStringLiteral("ok"));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), cmd);
        QCOMPARE(quit.size(), 0);
    }

    void clientOrUndeliveredAsksToQuit_data()
    {
        QTest::addColumn<bool>("server");
        QTest::addColumn<bool>("deliver");
        QTest::addColumn<bool>("errorLogged");
        QTest::newRow("client delivered") << false << true << false;
        QTest::newRow("client undelivered") << false << false << true;
        QTest::newRow("server undelivered") << true << false << true;
    }

    void clientOrUndeliveredAsksToQuit()
    {
        QFETCH(bool, server);
        QFETCH(bool, deliver);
        QFETCH(bool, errorLogged);
        host.server = server;
        host.deliver = deliver;
        host.deliverToSelf = false;
        const QString error = QStringLiteral(
            "ERROR KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::startUp send ipc message error and will quit");
        const qsizetype errorsBefore = m_env->logText().count(error);
        KxUlxCloudSvrIpc ipc;
        QSignalSpy quit(&ipc, &KxUlxCloudSvrIpc::quickExit);
        QVERIFY(ipc.startUp(u"/x"));
        // The application ends the process inside the emission; here it returns.
        QCOMPARE(quit.size(), 1);
        QCOMPARE(host.calls.contains(QStringLiteral("registerReceiver:_TRANSMISSION_")), server);
        QCOMPARE(m_env->logText().count(error) - errorsBefore, errorLogged ? 1 : 0);
    }

    // A serving process that does not answer: the start says so, pauses so that
    // the hung service can be dealt with, and only then gives up.
    void startUpTimeoutPausesBeforeGivingUp()
    {
        const auto pause = std::chrono::milliseconds(300);
        const auto saved = KxUlxCloudSvrIpc::startUpTimeoutPause();
        KxUlxCloudSvrIpc::setStartUpTimeoutPause(pause);
        host.server = false;
        host.timeOut = true;
        KxUlxCloudSvrIpc ipc;
        QElapsedTimer clock;
        qint64 quitAfterMs = -1;
        connect(&ipc, &KxUlxCloudSvrIpc::quickExit, this, [&] { quitAfterMs = clock.elapsed(); });
        clock.start();
        ipc.startUp(u"/x");
        KxUlxCloudSvrIpc::setStartUpTimeoutPause(saved);
        QVERIFY2(quitAfterMs >= pause.count(), qPrintable(QString::number(quitAfterMs)));
        QVERIFY(m_env->logText().contains(QStringLiteral(
            "KxUlxCloudSvrIpc::onStartUpTimeout the serving process did not answer within 30000 ms")));
    }

    void noHostMeansNoChannel()
    {
        host.offered = false;
        KxUlxCloudSvrIpc ipc;
        QVERIFY(!ipc.host());
        QSignalSpy quit(&ipc, &KxUlxCloudSvrIpc::quickExit);
        QVERIFY(!ipc.startUp(u"/x"));
        QCOMPARE(quit.size(), 0);
        QVERIFY(host.calls.isEmpty());
        ipc.sendCommand(QStringLiteral("/y"), QString()); // must not crash without a host
    }

    // A line longer than the channel carries is refused with a clear line, never cut.
    void tooLongCommandLineIsRefused()
    {
        KxUlxCloudSvrIpc ipc;
        QSignalSpy received(&ipc, &KxUlxCloudSvrIpc::ipcTransmission);
        QSignalSpy quit(&ipc, &KxUlxCloudSvrIpc::quickExit);
        const QString cmd = QStringLiteral("/run_plugin ") + QString(3000, QLatin1Char('a'));
        QVERIFY(ipc.startUp(reinterpret_cast<const char16_t *>(cmd.utf16())));
        QVERIFY(!host.calls.contains(QStringLiteral("sendMessage")));
        QCOMPARE(received.size(), 0);
        QCOMPARE(quit.size(), 0); // the serving process goes on serving
        QVERIFY(m_env->logText().contains(QStringLiteral("exceeds the channel limit of 2047 and is not sent")));
    }

    void receiveHandlerAnswers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<uint>("replySize");
        QTest::addColumn<int>("emitted");
        QTest::newRow("transmission") << QStringLiteral("_TRANSMISSION_") << QStringLiteral("ok") << 6u << 1;
        QTest::newRow("other name") << QStringLiteral("_OTHER_") << QStringLiteral("error") << 12u << 0;
        QTest::newRow("case differs") << QStringLiteral("_transmission_") << QStringLiteral("error") << 12u << 0;
    }

    void receiveHandlerAnswers()
    {
        QFETCH(QString, name);
        QFETCH(QString, reply);
        QFETCH(uint, replySize);
        QFETCH(int, emitted);
        KxUlxCloudSvrIpc ipc;
        host.deliverToSelf = false;
        QVERIFY(ipc.startUp(u"/start"));
        QVERIFY(host.handler);
        QSignalSpy received(&ipc, &KxUlxCloudSvrIpc::ipcTransmission);
        _KSimpleMemBuffer request(QStringLiteral("/force_exit"));
        _KSimpleMemBuffer answer;
        host.handler(host.context, reinterpret_cast<const char16_t *>(name.utf16()), 0, &request, &answer);
        QCOMPARE(_KSimpleMemBuffer::text(&answer), reply);
        QCOMPARE(answer.size(), replySize);
        QCOMPARE(received.size(), emitted);
    }

    void sendCommandUsesShortTimeout()
    {
        KxUlxCloudSvrIpc ipc;
        host.deliverToSelf = false;
        ipc.sendCommand(QStringLiteral("/kfoo a"), QString());
        QCOMPARE(host.lastTimeout, 2000u);
        QVERIFY(!host.lastHadTimeoutHandler);
        QCOMPARE(host.lastRequest, QStringLiteral("/kfoo a"));
        QCOMPARE(host.lastReplySize, 0u);
        ipc.releaseChannel();
        QVERIFY(host.calls.contains(QStringLiteral("releaseChannel")));
    }

    // The host's thread may still deliver after the channel object is gone: the
    // object withdraws its receiver when destroyed.
    void destructionWithdrawsReceiver()
    {
        {
            KxUlxCloudSvrIpc ipc;
            QVERIFY(ipc.startUp(u"/x"));
            QVERIFY(host.handler);
        }
        QVERIFY(!host.handler);
        QVERIFY(!host.context);
    }
};

QTEST_GUILESS_MAIN(TestKxUlxCloudSvrIpc)
#include "tst_kxulxcloudsvripc.moc"
