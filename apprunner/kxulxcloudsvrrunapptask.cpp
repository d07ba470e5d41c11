#include "apprunner/kxulxcloudsvrrunapptask.h"

#include "apprunner/kappini.h"
#include "platform/cmdline/kxcommandline.h"
#include "apprunner/kxulxcloudsvrprogresswindow.h"
#include "platform/cmdline/winargv.h"
#include "platform/commandlinestart.h"
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {
const QString kCategory = QStringLiteral("KxUlxCloudSvrRunAppTask");

KPluginManager *pluginManager()
{
    KCoreApplication *app = KCoreApplication::instance();
    return app ? app->getPluginMgr() : nullptr;
}

// A name that is one directory right below the plugins directory and not the
// name of an install in progress.
bool isPluginDirectoryName(const QString &name)
{
    return !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0)) && !name.endsWith(QLatin1String(".partial"))
        && !name.endsWith(QLatin1String(".download"));
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

KxUlxCloudSvrRunAppTask::KxUlxCloudSvrRunAppTask(QObject *runner)
    : QObject(runner)
{
}

KxUlxCloudSvrRunAppTask::~KxUlxCloudSvrRunAppTask()
{
    if (!m_finished && m_plugin) {
        m_plugin->disconnect(this);
        KxLogger::writeInfo(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::cancel %1").arg(appName));
        m_plugin->cancelLoad();
    }
    delete m_window.data();
}

bool KxUlxCloudSvrRunAppTask::prepare(const QString &commandLine)
{
    KxCommandLine cmd;
    if (!cmd.parse(commandLine, false) || cmd.switchValue(QStringLiteral("plugin_name")).isEmpty()) {
        KxLogger::writeWarning(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::prepare no app name in %1").arg(commandLine));
        return false;
    }
    appName = cmd.switchValue(QStringLiteral("plugin_name"));
    appParams = cmd.switchValue(QStringLiteral("plugin_params"));

    KPluginManager *manager = pluginManager();
    KPlugin *plugin = manager && isPluginDirectoryName(appName) ? manager->getPlugin(appName) : nullptr;
    if (!isPluginDirectoryName(appName)) {
        status = AppStatusUnavailable;
    } else if (plugin) {
        status = krt::hasPlugin(appName, appPath) ? AppStatusReady : AppStatusNotLocal;
    } else {
        appPath = krt::getPluginPath(appName);
        status = QFileInfo::exists(appPath) ? AppStatusReady : AppStatusUnavailable;
    }
    KxLogger::writeInfo(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::prepare %1 status %2").arg(appName).arg(int(status)));
    Q_EMIT statusUpdate(status);
    return status != AppStatusUnavailable;
}

void KxUlxCloudSvrRunAppTask::start()
{
    switch (status) {
    case AppStatusInit:
    case AppStatusUnavailable:
        finish();
        return;
    case AppStatusReady:
        launch();
        finish();
        return;
    default:
        break;
    }
    KPluginManager *manager = pluginManager();
    KPlugin *plugin = manager ? manager->getPlugin(appName) : nullptr;
    if (!plugin) {
        finish();
        return;
    }
    m_plugin = plugin;
    connect(plugin, &KPlugin::loadSuccess, this, &KxUlxCloudSvrRunAppTask::onPluginLoadSuccess);
    connect(plugin, &KPlugin::loadFailed, this, &KxUlxCloudSvrRunAppTask::onPluginLoadFailed);
    connect(plugin, &KPlugin::loadCanceled, this, &KxUlxCloudSvrRunAppTask::onPluginLoadCanceled);
    connect(plugin, &KPlugin::loadProgress, this, &KxUlxCloudSvrRunAppTask::onPluginLoadProgress);
    showProgressWindow(plugin->getProp("desc").toString());
    plugin->load(0);
}

void KxUlxCloudSvrRunAppTask::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    KxLogger::writeInfo(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::finish %1 status %2").arg(appName).arg(int(status)));
    if (m_plugin)
        m_plugin->disconnect(this);
    m_plugin = nullptr;
    Q_EMIT taskFinished();
    deleteLater();
}

void KxUlxCloudSvrRunAppTask::showProgressWindow(const QString &description)
{
    auto *window = new KxUlxCloudSvrProgressWindow(description);
    connect(this, &KxUlxCloudSvrRunAppTask::statusUpdate, window, &KxUlxCloudSvrProgressWindow::onStatusUpdate);
    connect(this, &KxUlxCloudSvrRunAppTask::progressUpdate, window, &KxUlxCloudSvrProgressWindow::onProgressUpdate);
    connect(this, &KxUlxCloudSvrRunAppTask::taskFinished, window, &QWidget::close);
    window->show();
    m_window = window;
}

void KxUlxCloudSvrRunAppTask::onPluginLoadSuccess()
{
    status = krt::hasPlugin(appName, appPath) ? AppStatusReady : AppStatusNotLocal;
    Q_EMIT statusUpdate(status);
    if (status == AppStatusReady)
        launch();
    finish();
}

void KxUlxCloudSvrRunAppTask::onPluginLoadFailed()
{
    status = AppStatusFailed;
    Q_EMIT statusUpdate(status);
    finish();
}

void KxUlxCloudSvrRunAppTask::onPluginLoadCanceled()
{
    status = AppStatusNotLocal;
    Q_EMIT statusUpdate(status);
    finish();
}

void KxUlxCloudSvrRunAppTask::onPluginLoadProgress(long long totalBytes, long long receivedBytes)
{
    status = AppStatusDownloading;
    Q_EMIT statusUpdate(status);
    Q_EMIT progressUpdate(totalBytes, receivedBytes);
}

void KxUlxCloudSvrRunAppTask::launch()
{
    const QString cmd = launchCommandLine();
    if (cmd.isEmpty())
        return;
    const QString entryPath = QDir(appPath).absoluteFilePath(readEntry());
    const QFileInfo entry(entryPath);
    if (!entry.isFile() || !entry.isExecutable()) {
        KxLogger::writeWarning(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::launch %1 is not an executable file").arg(entryPath));
        return;
    }
    const ulx::process::DetachedStart started = ulx::process::startCommandLine(cmd);
    if (started.started)
        KxLogger::writeInfo(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::launch %1 process %2").arg(cmd).arg(started.pid));
    else
        KxLogger::writeWarning(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::launch %1 failed: %2")
                                              .arg(cmd, QString::fromLocal8Bit(std::strerror(started.error))));
}

QString KxUlxCloudSvrRunAppTask::launchCommandLine()
{
    if (!pluginManager())
        return QString();
    const QString exe = krt::dirs::launchExePath();
    const QString entry = readEntry();
    if (exe.isEmpty() || appPath.isEmpty() || entry.isEmpty())
        return QString();
    // The entry is a path inside the app's directory, never another program; a quote
    // in it would end the quoted path and add arguments of the package's choosing.
    if (QDir::isAbsolutePath(entry) || entry.split(QLatin1Char('/')).contains(QStringLiteral(".."))
        || entry.contains(QLatin1Char('"'))) {
        KxLogger::writeWarning(kCategory, QStringLiteral("KxUlxCloudSvrRunAppTask::launch %1 entry %2 is outside the app").arg(appName, entry));
        return QString();
    }
    const QString entryPath = QDir(appPath).absoluteFilePath(entry);
    return QStringLiteral("\"%1\" Run \"%2\" %3")
        .arg(QDir::toNativeSeparators(exe), QDir::toNativeSeparators(entryPath), launchParameters(appParams));
}

QString KxUlxCloudSvrRunAppTask::launchParameters(const QString &params)
{
    // Each piece is one argument of the app, exactly as decoded: written so that
    // the command-line rule gives it back, an empty piece and a decoded '"' included.
    if (params.isEmpty())
        return QString();
    QStringList pieces = params.split(QLatin1Char('&'));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        unescapeUnicode(pieces[i]);
        // Nothing after a U+0000 is part of a command line.
        if (const qsizetype nul = pieces[i].indexOf(QChar(0)); nul >= 0) {
            pieces[i].truncate(nul);
            pieces.resize(i + 1);
        }
        pieces[i] = ulx::winargv::quoteArgument(pieces[i]);
    }
    return pieces.join(QLatin1Char(' '));
}

void KxUlxCloudSvrRunAppTask::unescapeUnicode(QString &text)
{
    for (qsizetype i = 0; i <= text.size() - 6; ++i) {
        if (text.at(i) != QLatin1Char('\\') || text.at(i + 1) != QLatin1Char('u'))
            continue;
        int code = 0;
        bool hex = true;
        for (int k = 2; k < 6 && hex; ++k) {
            const int digit = hexDigit(text.at(i + k));
            hex = digit >= 0;
            code = code * 16 + digit;
        }
        if (hex)
            text.replace(i, 6, QChar(char16_t(code)));
    }
}

QString KxUlxCloudSvrRunAppTask::readEntry()
{
    return readEntry(QDir(appPath).filePath(QStringLiteral("app.ini")));
}

QString KxUlxCloudSvrRunAppTask::readEntry(const QString &iniPath)
{
    return ulx::appini::readEntry(iniPath);
}
