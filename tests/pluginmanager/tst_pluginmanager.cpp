#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginmonitor.h"
#include "suite/plugins/kpluginupgrademanager.h"
#include "tests/common/kworld.h"

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
QString catalogueDir() { return QFileInfo(krt::pluginCatalogPath()).absolutePath(); }
bool partialLeft(const QString &name) { return QFileInfo::exists(krt::getPluginPath(name) + ".partial"); }
bool installed(const QString &name) { return QFileInfo::exists(krt::getPluginPath(name)); }

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &content) { QVERIFY(ktest::writeFile(path, content)); }

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

// A catalogue entry; an empty package or library counts as none.
QJsonObject entry(const QString &name, const QString &package = {}, const QString &library = {})
{
    return {{"name", name}, {"package", package}, {"library", library}};
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
    // Waits for an outcome, then lets anything queued run so that a second outcome would show.
    bool waitOutcome()
    {
        const bool ok = QTest::qWaitFor([this] { return outcomes() > 0; }, 10000);
        drain();
        return ok;
    }
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
        QTest::newRow("valid") << catalogue({entry("kalpha"), entry("kbeta")}) << QStringList{"kalpha", "kbeta"};
        QTest::newRow("missing file") << QByteArray() << QStringList();
        QTest::newRow("not JSON") << QByteArray(R"({"plugins":[{"name":"kalpha"})") << QStringList();
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
        QVERIFY(finished.wait(5000)); // a damaged catalogue still finishes loading, as an empty one
        drain();
        QCOMPARE(finished.count(), 1);
        QVERIFY(manager.loaded());
        QCOMPARE(manager.pluginNames(), names);
        QVERIFY(!manager.getPlugin("KALPHA"));
        if (KPlugin *alpha = manager.getPlugin("kalpha")) // of two entries with one name the first counts
            QVERIFY(alpha->getProp("package").toString().isEmpty());
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
        plugin->load(0);
        QCOMPARE(plugin->state(), int(KPlugin::Downloading));
        QCOMPARE(spies.progress.count() + spies.outcomes(), 0);
        QVERIFY(spies.waitOutcome());
        QCOMPARE(spies.success.count(), 1);
        QCOMPARE(spies.outcomes(), 1);
        QCOMPARE(plugin->state(), int(KPlugin::Loaded));

        // Progress runs from 0 to the total, at most one chunk per turn of the event loop.
        const qint64 total = 10000 + 5000 + 1 + 10;
        QVERIFY(spies.progress.count() >= total / chunk + 2);
        QCOMPARE(spies.progress.first(), (QVariantList{total, qint64(0)}));
        QCOMPARE(spies.progress.last(), (QVariantList{total, total}));
        for (qsizetype i = 1; i < spies.progress.size(); ++i) {
            const qint64 step = spies.progress.at(i).at(1).toLongLong() - spies.progress.at(i - 1).at(1).toLongLong();
            QVERIFY(step >= 0 && step <= chunk && spies.progress.at(i).at(0).toLongLong() == total);
        }
        QCOMPARE(plugin->localPath(), krt::getPluginPath("kpkg"));
        QCOMPARE(treeOf(plugin->localPath()), files);
        QVERIFY(QFile::permissions(plugin->localPath() + "/run.sh") & QFile::ExeOwner);
        QVERIFY(!partialLeft("kpkg"));
    }

    void loadOutcomes_data()
    {
        QTest::addColumn<QJsonObject>("catalogueEntry");
        QTest::addColumn<QString>("cancel"); // when cancelLoad() is called, if at all
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("installedAfter");
        QTest::newRow("package missing") << entry("kf1", "packages/nothere") << "" << "failed" << false;
        QTest::newRow("dangling link in package") << entry("kf2", "packages/dangling") << "" << "failed" << false;
        QTest::newRow("library is not a library") << entry("kf3", "packages/garbage", "libkbad.so") << "" << "failed"
                                                  << true;
        QTest::newRow("cancel right after load") << entry("kbig", "packages/kbig") << "at once" << "canceled" << false;
        QTest::newRow("cancel mid-way through the copy") << entry("kbig", "packages/kbig") << "on progress"
                                                         << "canceled" << false;
        QTest::newRow("cancel installed, before the library") << entry("kinst") << "at once" << "canceled" << true;
    }

    void loadOutcomes()
    {
        QFETCH(QJsonObject, catalogueEntry);
        QFETCH(QString, cancel);
        QFETCH(QString, outcome);
        QFETCH(bool, installedAfter);
        const QString name = catalogueEntry.value("name").toString();
        makePackage("kbig", {{"a", randomBytes(64 * 1024)}, {"b/c", randomBytes(64 * 1024)}});
        makePackage("dangling", {{"ok.txt", "fine"}});
        QVERIFY(QFile::link(catalogueDir() + "/nowhere", catalogueDir() + "/packages/dangling/gone.txt"));
        makePackage("garbage", {{"libkbad.so", "this is no ELF object"}});
        QDir().mkpath(krt::getPluginPath("kinst"));
        writeCatalogue(QJsonArray{catalogueEntry});
        Manager manager = loadedManager(4096);
        KPlugin *plugin = manager->getPlugin(name);
        LoadSpies spies(plugin);
        qsizetype progressAtCancel = -1;
        connect(plugin, &KPlugin::loadProgress, this, [&](qint64, qint64 received) {
            if (cancel == "on progress" && received > 0 && progressAtCancel < 0) {
                plugin->cancelLoad();
                progressAtCancel = spies.progress.count();
            }
        });
        plugin->load(0);
        if (cancel == "at once")
            plugin->cancelLoad();
        QCOMPARE(spies.outcomes(), 0); // never inside the call
        QVERIFY(spies.waitOutcome());
        QCOMPARE(spies.outcomes(), 1);
        QCOMPARE((outcome == "failed" ? spies.failed : spies.canceled).count(), 1);
        QCOMPARE(plugin->state(), int(outcome == "failed" ? KPlugin::Failed : KPlugin::Canceled));
        if (cancel == "on progress")
            QCOMPARE(spies.progress.count(), progressAtCancel);
        QVERIFY(!partialLeft(name));
        QCOMPARE(installed(name), installedAfter);

        // Another try fails again, or after a cancel (a late one is ignored) loads.
        plugin->cancelLoad();
        LoadSpies again(plugin);
        cancel.clear();
        plugin->load(0);
        QVERIFY(again.waitOutcome());
        QCOMPARE(again.outcomes(), 1);
        QCOMPARE(again.failed.count(), outcome == "failed" ? 1 : 0);
    }

    void libraryPluginRegistersInstanceObject()
    {
        QFile lib(ULX_TEST_PLUGIN_LIBRARY);
        QVERIFY(lib.open(QIODevice::ReadOnly));
        makePackage("klib", {{"lib/libktest.so", lib.readAll()}});
        writeCatalogue(QJsonArray{entry("klib", "packages/klib", "lib/libktest.so")});
        Manager manager = loadedManager();
        KPlugin *plugin = manager->getPlugin("klib");
        auto *app = KApplication::instance();
        QSignalSpy registered(app, &KApplication::pluginInstanceObjectRegisted);
        for (int attempt = 0; attempt < 2; ++attempt) { // a second load does not initialise again
            LoadSpies spies(plugin);
            plugin->load(0);
            QVERIFY(spies.waitOutcome());
            QCOMPARE(spies.success.count(), 1);
        }
        QCOMPARE(app->property("ulxtestplugin_inits").toInt(), 1);
        QCOMPARE(registered.count(), 1);
        QObject *object = app->getPluginInstanceObject("ktestplugin");
        QVERIFY(object && object->inherits("KTestPluginObject"));
    }

    void reload()
    {
        writeCatalogue(QJsonArray{entry("kone"), entry("ktwo")});
        Manager manager = loadedManager();
        KPlugin *one = manager->getPlugin("kone");
        writeCatalogue(QJsonArray{QJsonObject{{"name", "kone"}, {"version", "2.0"}}, entry("kthree")});

        QSignalSpy loadFinished(manager.get(), &KPluginManager::loadFinished);
        QSignalSpy reloaded(manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished);
        manager->getPluginUpgradeManager()->reload();
        manager->getPluginUpgradeManager()->reload();
        QVERIFY(!manager->loaded());
        QVERIFY(reloaded.wait(5000));
        drain();
        QCOMPARE(reloaded.count(), 1);
        QCOMPARE(loadFinished.count(), 0);
        QVERIFY(manager->loaded());
        QCOMPARE(manager->getPlugin("kone"), one); // holders of the object keep a live plugin
        QCOMPARE(one->getProp("version").toString(), QString("2.0"));
        QVERIFY(!manager->getPlugin("ktwo"));
        QVERIFY(manager->getPlugin("kthree"));
    }

    void monitorOutcomes_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("progress");
        QTest::newRow("unknown plugin") << "load" << "kunknown" << false << false;
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
        KPlugin *watched = manager->getPlugin(plugin);
        if (scenario == "watch")
            watched->load(0);
        else if (scenario == "cancel")
            connect(watched, &KPlugin::loadProgress, watched, &KPlugin::cancelLoad);
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
        if (autoLoad && runnerListed)
            QTRY_COMPARE(manager->getPlugin("kpluginrunner")->state(), int(KPlugin::Loaded));
        drain();
        QCOMPARE(manager->getPlugin("kother")->state(), int(KPlugin::NotLoaded)); // only the runner
        QCOMPARE(installed("kpluginrunner"), autoLoad && runnerListed);
    }
};

int main(int argc, char **argv)
{
    KTestEnv env; // before the application and the first krt value
    KApplication app(argc, argv);
    TestPluginManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pluginmanager.moc"
