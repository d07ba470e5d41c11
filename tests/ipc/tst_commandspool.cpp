// Lines the channel acknowledged and the process did not run: kept on disk,
// run once, in order, by the next serving process.
#include "ipc/kcommandspool.h"
#include "ipc/kmembuffer.h"
#include "ipc/kxulxcloudsvripc.h"
#include "suite/krt.h"
#include "tests/common/kfakehost.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <thread>

class TestCommandSpool : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    KFakeHost &host = KFakeHost::instance();

    static QStringList received(const QSignalSpy &spy)
    {
        QStringList out;
        for (const QList<QVariant> &args : spy)
            out << args.first().toString();
        return out;
    }

private Q_SLOTS:
    void initTestCase() { m_env = std::make_unique<KTestEnv>(); }

    void init()
    {
        host.reset();
        QDir(ulx::commandspool::directory()).removeRecursively();
    }

    // Oldest file first, every line as written; a foreign file is set aside, a
    // link is not followed; private modes.
    void storeAndTake()
    {
        const QStringList first{QStringLiteral("/run_app /plugin_name:a"), QStringLiteral("two\nlines \"q\" \u00e9"), QString()};
        QVERIFY(ulx::commandspool::store(first));
        QVERIFY(ulx::commandspool::store({QStringLiteral("/b")}));
        const QString dir = ulx::commandspool::directory();
        QCOMPARE(int(QFileInfo(dir).permissions() & 0x0777), 0x700); // user rwx, nothing for group and others
        const QFileInfoList stored = QDir(dir).entryInfoList(QDir::Files);
        QCOMPARE(stored.size(), 2);
        for (const QFileInfo &f : stored)
            QCOMPARE(int(f.permissions() & 0x0777), 0x600);
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/0000000000000-1-0.cmds"), "{\"version\":1,\"lines\":[1]}"));
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/elsewhere.cmds"), "{\"version\":1,\"lines\":[\"/x\"]}"));
        QVERIFY(QFile::link(m_env->root() + QStringLiteral("/elsewhere.cmds"), dir + QStringLiteral("/0000000000000-1-1.cmds")));

        QCOMPARE(ulx::commandspool::takeAll(), first + QStringList{QStringLiteral("/b")});
        QCOMPARE(ulx::commandspool::takeAll(), QStringList());
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{QStringLiteral("0000000000000-1-0.cmds.damaged"), QStringLiteral("0000000000000-1-1.cmds")}));
    }

    // Lines acknowledged on the receive thread and not run when the process ends
    // are spooled, later ones straight away; the next serving process runs them
    // before its own line, once.
    void undispatchedLinesReachTheNextServer()
    {
        QStringList sent;
        {
            KxUlxCloudSvrIpc ending;
            host.deliverToSelf = false;
            QVERIFY(ending.startUp(u"/start"));
            QSignalSpy ran(&ending, &KxUlxCloudSvrIpc::ipcTransmission);
            const auto receive = [this](const QString &line) {
                std::thread([&] {
                    _KSimpleMemBuffer request(line), reply;
                    host.handler(host.context, u"_TRANSMISSION_", 0, &request, &reply);
                }).join();
            };
            for (int i = 0; i < 3; ++i)
                receive(sent.emplace_back(QStringLiteral("/seq:%1").arg(i)));
            QCOMPARE(KxUlxCloudSvrIpc::spoolUndispatched(), 3);
            receive(sent.emplace_back(QStringLiteral("/late")));
            QCoreApplication::processEvents();
            QCOMPARE(ran.size(), 0); // handed on, not run here as well
        }
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("KCommandSpool"),
                                  QStringLiteral("KCommandSpool::store 3 acknowledged command line(s) handed on to the next "
                                                 "serving process"),
                                  0));

        host.reset();
        KxUlxCloudSvrIpc next;
        QSignalSpy ran(&next, &KxUlxCloudSvrIpc::ipcTransmission);
        QVERIFY(next.startUp(u"/own"));
        QCoreApplication::processEvents();
        QCOMPARE(received(ran), sent + QStringList{QStringLiteral("/own")});
        QCOMPARE(ulx::commandspool::takeAll(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCommandSpool)
#include "tst_commandspool.moc"
