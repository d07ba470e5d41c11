// The plugin manager stand-in as its users see it: the catalogue it reads, what a
// load does on disk and which one outcome it reports, and the monitor that
// follows a load for a caller that may come before the manager has loaded.
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginmonitor.h"
#include "tests/common/kworld.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

namespace {
QString catalogueDir() { return QFileInfo(krt::pluginCatalogPath()).absolutePath(); }
bool partialLeft(const QString &name) { return QFileInfo::exists(krt::getPluginPath(name) + ".partial"); }

// A catalogue of {"name", "package", "library"} entries; an empty package or library is left out.
void writeCatalogue(const QList<QStringList> &entries)
{
    QStringList items;
    for (const QStringList &e : entries) {
        QString item = QStringLiteral("{\"name\":\"%1\"").arg(e.value(0));
        if (!e.value(1).isEmpty())
            item += QStringLiteral(",\"package\":\"%1\"").arg(e.value(1));
        if (!e.value(2).isEmpty())
            item += QStringLiteral(",\"library\":\"%1\"").arg(e.value(2));
        items << item + QLatin1Char('}');
    }
    QVERIFY(ktest::writeFile(krt::pluginCatalogPath(), "{\"plugins\":[" + items.join(',').toUtf8() + "]}"));
}

std::unique_ptr<KPluginManager> loadedManager()
{
    auto manager = std::make_unique<KPluginManager>();
    manager->setInstallChunkSize(4096);
    QSignalSpy finished(manager.get(), &KPluginManager::loadFinished);
    manager->start();
    manager->start();
    if (manager->loaded() || !finished.wait(5000)) // loading waits for the event loop
        return nullptr;
    QTest::qWait(1);
    return finished.count() == 1 ? std::move(manager) : nullptr;
}

// The outcomes a plugin reported: a second one would show once queued work has run.
QStringList outcomes(KPlugin *plugin, const std::function<void()> &act)
{
    QStringList seen;
    QObject::connect(plugin, &KPlugin::loadSuccess, plugin, [&seen] { seen << QStringLiteral("success"); });
    QObject::connect(plugin, &KPlugin::loadFailed, plugin, [&seen] { seen << QStringLiteral("failed"); });
    QObject::connect(plugin, &KPlugin::loadCanceled, plugin, [&seen] { seen << QStringLiteral("canceled"); });
    act();
    if (!seen.isEmpty()) // never inside the call
        return {QStringLiteral("inside the call")};
    QTest::qWaitFor([&seen] { return !seen.isEmpty(); }, 10000);
    QTest::qWait(5);
    plugin->disconnect(plugin);
    return seen;
}
} // namespace

class TestPluginManager : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QDir(krt::pluginsDir()).removeRecursively();
        QDir(catalogueDir()).removeRecursively();
    }

    void catalogue_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no catalogue file
        QTest::addColumn<QStringList>("names");
        QTest::newRow("missing file") << QByteArray() << QStringList();
        QTest::newRow("not JSON") << QByteArray(R"({"plugins":[{"name":"kalpha"})") << QStringList();
        QTest::newRow("plugins not a list") << QByteArray(R"({"plugins":{"name":"kalpha"}})") << QStringList();
        // Of two entries with one name the first counts.
        QTest::newRow("unusable entries skipped")
            << QByteArray(R"({"plugins":[{"name":""},{"name":"../evil"},{"name":".hidden"},{"name":"a/b"},
                {"name":"kx.partial"},{"name":"kalpha"},42,{"name":"kalpha","package":"packages/other"},
                {"name":"klibup","library":"../../libevil.so"},{"name":"klibabs","library":"/usr/lib/libevil.so"},
                {"name":"kbeta"}]})")
            << QStringList{"kalpha", "kbeta"};
    }

    void catalogue()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, names);
        if (!text.isNull())
            QVERIFY(ktest::writeFile(krt::pluginCatalogPath(), text));
        const std::unique_ptr<KPluginManager> manager = loadedManager(); // a damaged catalogue loads as an empty one
        QVERIFY(manager);
        QCOMPARE(manager->pluginNames(), names);
        QVERIFY(!manager->getPlugin("KALPHA"));
        if (KPlugin *alpha = manager->getPlugin("kalpha"))
            QVERIFY(alpha->getProp("package").toString().isEmpty());
    }

    void load_data()
    {
        QTest::addColumn<QStringList>("entry");
        QTest::addColumn<QString>("cancel"); // when cancelLoad() is called, if at all
        QTest::addColumn<QStringList>("seen");
        QTest::addColumn<bool>("installed");
        QTest::newRow("install from a package") << QStringList{"kpkg", "packages/kpkg"} << "" << QStringList{"success"} << true;
        QTest::newRow("package missing") << QStringList{"kf1", "packages/no"} << "" << QStringList{"failed"} << false;
        QTest::newRow("dangling link") << QStringList{"kf2", "packages/dangling"} << "" << QStringList{"failed"} << false;
        QTest::newRow("library is not a library") << QStringList{"kf3", "packages/garbage", "libkbad.so"} << ""
                                                  << QStringList{"failed"} << true;
        QTest::newRow("cancel right after load") << QStringList{"kpkg", "packages/kpkg"} << "at once"
                                                 << QStringList{"canceled"} << false;
        QTest::newRow("cancel mid-way through the copy") << QStringList{"kpkg", "packages/kpkg"} << "on progress"
                                                         << QStringList{"canceled"} << false;
        QTest::newRow("cancel installed, before the library") << QStringList{"kinst"} << "at once"
                                                              << QStringList{"canceled"} << true;
    }

    // One outcome, never inside the call; progress from 0 to the total at most a chunk a step;
    // the tree copied whole, execute bits kept; another try fails again, or after a cancel loads.
    void load()
    {
        QFETCH(QStringList, entry);
        QFETCH(QString, cancel);
        QFETCH(QStringList, seen);
        QFETCH(bool, installed);
        const QString packages = catalogueDir() + QStringLiteral("/packages/");
        const QByteArray big(64 * 1024, 'b');
        QVERIFY(ktest::writeFile(packages + "kpkg/a", big) && ktest::writeFile(packages + "kpkg/sub/b", big));
        QVERIFY(ktest::writeFile(packages + "kpkg/sub/empty", "") && ktest::writeFile(packages + "kpkg/.hidden", "x"));
        QVERIFY(ktest::writeFile(packages + "kpkg/run.sh", "#!", true));
        QVERIFY(ktest::writeFile(packages + "dangling/ok.txt", "fine"));
        QVERIFY(QFile::link(catalogueDir() + "/nowhere", packages + "dangling/gone.txt"));
        QVERIFY(ktest::writeFile(packages + "garbage/libkbad.so", "this is no ELF object"));
        QVERIFY(QDir().mkpath(krt::getPluginPath("kinst")));
        writeCatalogue({entry});
        const std::unique_ptr<KPluginManager> manager = loadedManager();
        KPlugin *plugin = manager->getPlugin(entry.first());
        QList<std::pair<qint64, qint64>> progress;
        connect(plugin, &KPlugin::loadProgress, plugin, [&](qint64 total, qint64 received) {
            progress << std::pair{total, received};
            if (cancel == "on progress" && received > 0 && progress.size() == 2)
                plugin->cancelLoad();
        });
        const QStringList first = outcomes(plugin, [&] {
            plugin->load(0);
            if (cancel == "at once")
                plugin->cancelLoad();
        });
        QCOMPARE(first, seen);
        QCOMPARE(plugin->state(), int(seen.first() == "success" ? KPlugin::Loaded
                                      : seen.first() == "failed" ? KPlugin::Failed
                                                                 : KPlugin::Canceled));
        QVERIFY(!partialLeft(entry.first()));
        QCOMPARE(QFileInfo::exists(krt::getPluginPath(entry.first())), installed);
        if (cancel == "on progress")
            QCOMPARE(progress.size(), 2);
        if (seen.first() == "success") {
            const qint64 total = 2 * big.size() + 3;
            QVERIFY(progress.size() > 2 * big.size() / 4096 && progress.first() == std::pair(total, qint64(0)));
            for (qsizetype i = 1; i < progress.size(); ++i) {
                const qint64 step = progress.at(i).second - progress.at(i - 1).second;
                QVERIFY(step >= 0 && step <= 4096 && progress.at(i).first == total);
            }
            QCOMPARE(progress.last(), std::pair(total, total));
            QCOMPARE(ktest::readFile(plugin->localPath() + "/sub/b"), big);
            QVERIFY(QFileInfo(plugin->localPath() + "/sub/empty").isFile());
            QCOMPARE(ktest::readFile(plugin->localPath() + "/.hidden"), "x");
            QVERIFY(QFile::permissions(plugin->localPath() + "/run.sh") & QFile::ExeOwner);
        }
        plugin->cancelLoad(); // a late cancel is ignored
        cancel.clear();
        QCOMPARE(outcomes(plugin, [plugin] { plugin->load(0); }), seen.first() == "failed" ? seen : QStringList{"success"});
    }

    void monitor_data()
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

    void monitor()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, plugin);
        QFETCH(bool, ok);
        QFETCH(bool, progress);
        QVERIFY(ktest::writeFile(catalogueDir() + "/packages/kpkg/a", QByteArray(20000, 'a')));
        QVERIFY(QDir().mkpath(krt::getPluginPath("kinst")));
        writeCatalogue({{"kinst"}, {"kpkg", "packages/kpkg"}, {"kmissing", "packages/no"}});
        auto manager = scenario == "later" || scenario == "never" ? std::make_unique<KPluginManager>() : loadedManager();
        QVERIFY(manager);
        manager->setInstallChunkSize(4096);
        if (scenario == "preloaded")
            QCOMPARE(outcomes(manager->getPlugin(plugin), [&] { manager->getPlugin(plugin)->load(0); }), QStringList{"success"});

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
        QTest::qWait(5);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toBool(), ok);
        QCOMPARE(forwarded.count() > 0, progress);
        QVERIFY(!partialLeft(plugin));
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
