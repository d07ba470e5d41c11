#include "suite/pluginrunner/kxpluginrunner.h"

#include "platform/export.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"
#include "suite/kxpluginssettings.h"
#include "suite/pluginrunner/kpluginrunentry.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QLibrary>
#include <QRegularExpression>
#include <QTimer>

namespace {
const QString Category = QStringLiteral("KxPluginRunner");
const QString InstanceName = QStringLiteral("kpluginrunner");
const QString TransferSwitch = QStringLiteral("plugin_transfer");
// An install copies a package of a few hundred kilobytes on the event loop.
constexpr int LoadTimeoutMs = 60000;

constexpr auto Base64Options = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

// One argument of a command line, quoted when the splitting rule needs it.
QString quoted(const QString &argument)
{
    if (!argument.contains(QLatin1Char(' ')) && !argument.contains(QLatin1Char('\t'))
        && !argument.contains(QLatin1Char('"')))
        return argument;
    QString escaped = argument;
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}
} // namespace

KxPluginRunner::KxPluginRunner(KApplication *application)
    : QObject(application)
    , m_app(application)
{
}

KxPluginRunner::~KxPluginRunner() = default;

QString KxPluginRunner::libraryForEntry(const QString &entry)
{
    const QFileInfo info(entry);
    const QString file = info.fileName();
    if (file.startsWith(QLatin1String("lib")) && file.endsWith(QLatin1String(".so")))
        return file;
    const QString base = file.contains(QLatin1Char('.')) ? info.completeBaseName() : file;
    return base.isEmpty() ? QString() : QStringLiteral("lib%1.so").arg(base);
}

QString KxPluginRunner::transferSwitches(const QString &name, const QString &params, const QString &entry,
                                         const QString &type)
{
    QStringList switches{quoted(QStringLiteral("/plugin_name:") + name)};
    if (!entry.isEmpty()) {
        switches << quoted(QStringLiteral("/plugin_entry:") + entry);
    } else {
        switches << QStringLiteral("/plugin_local")
                 << quoted(QStringLiteral("/plugin_type:") + (type.isEmpty() ? QStringLiteral("dll") : type));
    }
    if (!params.isEmpty())
        switches << QLatin1Char('/') + TransferSwitch + QLatin1Char(':')
                        + QString::fromLatin1(params.toUtf8().toBase64(Base64Options));
    return switches.join(QLatin1Char(' '));
}

QString KxPluginRunner::decodeParams(const QString &params)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[/-]plugin_transfer[:=]([A-Za-z0-9_-]*)")), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(params.trimmed());
    if (!m.hasMatch())
        return params;
    const auto decoded = QByteArray::fromBase64Encoding(m.captured(1).toLatin1(),
                                                        Base64Options | QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? QString::fromUtf8(*decoded) : params;
}

bool KxPluginRunner::run(const QString &name, const QString &params, const QString &entry, const QString &type)
{
    const QString realParams = decodeParams(params);
    QString problem;
    bool ok = false;
    if (m_loading) {
        // Called again while this runner waits for an install: the caller keeps
        // the request, and the runner announces itself again when it is free.
        m_refusedWhileLoading = true;
        problem = QStringLiteral("busy installing another plugin");
    } else {
        ok = runPlugin(name, realParams, entry, &problem);
        hold({name, realParams, entry, type}, ok);
    }
    KxLogger::writeMsg(KxLogger::Fixed(), Category,
                       QStringLiteral("KxPluginRunner::run %1 %2, type: %3, entry: %4, params: %5")
                           .arg(name, ok ? QStringLiteral("succeeded") : QStringLiteral("failed (%1)").arg(problem),
                                type, entry, realParams));
    return ok;
}

bool KxPluginRunner::runPlugin(const QString &name, const QString &params, const QString &entry, QString *problem)
{
    KPluginManager *manager = m_app ? m_app->getPluginMgr() : nullptr;
    if (!manager || !manager->loaded()) {
        *problem = QStringLiteral("the plugin manager has not loaded");
        return false;
    }
    KPlugin *plugin = manager->getPlugin(name);
    if (!plugin) {
        *problem = QStringLiteral("not in the catalogue");
        return false;
    }
    if (!ensureLoaded(plugin, problem))
        return false;

    const QString library = entry.isEmpty() ? plugin->getProp("library").toString() : libraryForEntry(entry);
    if (library.isEmpty()) {
        *problem = entry.isEmpty() ? QStringLiteral("the plugin has no library")
                                   : QStringLiteral("entry %1 names no library").arg(entry);
        return false;
    }
    // Stays loaded for the process, like the plugin itself.
    QLibrary lib(plugin->localPath() + QLatin1Char('/') + library);
    if (!lib.load()) {
        *problem = QStringLiteral("library failed to load: %1").arg(lib.errorString());
        return false;
    }
    const auto entryPoint = reinterpret_cast<KPluginRunFunction>(lib.resolve(ULX_PLUGIN_RUN_SYMBOL));
    if (!entryPoint) {
        *problem = QStringLiteral("%1 has no run entry").arg(library);
        return false;
    }
    if (!entryPoint(params)) {
        *problem = QStringLiteral("the plugin's run returned false");
        return false;
    }
    return true;
}

bool KxPluginRunner::ensureLoaded(KPlugin *plugin, QString *problem)
{
    if (plugin->state() != KPlugin::Loaded) {
        // The caller expects the plugin to have run when this returns: wait for
        // the install here, turning away calls that arrive meanwhile.
        QEventLoop loop;
        connect(plugin, &KPlugin::loadSuccess, &loop, &QEventLoop::quit);
        connect(plugin, &KPlugin::loadFailed, &loop, &QEventLoop::quit);
        connect(plugin, &KPlugin::loadCanceled, &loop, &QEventLoop::quit);
        QTimer::singleShot(LoadTimeoutMs, &loop, &QEventLoop::quit);
        m_loading = true;
        plugin->load(0);
        if (plugin->state() != KPlugin::Loaded)
            loop.exec();
        m_loading = false;
        if (plugin->state() == KPlugin::Downloading || plugin->state() == KPlugin::Installing)
            plugin->cancelLoad();
        if (m_refusedWhileLoading) {
            m_refusedWhileLoading = false;
            QTimer::singleShot(0, this, [this] {
                if (m_app)
                    m_app->registerPluginInstanceObject(InstanceName, this);
            });
        }
    }
    if (plugin->state() != KPlugin::Loaded) {
        *problem = QStringLiteral("the plugin failed to load");
        return false;
    }
    return true;
}

void KxPluginRunner::hold(const Held &held, bool ok)
{
    for (qsizetype i = 0; i < m_held.size(); ++i) {
        if (m_held.at(i).name == held.name) {
            if (ok)
                m_held[i] = held;
            else
                m_held.removeAt(i);
            return;
        }
    }
    if (ok)
        m_held << held;
}

void KxPluginRunner::pluginStateTransferQuery()
{
    QTimer::singleShot(0, this, [this] {
        const bool ready = KxPluginsSettings(InstanceName).dwordValue(QStringLiteral("StateTransferReady"), 1) != 0;
        KxLogger::writeMsg(KxLogger::Fixed(), Category,
                           QStringLiteral("KxPluginRunner::pluginStateTransferQuery ready: %1").arg(ready));
        Q_EMIT pluginQueryStateTransferResponse(ready);
    });
}

void KxPluginRunner::pluginStateTransferBegin()
{
    QTimer::singleShot(0, this, [this] {
        const QList<Held> held = m_held;
        KxLogger::writeMsg(KxLogger::Fixed(), Category,
                           QStringLiteral("KxPluginRunner::pluginStateTransferBegin %1 plugins").arg(held.size()));
        for (const Held &h : held)
            Q_EMIT stateTransferDefaultAction(QStringLiteral("run_plugin"),
                                              transferSwitches(h.name, h.params, h.entry, h.type));
        Q_EMIT pluginsStateTransferCompleted();
    });
}

void KxPluginRunner::pluginExitProcessQuery()
{
    QTimer::singleShot(0, this, [this] {
        const bool allow = KxPluginsSettings(InstanceName).dwordValue(QStringLiteral("AllowExitProcess"), 0) != 0;
        KxLogger::writeMsg(KxLogger::Fixed(), Category,
                           QStringLiteral("KxPluginRunner::pluginExitProcessQuery allow: %1").arg(allow));
        Q_EMIT pluginQueryExitProcessResponse(allow);
    });
}

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    auto *app = qobject_cast<KApplication *>(application);
    if (!app)
        return;
    app->registerPluginInstanceObject(InstanceName, new KxPluginRunner(app));
}
