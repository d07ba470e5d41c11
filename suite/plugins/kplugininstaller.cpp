#include "suite/plugins/kplugininstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace {
// Largest single read: bounds memory whatever chunk size is configured.
constexpr qint64 kBufferSize = 64 * 1024;
} // namespace

KPluginInstaller::KPluginInstaller(const QString &packageDir, const QString &targetDir, qint64 chunkSize,
                                   int intervalMs, QObject *parent)
    : QObject(parent)
    , m_package(packageDir)
    , m_target(targetDir)
    , m_chunkSize(chunkSize > 0 ? chunkSize : 1)
    , m_intervalMs(qMax(0, intervalMs))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(m_intervalMs);
}

KPluginInstaller::~KPluginInstaller()
{
    cancel();
}

void KPluginInstaller::start()
{
    if (m_active)
        return;
    m_active = true;
    disconnect(&m_timer, nullptr, this, nullptr);
    connect(&m_timer, &QTimer::timeout, this, &KPluginInstaller::prepare);
    // The first step always comes from the event loop, whatever the interval.
    m_timer.start(0);
}

void KPluginInstaller::cancel()
{
    if (!m_active)
        return;
    m_active = false;
    m_timer.stop();
    closeFiles();
    QDir(partialDir()).removeRecursively();
}

void KPluginInstaller::prepare()
{
    disconnect(&m_timer, nullptr, this, nullptr);
    if (m_package.isEmpty() || !QFileInfo(m_package).isDir()) {
        fail(QStringLiteral("package %1 is missing").arg(m_package));
        return;
    }

    // A partial directory can only be a leftover of an interrupted copy.
    QDir(partialDir()).removeRecursively();
    if (!QDir().mkpath(partialDir())) {
        fail(QStringLiteral("cannot create %1").arg(partialDir()));
        return;
    }

    const QDir package(m_package);
    QDirIterator it(m_package, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString rel = package.relativeFilePath(info.filePath());
        if (info.isDir()) {
            m_dirs << rel;
        } else {
            // A dangling link or unreadable entry stays in the list: copying it fails
            // the install, since the package is then incomplete.
            m_files << Item{rel, info.size()};
            m_total += info.size();
        }
    }
    for (const QString &dir : std::as_const(m_dirs)) {
        if (!QDir(partialDir()).mkpath(dir)) {
            fail(QStringLiteral("cannot create %1/%2").arg(partialDir(), dir));
            return;
        }
    }

    Q_EMIT progress(m_total, 0);
    if (!m_active)
        return; // canceled by a receiver of progress()
    connect(&m_timer, &QTimer::timeout, this, &KPluginInstaller::step);
    // start(0) above changed the interval: every later step waits the configured time.
    m_timer.start(m_intervalMs);
}

void KPluginInstaller::step()
{
    QString problem;
    if (!copySome(m_chunkSize, &problem)) {
        fail(problem);
        return;
    }
    Q_EMIT progress(m_total, m_received);
    if (!m_active)
        return; // canceled by a receiver of progress()
    if (m_next >= m_files.size() && !m_source.isOpen())
        complete();
    else
        m_timer.start(m_intervalMs);
}

bool KPluginInstaller::copySome(qint64 budget, QString *problem)
{
    QByteArray buffer;
    while (budget > 0) {
        if (!m_source.isOpen()) {
            if (m_next >= m_files.size())
                return true;
            const Item &item = m_files.at(m_next++);
            m_source.setFileName(m_package + QLatin1Char('/') + item.relativePath);
            m_dest.setFileName(partialDir() + QLatin1Char('/') + item.relativePath);
            if (!m_source.open(QIODevice::ReadOnly)) {
                *problem = QStringLiteral("cannot read %1: %2").arg(m_source.fileName(), m_source.errorString());
                return false;
            }
            if (!m_dest.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
                return false;
            }
        }
        buffer.resize(qMin(budget, kBufferSize));
        const qint64 n = m_source.read(buffer.data(), buffer.size());
        if (n < 0) {
            *problem = QStringLiteral("cannot read %1: %2").arg(m_source.fileName(), m_source.errorString());
            return false;
        }
        if (n > 0 && m_dest.write(buffer.constData(), n) != n) {
            *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
            return false;
        }
        m_received += n;
        budget -= n;
        if (n == 0 || m_source.atEnd()) {
            const QFileDevice::Permissions permissions = m_source.permissions();
            m_source.close();
            if (!m_dest.flush()) {
                *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
                return false;
            }
            m_dest.close();
            // Programs and libraries of the plugin keep their execute bits.
            m_dest.setPermissions(permissions);
        }
    }
    return true;
}

QString moveInstalledCopy(const QString &partial, const QString &target)
{
    if (QFileInfo::exists(target)) {
        QDir(partial).removeRecursively();
    } else if (!QDir().rename(partial, target)) {
        QDir(partial).removeRecursively();
        return QStringLiteral("cannot rename %1 to %2").arg(partial, target);
    }
    return {};
}

void KPluginInstaller::complete()
{
    m_active = false;
    const QString problem = moveInstalledCopy(partialDir(), m_target);
    Q_EMIT finished(problem.isEmpty(), problem);
}

void KPluginInstaller::fail(const QString &problem)
{
    cancel();
    Q_EMIT finished(false, problem);
}

void KPluginInstaller::closeFiles()
{
    m_source.close();
    m_dest.close();
}
