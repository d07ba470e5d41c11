#include "suite/plugins/kplugin.h"

#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kplugincatalog.h"
#include "suite/plugins/kplugindownloader.h"
#include "suite/plugins/kplugininstaller.h"
#include "suite/plugins/kpluginmanager.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace {
const QString kCategory = QStringLiteral("KPlugin");
// How often a running install looks for its cancel file.
constexpr int kCancelWatchMs = 100;
constexpr int kDefaultStallTimeoutMs = 30000;

// [Plugins] DownloadStallTimeoutMs of the installation configuration, read at each load.
int downloadStallTimeoutMs()
{
    const QSettings ini(krt::configPath(), QSettings::IniFormat);
    bool ok = false;
    const int ms = ini.value(QStringLiteral("Plugins/DownloadStallTimeoutMs")).toInt(&ok);
    return ok && ms > 0 ? ms : kDefaultStallTimeoutMs;
}
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
    KPluginDownloader *downloader = nullptr;
    // Watches for "<PluginsDir>/<name>.cancel" while an install runs.
    QTimer *cancelWatch = nullptr;
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
    // An unfinished install removes its partial directory and download here.
    delete d->installer;
    delete d->downloader;
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
    startCancelWatch();
    const QString url = d->entry.props.value(QStringLiteral("url")).toString();
    if (d->entry.packageDir.isEmpty() && !url.isEmpty()) {
        const QJsonValue size = d->entry.props.value(QStringLiteral("size"));
        d->downloader = new KPluginDownloader(QUrl(url), size.isDouble() ? qint64(size.toDouble()) : -1,
                                              d->entry.props.value(QStringLiteral("sha256")).toString(),
                                              krt::getPluginPath(d->entry.name), downloadStallTimeoutMs(), this);
        d->downloader->setLimits(KPackageLimits::fromConfig());
        connect(d->downloader, &KPluginDownloader::progress, this, &KPlugin::loadProgress);
        connect(d->downloader, &KPluginDownloader::finished, this, &KPlugin::onInstallFinished);
        d->downloader->start();
        return;
    }
    const qint64 chunk = d->manager ? d->manager->installChunkSize() : KPluginManager::DefaultInstallChunkSize;
    const int interval = d->manager ? d->manager->installChunkInterval() : 0;
    d->installer = new KPluginInstaller(d->entry.packageDir, krt::getPluginPath(d->entry.name), chunk, interval,
                                         this);
    d->installer->setLimits(KPackageLimits::fromConfig());
    connect(d->installer, &KPluginInstaller::progress, this, &KPlugin::loadProgress);
    connect(d->installer, &KPluginInstaller::finished, this, &KPlugin::onInstallFinished);
    d->installer->start();
}

void KPlugin::cancelLoad()
{
    if (d->state != Downloading && d->state != Installing)
        return;
    ++d->serial;
    stopCancelWatch();
    if (d->installer) {
        d->installer->cancel();
        d->installer->deleteLater();
        d->installer = nullptr;
    }
    if (d->downloader) {
        d->downloader->cancel();
        d->downloader->deleteLater();
        d->downloader = nullptr;
    }
    d->state = Canceled;
    KxLogger::writeInfo(kCategory, QStringLiteral("KPlugin::cancelLoad %1").arg(d->entry.name));
    // The caller may be a receiver of loadProgress(): the outcome follows from the loop.
    QTimer::singleShot(0, this, &KPlugin::loadCanceled);
}

QString KPlugin::cancelFilePath() const
{
    return krt::pluginsDir() + QLatin1Char('/') + d->entry.name + QStringLiteral(".cancel");
}

void KPlugin::startCancelWatch()
{
    // A cancel file older than this load is not meant for it.
    QFile::remove(cancelFilePath());
    if (!d->cancelWatch) {
        d->cancelWatch = new QTimer(this);
        d->cancelWatch->setInterval(kCancelWatchMs);
        connect(d->cancelWatch, &QTimer::timeout, this, [this] {
            if (!QFile::exists(cancelFilePath()))
                return;
            QFile::remove(cancelFilePath());
            KxLogger::writeInfo(kCategory, QStringLiteral("KPlugin::load %1 canceled by %2").arg(d->entry.name, cancelFilePath()));
            cancelLoad();
        });
    }
    d->cancelWatch->start();
}

void KPlugin::stopCancelWatch()
{
    if (d->cancelWatch)
        d->cancelWatch->stop();
}

void KPlugin::onInstallFinished(bool ok, const QString &problem)
{
    stopCancelWatch();
    if (d->installer) {
        d->installer->deleteLater();
        d->installer = nullptr;
    }
    if (d->downloader) {
        d->downloader->deleteLater();
        d->downloader = nullptr;
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
