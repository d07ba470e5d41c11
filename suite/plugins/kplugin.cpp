#include "suite/plugins/kplugin.h"

#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kplugincatalog.h"
#include "suite/plugins/kplugininstaller.h"
#include "suite/plugins/kpluginmanager.h"

#include <QCoreApplication>
#include <QLibrary>
#include <QPointer>
#include <QTimer>

namespace {
const QString kCategory = QStringLiteral("KPlugin");
} // namespace

class KPluginPrivate
{
public:
    KPluginCatalogEntry entry;
    QPointer<KPluginManager> manager;
    int state = KPlugin::NotLoaded;
    // Identifies the running load; steps scheduled for an earlier one are dropped.
    quint64 serial = 0;
    KPluginInstaller *installer = nullptr;
    // Kept for the process: the plugin's objects live on after it has loaded.
    QLibrary *library = nullptr;
};

KPlugin::KPlugin(const KPluginCatalogEntry &entry, KPluginManager *manager)
    : QObject(manager)
    , d(std::make_unique<KPluginPrivate>())
{
    d->entry = entry;
    d->manager = manager;
    setObjectName(entry.name);
}

KPlugin::~KPlugin()
{
    // An unfinished install removes its partial directory here.
    delete d->installer;
    delete d->library;
}

void KPlugin::setEntry(const KPluginCatalogEntry &entry)
{
    d->entry = entry;
}

int KPlugin::state() const
{
    return d->state;
}

QString KPlugin::name() const
{
    return d->entry.name;
}

QString KPlugin::localPath() const
{
    QString path;
    return krt::hasPlugin(d->entry.name, path) ? path : QString();
}

QVariant KPlugin::getProp(const char *name) const
{
    if (!name)
        return QVariant();
    return d->entry.props.value(QLatin1String(name)).toVariant();
}

void KPlugin::load(unsigned flags)
{
    Q_UNUSED(flags);
    if (d->state == Downloading || d->state == Installing)
        return;
    if (d->state == Loaded) {
        QTimer::singleShot(0, this, &KPlugin::loadSuccess);
        return;
    }

    const quint64 serial = ++d->serial;
    QString installed;
    if (krt::hasPlugin(d->entry.name, installed)) {
        d->state = Installing;
        QTimer::singleShot(0, this, [this, serial] { loadLibrary(serial); });
        return;
    }

    d->state = Downloading;
    const qint64 chunk = d->manager ? d->manager->installChunkSize() : KPluginManager::DefaultInstallChunkSize;
    const int interval = d->manager ? d->manager->installChunkInterval() : 0;
    d->installer = new KPluginInstaller(d->entry.packageDir, krt::getPluginPath(d->entry.name), chunk, interval,
                                         this);
    connect(d->installer, &KPluginInstaller::progress, this, &KPlugin::loadProgress);
    connect(d->installer, &KPluginInstaller::finished, this, &KPlugin::onInstallFinished);
    d->installer->start();
}

void KPlugin::cancelLoad()
{
    if (d->state != Downloading && d->state != Installing)
        return;
    ++d->serial;
    if (d->installer) {
        d->installer->cancel();
        d->installer->deleteLater();
        d->installer = nullptr;
    }
    d->state = Canceled;
    KxLogger::writeInfo(kCategory, QStringLiteral("KPlugin::cancelLoad %1").arg(d->entry.name));
    // The caller may be a receiver of loadProgress(): the outcome follows from the loop.
    QTimer::singleShot(0, this, &KPlugin::loadCanceled);
}

void KPlugin::onInstallFinished(bool ok, const QString &problem)
{
    if (d->installer) {
        d->installer->deleteLater();
        d->installer = nullptr;
    }
    if (!ok) {
        finish(Failed, QStringLiteral("install failed: %1").arg(problem));
        return;
    }
    d->state = Installing;
    const quint64 serial = d->serial;
    QTimer::singleShot(0, this, [this, serial] { loadLibrary(serial); });
}

void KPlugin::loadLibrary(quint64 serial)
{
    if (serial != d->serial || d->state != Installing)
        return; // canceled meanwhile
    if (d->entry.library.isEmpty()) {
        finish(Loaded);
        return;
    }

    const QString path = localPath() + QLatin1Char('/') + d->entry.library;
    auto *library = new QLibrary(path);
    if (!library->load()) {
        const QString problem = QStringLiteral("library %1 failed to load: %2").arg(path, library->errorString());
        delete library;
        finish(Failed, problem);
        return;
    }
    d->library = library; // loaded is final: this happens once per plugin
    if (auto init = reinterpret_cast<KPluginInitFunction>(library->resolve(ULX_PLUGIN_INIT_SYMBOL)))
        init(QCoreApplication::instance());
    finish(Loaded);
}

void KPlugin::finish(int state, const QString &problem)
{
    d->state = state;
    if (state == Loaded) {
        KxLogger::writeInfo(kCategory, QStringLiteral("KPlugin::load %1 loaded from %2").arg(d->entry.name, localPath()));
        Q_EMIT loadSuccess();
    } else {
        KxLogger::writeWarning(kCategory, QStringLiteral("KPlugin::load %1 %2").arg(d->entry.name, problem));
        Q_EMIT loadFailed();
    }
}
