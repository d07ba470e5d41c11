#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginmonitor.h"
#include "suite/plugins/kpluginupgrademanager.h"
#include "tests/common/testenv.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using Files = QMap<QString, QByteArray>;
using Manager = std::unique_ptr<KPluginManager>;

namespace {
KTestEnv *g_env = nullptr;

QString catalogueDir() { return QFileInfo(krt::pluginCatalogPath()).absolutePath(); }
bool partialLeft(const QString &name) { return QFileInfo::exists(krt::getPluginPath(name) + ".partial"); }

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

// A package directory below the catalogue: packages/<name>/<files>.
void makePackage(const QString &name, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(catalogueDir() + "/packages/" + name + '/' + it.key(), it.value());
}

Files treeOf(const QString &dir)
{
    Files files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        f.open(QIODevice::ReadOnly);
        files.insert(QDir(dir).relativeFilePath(f.fileName()), f.readAll());
    }
    return files;
}

QJsonObject entry(const QString &name, const QString &package = {}, const QString &library = {})
{
    QJsonObject e{{"name", name}, {"version", "1.0.0.1"}, {"desc", "Plugin " + name}};
    if (!package.isEmpty())
        e.insert("package", package);
    if (!library.isEmpty())
        e.insert("library", library);
    return e;
}

QByteArray catalogue(const QJsonArray &plugins) { return QJsonDocument(QJsonObject{{"plugins", plugins}}).toJson(); }
void writeCatalogue(const QJsonArray &plugins) { writeFile(krt::pluginCatalogPath(), catalogue(plugins)); }

Manager loadedManager(qint64 chunk = KPluginManager::DefaultInstallChunkSize)
{
    auto manager = std::make_unique<KPluginManager>();
    manager->setInstallChunkSize(chunk);
    QSignalSpy finished(manager.get(), &KPluginManager::loadFinished);
    manager->start();
    finished.wait(5000);
    return manager;
}

// Runs what is queued (zero-delay timers, posted calls) without waiting for time.
void drain()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

struct LoadSpies
{
    explicit LoadSpies(KPlugin *p)
        : progress(p, &KPlugin::loadProgress), success(p, &KPlugin::loadSuccess), failed(p, &KPlugin::loadFailed),
          canceled(p, &KPlugin::loadCanceled)
    {
    }
    int outcomes() const { return success.count() + failed.count() + canceled.count(); }
    bool waitOutcome() { return QTest::qWaitFor([this] { return outcomes() > 0; }, 10000); }
    QSignalSpy progress, success, failed, canceled;
};
} // namespace

class TestPluginManager : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QDir(krt::pluginsDir()).removeRecursively();
        QDir(catalogueDir()).removeRecursively();
        KPluginManager::setAutoLoadRunner(false);
    }

    void catalogueReading_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no catalogue file
        QTest::addColumn<QStringList>("names");
        const QJsonArray good{entry("kalpha"), entry("kbeta")};
        QTest::newRow("valid") << catalogue(good) << QStringList{"kalpha", "kbeta"};
        QTest::newRow("missing file") << QByteArray() << QStringList();
        QTest::newRow("not JSON") << QByteArray("plugins: kalpha") << QStringList();
        QTest::newRow("truncated") << QByteArray(R"({"plugins":[{"name":"kalpha"})") << QStringList();
        QTest::newRow("top-level list") << QJsonDocument(good).toJson() << QStringList();
        QTest::newRow("plugins not a list") << QByteArray(R"({"plugins":{"name":"kalpha"}})") << QStringList();
        const QJsonArray mixed{entry(""), entry("../evil"), entry(".hidden"), entry("a/b"), entry("kx.partial"),
                               entry("kalpha"), QJsonValue(42), entry("kalpha", "packages/other"),
                               entry("klibup", QString(), "../../libevil.so"),
                               entry("klibabs", QString(), "/usr/lib/libevil.so"), entry("kbeta")};
        QTest::newRow("unusable entries skipped") << catalogue(mixed) << QStringList{"kalpha", "kbeta"};
    }

    void catalogueReading()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, names);
        if (!text.isNull())
            writeFile(krt::pluginCatalogPath(), text);
        KPluginManager manager;
        QSignalSpy finished(&manager, &KPluginManager::loadFinished);
        manager.start();
        manager.start();
        QVERIFY(!manager.loaded()); // loading waits for the event loop
        QVERIFY(!manager.getPlugin("kalpha"));
        QVERIFY(finished.wait(5000)); // a damaged catalogue still finishes loading
        drain();
        QCOMPARE(finished.count(), 1);
        QVERIFY(manager.loaded());
        QCOMPARE(manager.pluginNames(), names);
        for (const QString &name : names) {
            QCOMPARE(manager.getPlugin(name)->getProp("name").toString(), name);
            QCOMPARE(manager.getPlugin(name)->getProp("desc").toString(), "Plugin " + name);
        }
        QVERIFY(!manager.getPlugin("KALPHA"));
        // Of two entries with one name the first counts.
        if (KPlugin *alpha = manager.getPlugin("kalpha"))
            QVERIFY(alpha->getProp("package").isNull());
    }

    void installFromPackage()
    {
        const Files files{{"a.bin", randomBytes(10000)}, {"sub/b.txt", randomBytes(5000)},
                          {"sub/deeper/empty", QByteArray()}, {".hidden", "x"}, {"run.sh", "#!/bin/sh\n"}};
        makePackage("kpkg", files);
        const QString script = catalogueDir() + "/packages/kpkg/run.sh";
        QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
        writeCatalogue(QJsonArray{entry("kpkg", "packages/kpkg")});
        const qint64 chunk = 4096;
        Manager manager = loadedManager(chunk);
        KPlugin *plugin = manager->getPlugin("kpkg");
        LoadSpies spies(plugin);
        QVERIFY(plugin->localPath().isEmpty());
        plugin->load(0);
        QCOMPARE(plugin->state(), int(KPlugin::Downloading));
        QCOMPARE(spies.progress.count() + spies.outcomes(), 0);
        QVERIFY(spies.waitOutcome());
        QCOMPARE(spies.success.count(), 1);
        QCOMPARE(spies.outcomes(), 1);
        QCOMPARE(plugin->state(), int(KPlugin::Loaded));

        const qint64 total = 10000 + 5000 + 1 + 10; // chunk by chunk, never all in one turn
        QVERIFY(spies.progress.count() >= total / chunk + 2);
        QCOMPARE(spies.progress.first(), (QVariantList{total, qint64(0)}));
        QCOMPARE(spies.progress.last(), (QVariantList{total, total}));
        qint64 previous = 0;
        for (const QVariantList &args : std::as_const(spies.progress)) {
            QCOMPARE(args.at(0).toLongLong(), total);
            const qint64 received = args.at(1).toLongLong();
            QVERIFY(received >= previous && received - previous <= chunk); // one chunk per turn
            previous = received;
        }
        QCOMPARE(plugin->localPath(), krt::getPluginPath("kpkg"));
        QCOMPARE(treeOf(plugin->localPath()), files);
        QVERIFY(QFile::permissions(plugin->localPath() + "/run.sh") & QFile::ExeOwner);
        QVERIFY(!partialLeft("kpkg"));
    }

    void loadFailures_data()
    {
        QTest::addColumn<QJsonObject>("catalogueEntry");
        QTest::addColumn<bool>("installedAfter");
        QTest::newRow("package missing") << entry("kf1", "packages/nothere") << false;
        QTest::newRow("entry names no package") << entry("kf2") << false;
        QTest::newRow("package is a file") << entry("kf3", "packages/afile") << false;
        QTest::newRow("dangling link in package") << entry("kf4", "packages/dangling") << false;
        QTest::newRow("library is not a library") << entry("kf5", "packages/garbage", "libkbad.so") << true;
        QTest::newRow("library absent") << entry("kf6", "packages/garbage", "libnone.so") << true;
    }

    void loadFailures()
    {
        QFETCH(QJsonObject, catalogueEntry);
        QFETCH(bool, installedAfter);
        const QString name = catalogueEntry.value("name").toString();
        makePackage("dangling", {{"ok.txt", "fine"}});
        QVERIFY(QFile::link(catalogueDir() + "/nowhere", catalogueDir() + "/packages/dangling/gone.txt"));
        makePackage("garbage", {{"libkbad.so", "this is no ELF object"}});
        writeFile(catalogueDir() + "/packages/afile", "not a directory");
        writeCatalogue(QJsonArray{catalogueEntry});
        Manager manager = loadedManager();
        KPlugin *plugin = manager->getPlugin(name);

        for (int attempt = 0; attempt < 2; ++attempt) { // a failed plugin can be tried again
            LoadSpies spies(plugin);
            plugin->load(0);
            QVERIFY(spies.waitOutcome());
            drain();
            QCOMPARE(spies.failed.count(), 1);
            QCOMPARE(spies.outcomes(), 1);
            QCOMPARE(plugin->state(), int(KPlugin::Failed));
            QVERIFY(!partialLeft(name));
            QCOMPARE(QFileInfo::exists(krt::getPluginPath(name)), installedAfter);
        }
        QVERIFY(g_env->logText().contains("KPlugin::load " + name + " "));
    }

    void libraryPluginInit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("library");
        QTest::newRow("top level") << "klibtop" << "libktest.so";
        QTest::newRow("in a subdirectory") << "klibsub" << "lib/libktest.so";
    }

    void libraryPluginInit()
    {
        QFETCH(QString, name);
        QFETCH(QString, library);
        QFile lib(ULX_TEST_PLUGIN_LIBRARY);
        QVERIFY(lib.open(QIODevice::ReadOnly));
        makePackage(name, {{library, lib.readAll()}});
        writeCatalogue(QJsonArray{entry(name, "packages/" + name, library)});
        Manager manager = loadedManager();
        KPlugin *plugin = manager->getPlugin(name);
        auto *app = KApplication::instance();
        const int initsBefore = app->property("ulxtestplugin_inits").toInt();
        QSignalSpy registered(app, &KApplication::pluginInstanceObjectRegisted);

        for (int attempt = 0; attempt < 2; ++attempt) { // a second load does not initialise again
            LoadSpies spies(plugin);
            plugin->load(0);
            QVERIFY(spies.waitOutcome());
            QCOMPARE(spies.success.count(), 1);
        }
        QCOMPARE(app->property("ulxtestplugin_inits").toInt(), initsBefore + 1);
        QCOMPARE(registered.count(), 1);
        QObject *object = app->getPluginInstanceObject("ktestplugin");
        QVERIFY(object && object->inherits("KTestPluginObject"));
    }

    void cancel_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<bool>("installedAfter");
        QTest::newRow("right after load") << "immediately" << false;
        QTest::newRow("mid-way through the copy") << "midway" << false;
        QTest::newRow("installed, before the library") << "installed" << true;
    }

    void cancel()
    {
        QFETCH(QString, when);
        QFETCH(bool, installedAfter);
        makePackage("kbig", {{"a", randomBytes(64 * 1024)}, {"b/c", randomBytes(64 * 1024)}});
        writeCatalogue(QJsonArray{entry("kbig", "packages/kbig")});
        if (when == "installed")
            QDir().mkpath(krt::getPluginPath("kbig"));
        Manager manager = loadedManager(4096);
        KPlugin *plugin = manager->getPlugin("kbig");
        LoadSpies spies(plugin);
        int progressAtCancel = -1;
        if (when == "midway") {
            connect(plugin, &KPlugin::loadProgress, this, [&](qint64, qint64 received) {
                if (received > 0 && progressAtCancel < 0) {
                    plugin->cancelLoad();
                    progressAtCancel = spies.progress.count();
                    QCOMPARE(plugin->state(), int(KPlugin::Canceled));
                }
            });
        }

        plugin->load(0);
        if (when != "midway")
            plugin->cancelLoad();
        QCOMPARE(spies.canceled.count(), 0); // never inside the call
        QVERIFY(spies.waitOutcome());
        drain();
        QCOMPARE(spies.canceled.count(), 1);
        QCOMPARE(spies.outcomes(), 1);
        QCOMPARE(plugin->state(), int(KPlugin::Canceled));
        if (when == "midway")
            QCOMPARE(spies.progress.count(), progressAtCancel);
        QVERIFY(!partialLeft("kbig"));
        QCOMPARE(QFileInfo::exists(krt::getPluginPath("kbig")), installedAfter);

        plugin->cancelLoad(); // nothing runs: no signal
        LoadSpies again(plugin);
        plugin->load(0);
        QVERIFY(again.waitOutcome());
        drain();
        QCOMPARE(again.success.count(), 1);
        QCOMPARE(again.canceled.count(), 0);
    }

    void reload()
    {
        writeCatalogue(QJsonArray{entry("kone"), entry("ktwo")});
        Manager manager = loadedManager();
        KPlugin *one = manager->getPlugin("kone");
        KPlugin *two = manager->getPlugin("ktwo");
        QJsonObject oneV2 = entry("kone");
        oneV2.insert("version", "2.0");
        writeCatalogue(QJsonArray{oneV2, entry("kthree")});

        QSignalSpy loadFinished(manager.get(), &KPluginManager::loadFinished);
        QSignalSpy reloaded(manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished);
        manager->getPluginUpgradeManager()->reload();
        manager->getPluginUpgradeManager()->reload();
        QVERIFY(!manager->loaded());
        QCOMPARE(reloaded.count(), 0);
        QVERIFY(reloaded.wait(5000));
        drain();
        QCOMPARE(reloaded.count(), 1);
        QCOMPARE(loadFinished.count(), 0);
        QVERIFY(manager->loaded());
        QCOMPARE(manager->getPlugin("kone"), one); // holders of the object keep a live plugin
        QCOMPARE(one->getProp("version").toString(), QString("2.0"));
        QVERIFY(!manager->getPlugin("ktwo"));
        QCOMPARE(two->name(), QString("ktwo"));
        QVERIFY(manager->getPlugin("kthree"));
    }

    void monitorOutcomes_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("progress");
        QTest::newRow("unknown plugin") << "load" << "kunknown" << false << false;
        QTest::newRow("installed plugin") << "load" << "kinst" << true << false;
        QTest::newRow("install from package") << "load" << "kpkg" << true << true;
        QTest::newRow("missing package") << "load" << "kmissing" << false << false;
        QTest::newRow("already loaded") << "preloaded" << "kinst" << true << false;
        QTest::newRow("watch while another loads") << "watch" << "kpkg" << true << true;
        QTest::newRow("load canceled") << "cancel" << "kpkg" << false << true;
        QTest::newRow("no manager") << "nomanager" << "kpkg" << false << false;
        QTest::newRow("manager loads later") << "later" << "kpkg" << true << true;
        QTest::newRow("manager never loads") << "never" << "kpkg" << false << false;
        QTest::newRow("manager destroyed") << "destroyed" << "kpkg" << false << false;
    }

    void monitorOutcomes()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, plugin);
        QFETCH(bool, ok);
        QFETCH(bool, progress);
        makePackage("kpkg", {{"a", randomBytes(20000)}});
        QDir().mkpath(krt::getPluginPath("kinst"));
        writeCatalogue(QJsonArray{entry("kinst"), entry("kpkg", "packages/kpkg"), entry("kmissing", "packages/no")});
        Manager manager = std::make_unique<KPluginManager>();
        manager->setInstallChunkSize(4096);
        QSignalSpy managerLoaded(manager.get(), &KPluginManager::loadFinished);
        if (scenario != "later" && scenario != "never") {
            manager->start();
            QVERIFY(managerLoaded.wait(5000));
        }
        if (scenario == "preloaded") {
            LoadSpies spies(manager->getPlugin(plugin));
            manager->getPlugin(plugin)->load(0);
            QVERIFY(spies.waitOutcome());
        }

        KPluginMonitor monitor(nullptr, scenario == "nomanager" ? nullptr : manager.get(), plugin);
        monitor.setManagerWaitLimit(scenario == "never" ? 30 : -1);
        QSignalSpy finished(&monitor, &KPluginMonitor::loadFinished);
        QSignalSpy forwarded(&monitor, &KPluginMonitor::loadProgress);
        monitor.execute(scenario != "watch");
        QCOMPARE(finished.count(), 0);
        if (scenario == "watch")
            manager->getPlugin(plugin)->load(0);
        else if (scenario == "cancel")
            connect(manager->getPlugin(plugin), &KPlugin::loadProgress, manager->getPlugin(plugin), &KPlugin::cancelLoad);
        else if (scenario == "later")
            manager->start();
        else if (scenario == "destroyed")
            manager.reset();

        QVERIFY(QTest::qWaitFor([&] { return finished.count() > 0; }, 5000));
        drain();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toBool(), ok);
        QCOMPARE(forwarded.count() > 0, progress);
        QVERIFY(!partialLeft(plugin));
        if (scenario != "nomanager" && manager && manager->loaded())
            QCOMPARE(monitor.getPlugin(), manager->getPlugin(plugin));
    }

    void autoLoadRunner_data()
    {
        QTest::addColumn<bool>("autoLoad");
        QTest::addColumn<bool>("runnerListed");
        QTest::newRow("on, runner listed") << true << true;
        QTest::newRow("off, runner listed") << false << true;
        QTest::newRow("on, runner unknown") << true << false;
    }

    void autoLoadRunner()
    {
        QFETCH(bool, autoLoad);
        QFETCH(bool, runnerListed);
        makePackage("runner", {{"runner.bin", randomBytes(3000)}});
        QJsonArray plugins{entry("kother", "packages/runner")};
        if (runnerListed)
            plugins.append(entry("kpluginrunner", "packages/runner"));
        writeCatalogue(plugins);
        KPluginManager::setAutoLoadRunner(autoLoad);
        Manager manager = loadedManager();
        drain();
        QCOMPARE(manager->getPlugin("kother")->state(), int(KPlugin::NotLoaded));
        if (!runnerListed)
            return;
        KPlugin *runner = manager->getPlugin("kpluginrunner");
        if (autoLoad)
            QTRY_COMPARE(runner->state(), int(KPlugin::Loaded));
        else
            QCOMPARE(runner->state(), int(KPlugin::NotLoaded));
        QCOMPARE(QFileInfo::exists(krt::getPluginPath("kpluginrunner")), autoLoad);
    }
};

int main(int argc, char **argv)
{
    KTestEnv env; // before the application and the first krt value
    g_env = &env;
    KApplication app(argc, argv);
    TestPluginManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pluginmanager.moc"
