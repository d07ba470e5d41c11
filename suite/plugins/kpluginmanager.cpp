#include "suite/plugins/kpluginmanager.h"

#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kplugincatalog.h"
#include "suite/plugins/kpluginupgrademanager.h"

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <atomic>

namespace {
const QString kCategory = QStringLiteral("KPluginManager");
std::atomic<bool> g_autoLoadRunner{false};
} // namespace

class KPluginManagerPrivate
{
public:
    bool started = false;
    bool loaded = false;
    bool everLoaded = false;
    bool readingScheduled = false;
    bool reloadRequested = false;
    QString catalogPath;
    qint64 chunkSize = KPluginManager::DefaultInstallChunkSize;
    int chunkInterval = 0;
    KPluginUpgradeManager *upgradeManager = nullptr;
    QHash<QString, KPlugin *> plugins; // the current catalogue
    QStringList order;
    // Every plugin object ever handed out, owned here; those a reload dropped
    // stay alive for whoever still holds them.
    QList<KPlugin *> all;
};

KPluginManager::KPluginManager(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<KPluginManagerPrivate>())
{
    d->upgradeManager = new KPluginUpgradeManager(this);
}

KPluginManager::~KPluginManager()
{
    // Plugins go first, while the manager they ask for settings is still whole.
    qDeleteAll(d->all);
    d->all.clear();
    d->plugins.clear();
}

void KPluginManager::setAutoLoadRunner(bool on)
{
    g_autoLoadRunner = on;
}

bool KPluginManager::autoLoadRunner()
{
    return g_autoLoadRunner;
}

void KPluginManager::start()
{
    if (d->started)
        return;
    d->started = true;
    requestReading(false);
}

bool KPluginManager::loaded() const
{
    return d->loaded;
}

KPlugin *KPluginManager::getPlugin(const QString &name) const
{
    return d->plugins.value(name, nullptr);
}

QStringList KPluginManager::pluginNames() const
{
    return d->order;
}

KPluginUpgradeManager *KPluginManager::getPluginUpgradeManager()
{
    return d->upgradeManager;
}

void KPluginManager::setCatalogPath(const QString &path)
{
    d->catalogPath = path;
}

QString KPluginManager::catalogPath() const
{
    return d->catalogPath.isEmpty() ? krt::pluginCatalogPath() : d->catalogPath;
}

void KPluginManager::setInstallChunkSize(qint64 bytes)
{
    d->chunkSize = bytes > 0 ? bytes : DefaultInstallChunkSize;
}

qint64 KPluginManager::installChunkSize() const
{
    return d->chunkSize;
}

void KPluginManager::setInstallChunkInterval(int ms)
{
    d->chunkInterval = qMax(0, ms);
}

int KPluginManager::installChunkInterval() const
{
    return d->chunkInterval;
}

void KPluginManager::requestReading(bool reload)
{
    if (reload) {
        d->reloadRequested = true;
        d->loaded = false;
    }
    if (d->readingScheduled)
        return;
    d->readingScheduled = true;
    QTimer::singleShot(0, this, &KPluginManager::readCatalog);
}

void KPluginManager::readCatalog()
{
    d->readingScheduled = false;
    const QString path = catalogPath();
    QString problem;
    const QList<KPluginCatalogEntry> entries = KPluginCatalog::read(path, &problem);
    if (!problem.isEmpty())
        KxLogger::writeWarning(kCategory, QStringLiteral("KPluginManager::readCatalog %1").arg(problem));

    QHash<QString, KPlugin *> current;
    QStringList order;
    for (const KPluginCatalogEntry &entry : entries) {
        KPlugin *plugin = d->plugins.value(entry.name, nullptr);
        if (plugin) {
            plugin->setEntry(entry);
        } else {
            // A plugin dropped by an earlier reading and listed again keeps its object.
            for (KPlugin *old : std::as_const(d->all)) {
                if (old->name() == entry.name) {
                    plugin = old;
                    plugin->setEntry(entry);
                    break;
                }
            }
        }
        if (!plugin) {
            plugin = new KPlugin(entry, this);
            d->all << plugin;
        }
        current.insert(entry.name, plugin);
        order << entry.name;
    }
    d->plugins = current;
    d->order = order;
    d->loaded = true;
    KxLogger::writeInfo(kCategory, QStringLiteral("KPluginManager::readCatalog %1 plugins from %2")
                                       .arg(order.size()).arg(path));

    if (autoLoadRunner()) {
        KPlugin *runner = getPlugin(QLatin1String(RunnerPluginName));
        if (runner && runner->state() != KPlugin::Downloading && runner->state() != KPlugin::Installing
            && runner->state() != KPlugin::Loaded)
            runner->load(0);
    }

    const bool first = !d->everLoaded;
    const bool reloaded = d->reloadRequested;
    d->everLoaded = true;
    d->reloadRequested = false;
    // A receiver may delete the manager.
    const QPointer<KPluginUpgradeManager> upgradeManager = d->upgradeManager;
    if (first)
        Q_EMIT loadFinished();
    if (reloaded && upgradeManager)
        Q_EMIT upgradeManager->reloadFinished();
}
