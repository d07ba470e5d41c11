// The service's application object in this process, on the fake host: its start-up,
// the inner plugins' life, and where each command line goes.

#include "app/kxulxcloudsvrapplication.h"
#include "innerplugins/iinnerplugin.h"
#include "ipc/kxulxcloudsvripc.h"
#include "platform/knetaccess.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kfakehost.h"
#include "tests/common/kworld.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// What the recording inner plugins saw, in order.
QStringList g_seen;

struct KRecordingPlugin : IInnerPlugin
{
    explicit KRecordingPlugin(QString name) : name(std::move(name)) {}
    ~KRecordingPlugin() override { g_seen << name + QStringLiteral(":deleted"); }
    void init() override { g_seen << name + QStringLiteral(":init"); }
    void uninit() override { g_seen << name + QStringLiteral(":uninit"); }
    void exec(const QString &cmdLine) override { g_seen << name + QStringLiteral(":exec:") + cmdLine; }
    QString name;
};

int g_argc = 1;
char g_arg0[] = "tst_application";
char *g_argv[] = {g_arg0, nullptr};

const QString Prefix = QStringLiteral("KxUlxCloudSvrApplication KxUlxCloudSvrApplication::");

} // namespace

class TestApplication : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env; // one world for the whole program: the logger keeps the file it opened first
    KFakeHost &host = KFakeHost::instance();
    QString m_updated; // the update program's arguments, one a line

    std::unique_ptr<KxUlxCloudSvrApplication> makeApp()
    {
        registerInnerPlugin(QStringLiteral("KRecB"), new KRecordingPlugin(QStringLiteral("KRecB")));
        registerInnerPlugin(QStringLiteral("KRecA"), new KRecordingPlugin(QStringLiteral("KRecA")));
        return std::make_unique<KxUlxCloudSvrApplication>(g_argc, g_argv);
    }

    // What this process logged ("LEVEL category text").
    QStringList ownLines() const { return ktest::logLinesOf(m_env, QCoreApplication::applicationPid()); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        m_updated = m_env.root() + QStringLiteral("/updated.txt");
        const QString program = m_env.root() + QStringLiteral("/ulxupdate.sh");
        const QByteArray out = QFile::encodeName(m_updated);
        const QByteArray script = "#!/bin/sh\nout='" + out + "'\n"
                                  "printf '%s\\n' \"$@\" > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n";
        QVERIFY(ktest::writeFile(program, script, true));
        m_env.writeInstallConfig({{QStringLiteral("Installation/UpdateProgram"), program}});
    }

    void init()
    {
        host.reset();
        g_seen.clear();
        QFile::remove(m_updated);
    }

    void start_data()
    {
        QTest::addColumn<bool>("offered");
        QTest::newRow("serving") << true;
        QTest::newRow("no channel") << false;
    }

    // The serving process sends its own line to itself, completes the core initialisation (announced
    // from the event loop) and runs the inner plugins in name order; without a channel all the same.
    void start()
    {
        QFETCH(bool, offered);
        host.offered = offered;
        const qsizetype from = ownLines().size();
        auto app = makeApp();
        QCOMPARE(app->property("kpluginmanager_init_prefer_online"), QVariant(true));
        const QVariant ipc = app->property("cloudsvr_ipc");
        QCOMPARE(reinterpret_cast<KxUlxCloudSvrIpc *>(quintptr(ipc.toULongLong())), app->channel());
        QVERIFY(KPluginManager::autoLoadRunner());
        QSignalSpy coreInited(app.get(), &KxApplication::coreInited);
        app->init(u"/run_plugin /plugin_name:kfoo");

        // Only a channel brings the own line back to be dispatched (tst_service checks its log lines).
        QCOMPARE(ownLines().mid(from).filter(QStringLiteral("onIPCTransmission /run_plugin")).size(), offered ? 1 : 0);
        QVERIFY(app->isCoreInited());
        QCOMPARE(g_seen, QStringList({QStringLiteral("KRecA:init"), QStringLiteral("KRecB:init")}));
        QVERIFY(!ulx::net::networkAccessLoaded()); // no endpoint: no network stack

        QCOMPARE(coreInited.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(coreInited.size(), 1, KTestEnv::scaled(5000));
        QTRY_VERIFY_WITH_TIMEOUT(app->getPluginMgr()->loaded(), KTestEnv::scaled(5000));
        app.reset();
        QCOMPARE(g_seen.mid(2), QStringList({QStringLiteral("KRecA:uninit"), QStringLiteral("KRecA:deleted"),
                                             QStringLiteral("KRecB:uninit"), QStringLiteral("KRecB:deleted")}));
    }

    void dispatch_data()
    {
        QTest::addColumn<QString>("line");
        // What followed: the service's log lines, then what the inner plugins and the update program got.
        QTest::addColumn<QStringList>("seen");
        const QString runPlugin = QStringLiteral("INFO ") + Prefix + QStringLiteral("onRunPlugin ");
        // The plugin runner got the line: without plugin_local or an entry it refuses it.
        const QString noEntry =
            QStringLiteral("WARNING KxUlxCloudSvrApplication command line miss switch: plugin_entry, will do nothing");
        QTest::newRow("run_plugin keeps broadcast, inner plugins get neither")
            << QStringLiteral("/run_plugin /plugin_name:kfoo /broadcast")
            << QStringList{runPlugin + QStringLiteral("/broadcast /plugin_name=kfoo "), noEntry,
                           QStringLiteral("KRecA:exec:/plugin_name=kfoo "),
                           QStringLiteral("KRecB:exec:/plugin_name=kfoo ")};
        QTest::newRow("run_plugin wins over run_app and update_ulx")
            << QStringLiteral("/run_app /update_ulx /run_plugin /plugin_name:x")
            << QStringList{runPlugin + QStringLiteral("/plugin_name=x /run_app /update_ulx "), noEntry};
        QTest::newRow("run_app") << QStringLiteral("/run_app /app_name:\"my app\"") << QStringList{};
        QTest::newRow("inner plugin by name")
            << QStringLiteral("/inner_plugin:KRecB /a:1 word") << QStringList{QStringLiteral("KRecB:exec:/a=1 word")};
        QTest::newRow("inner plugin name is case-sensitive")
            << QStringLiteral("/inner_plugin:krecb /a") << QStringList{};
        QTest::newRow("inner plugin and broadcast")
            << QStringLiteral("/broadcast /inner_plugin:KRecA /k:v")
            << QStringList{QStringLiteral("KRecA:exec:/broadcast /k=v "), QStringLiteral("KRecA:exec:/k=v "),
                           QStringLiteral("KRecB:exec:/k=v ")};
        // The installation's update program gets the rebuilt line, one argument a line.
        QTest::newRow("update_ulx") << QStringLiteral("/update_ulx /from:rlostart \"two words\"")
                                    << QStringList{QStringLiteral("update:/from=rlostart\ntwo words\n")};
        QTest::newRow("empty line is a parse error")
            << QString() << QStringList{QStringLiteral("WARNING KxUlxCloudSvrApplication parse command line error. ")};
    }

    void dispatch()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, seen);
        auto app = makeApp();
        host.deliverToSelf = false;
        app->init(u"/start");
        g_seen.clear();

        Q_EMIT app->channel()->ipcTransmission(line);

        const QStringList lines = ownLines();
        const qsizetype at = lines.lastIndexOf(QStringLiteral("FIXED ") + Prefix
                                               + QStringLiteral("onIPCTransmission ") + line);
        QVERIFY(at >= 0);
        if (!seen.filter(QStringLiteral("update:")).isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_updated), KTestEnv::scaled(5000));
        if (QFile::exists(m_updated))
            g_seen << QStringLiteral("update:") + QString::fromUtf8(ktest::readFile(m_updated));
        QCOMPARE(lines.mid(at + 1) + g_seen, seen);
    }
};

QTEST_APPLESS_MAIN(TestApplication)
#include "tst_application.moc"
