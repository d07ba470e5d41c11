#include "app/kxulxcloudsvrapplication.h"
#include "innerplugins/iinnerplugin.h"
#include "ipc/kxulxcloudsvripc.h"
#include "platform/knetaccess.h"
#include "suite/krt.h"
#include "suite/kxstartup.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kfakehost.h"
#include "tests/common/testenv.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// What the recording inner plugins saw, in order.
QStringList g_seen;

class KRecordingPlugin : public IInnerPlugin
{
public:
    explicit KRecordingPlugin(QString name) : m_name(std::move(name)) {}
    ~KRecordingPlugin() override { g_seen << m_name + QStringLiteral(":deleted"); }
    void init() override { g_seen << m_name + QStringLiteral(":init"); }
    void uninit() override { g_seen << m_name + QStringLiteral(":uninit"); }
    void exec(const QString &cmdLine) override { g_seen << m_name + QStringLiteral(":exec:") + cmdLine; }

private:
    QString m_name;
};

int g_argc = 1;
char g_arg0[] = "tst_application";
char *g_argv[] = {g_arg0, nullptr};

} // namespace

class TestApplication : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    KFakeHost &host = KFakeHost::instance();

    std::unique_ptr<KxUlxCloudSvrApplication> makeApp()
    {
        registerInnerPlugin(QStringLiteral("KRecB"), new KRecordingPlugin(QStringLiteral("KRecB")));
        registerInnerPlugin(QStringLiteral("KRecA"), new KRecordingPlugin(QStringLiteral("KRecA")));
        return std::make_unique<KxUlxCloudSvrApplication>(g_argc, g_argv);
    }

    // Log lines of the service category after `marker`, without their time and pid.
    QStringList logLinesAfter(const QString &marker) const
    {
        const QString text = m_env->logText();
        const qsizetype at = text.lastIndexOf(marker);
        if (at < 0)
            return {};
        QStringList out;
        const QStringList lines = text.mid(at).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines.mid(1))
            out << line.section(QLatin1Char(' '), 3);
        return out;
    }

private Q_SLOTS:
    // One world for the whole program: the logger keeps the file it opened first.
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
    }

    void init()
    {
        m_env->writeInstallConfig({});
        krt::reload();
        host.reset();
        g_seen.clear();
    }

    void constructionSetsPropertiesAndStartup()
    {
        auto app = makeApp();
        QCOMPARE(app->property("kpluginmanager_init_prefer_online"), QVariant(true));
        const QVariant ipc = app->property("cloudsvr_ipc");
        QCOMPARE(reinterpret_cast<KxUlxCloudSvrIpc *>(quintptr(ipc.toULongLong())), app->channel());
        QVERIFY(app->startupInfo());
        QCOMPARE(app->startupInfo()->name(), QStringLiteral("tavi"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("tavi"));
        QVERIFY(KPluginManager::autoLoadRunner());
        QVERIFY(!app->getPluginMgr()); // only the core initialisation creates it
    }

    // The serving process: logs, sends its own line to itself, dispatches it,
    // completes the core initialisation and initialises the inner plugins in name order.
    void initServesAndDispatchesOwnLine()
    {
        auto app = makeApp();
        QSignalSpy coreInited(app.get(), &KxApplication::coreInited);
        app->init(u"/run_plugin /plugin_name:kfoo");

        const QStringList lines = logLinesAfter(QStringLiteral("KxUlxCloudSvrApplication::init "));
        QVERIFY(m_env->logText().contains(
            QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init /run_plugin /plugin_name:kfoo\n")));
        QCOMPARE(lines.value(0), QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission "
                                                "/run_plugin /plugin_name:kfoo"));
        QCOMPARE(lines.value(1), QStringLiteral("INFO KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onRunPlugin "
                                                "/plugin_name=kfoo "));
        QCOMPARE(app->startCommandLine(), QStringLiteral("/run_plugin /plugin_name:kfoo"));
        QVERIFY(app->isCoreInited());
        QVERIFY(app->getPluginMgr());
        QCOMPARE(g_seen, QStringList({QStringLiteral("KRecA:init"), QStringLiteral("KRecB:init")}));
        QVERIFY(!ulx::net::networkAccessLoaded()); // no endpoint: no network stack

        QCOMPARE(coreInited.size(), 0); // announced from the event loop
        QTRY_COMPARE_WITH_TIMEOUT(coreInited.size(), 1, KTestEnv::scaled(5000));
        QTRY_VERIFY_WITH_TIMEOUT(app->getPluginMgr()->loaded(), KTestEnv::scaled(5000));

        app.reset();
        QCOMPARE(g_seen.mid(2), QStringList({QStringLiteral("KRecA:uninit"), QStringLiteral("KRecA:deleted"),
                                             QStringLiteral("KRecB:uninit"), QStringLiteral("KRecB:deleted")}));
    }

    void dispatch_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("serviceLines"); // log lines after onIPCTransmission
        QTest::addColumn<QStringList>("inner");        // what the inner plugins received
        const QString runPlugin = QStringLiteral("INFO KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onRunPlugin ");
        // The plugin runner got the line: without plugin_local or an entry it refuses it.
        const QString noEntry = QStringLiteral("WARNING KxUlxCloudSvrApplication command line miss switch: plugin_entry, will do nothing");
        QTest::newRow("run_plugin keeps broadcast, inner plugins get neither")
            << QStringLiteral("/run_plugin /plugin_name:kfoo /broadcast")
            << QStringList{runPlugin + QStringLiteral("/broadcast /plugin_name=kfoo "), noEntry}
            << QStringList{QStringLiteral("KRecA:exec:/plugin_name=kfoo "), QStringLiteral("KRecB:exec:/plugin_name=kfoo ")};
        QTest::newRow("run_plugin wins over run_app")
            << QStringLiteral("/run_app /run_plugin /plugin_name:x")
            << QStringList{runPlugin + QStringLiteral("/plugin_name=x /run_app "), noEntry} << QStringList{};
        QTest::newRow("case-insensitive, dash prefix, '=' rebuilt")
            << QStringLiteral("-RUN_PLUGIN -plugin_name:kfoo tail words")
            << QStringList{runPlugin + QStringLiteral("/plugin_name=kfoo tail words"), noEntry} << QStringList{};
        QTest::newRow("run_app") << QStringLiteral("/run_app /app_name:\"my app\"") << QStringList{} << QStringList{};
        QTest::newRow("inner plugin by name") << QStringLiteral("/inner_plugin:KRecB /a:1 word")
                                              << QStringList{} << QStringList{QStringLiteral("KRecB:exec:/a=1 word")};
        QTest::newRow("inner plugin name is case-sensitive")
            << QStringLiteral("/inner_plugin:krecb /a") << QStringList{} << QStringList{};
        QTest::newRow("broadcast alone") << QStringLiteral("/broadcast x y") << QStringList{}
                                         << QStringList{QStringLiteral("KRecA:exec:x y"), QStringLiteral("KRecB:exec:x y")};
        QTest::newRow("inner plugin and broadcast")
            << QStringLiteral("/broadcast /inner_plugin:KRecA /k:v")
            << QStringList{}
            << QStringList{QStringLiteral("KRecA:exec:/broadcast /k=v "), QStringLiteral("KRecA:exec:/k=v "),
                           QStringLiteral("KRecB:exec:/k=v ")};
        QTest::newRow("only leading switches count") << QStringLiteral("word /run_plugin /broadcast")
                                                     << QStringList{} << QStringList{};
        QTest::newRow("no command") << QStringLiteral("/start_from:desktop") << QStringList{} << QStringList{};
        QTest::newRow("update without update program does nothing")
            << QStringLiteral("/update_ulx /from:x") << QStringList{} << QStringList{};
        // Blanks alone split into one empty argument: a line without a command.
        QTest::newRow("blanks only") << QStringLiteral("   ") << QStringList{} << QStringList{};
        QTest::newRow("empty line is a parse error")
            << QString() << QStringList{QStringLiteral("WARNING KxUlxCloudSvrApplication parse command line error. ")}
            << QStringList{};
    }

    void dispatch()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, serviceLines);
        QFETCH(QStringList, inner);
        auto app = makeApp();
        host.deliverToSelf = false;
        app->init(u"/start");
        g_seen.clear();

        Q_EMIT app->channel()->ipcTransmission(line);

        const QString marker = QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line + QLatin1Char('\n');
        QVERIFY2(m_env->logText().contains(marker), qPrintable(m_env->logText()));
        QStringList after = logLinesAfter(marker);
        QCOMPARE(after, serviceLines);
        QCOMPARE(g_seen, inner);
    }

    // update_ulx starts the installation's update program with the rebuilt line.
    void updateRunsUpdateProgram()
    {
        const QString program = m_env->root() + QStringLiteral("/ulxupdate.sh");
        const QString out = m_env->root() + QStringLiteral("/update-args.txt");
        {
            QFile f(program);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n").arg(out).toUtf8());
        }
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env->writeInstallConfig({{QStringLiteral("Installation/UpdateProgram"), program}});
        krt::reload();

        auto app = makeApp();
        host.deliverToSelf = false;
        app->init(u"/start");
        Q_EMIT app->channel()->ipcTransmission(QStringLiteral("/update_ulx /from:rlostart \"two words\""));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), KTestEnv::scaled(5000));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), QStringLiteral("/from=rlostart\ntwo words\n"));
    }

    void channelLessServiceStillStarts()
    {
        host.offered = false;
        const qsizetype dispatchedBefore = m_env->logText().count(QStringLiteral("onIPCTransmission"));
        auto app = makeApp();
        QSignalSpy coreInited(app.get(), &KxApplication::coreInited);
        app->init(u"/x");
        QVERIFY(app->isCoreInited());
        QTRY_COMPARE_WITH_TIMEOUT(coreInited.size(), 1, KTestEnv::scaled(5000));
        // Without a channel the own line is not dispatched.
        QCOMPARE(m_env->logText().count(QStringLiteral("onIPCTransmission")), dispatchedBefore);
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
