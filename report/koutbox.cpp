#include "report/koutbox.h"

#include "platform/atomicfile.h"
#include "platform/xdgpaths.h"
#include "suite/kxlogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <atomic>
#include <unistd.h>

namespace ulx::outbox {
namespace {
const QString Suffix = QStringLiteral(".urls");
std::atomic<unsigned> g_sequence{0};

QStringList waitingFiles(const QDir &d)
{
    return d.entryList({QStringLiteral("*") + Suffix}, QDir::Files, QDir::Name);
}
} // namespace

QString dir()
{
    return ulx::paths::stateDir() + QStringLiteral("/outbox");
}

bool spool(const QList<QByteArray> &urls)
{
    if (urls.isEmpty())
        return true;
    const QString path = dir();
    if (!ulx::paths::ensureDir(path))
        return false;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (waitingFiles(QDir(path)).size() >= MaxFiles)
        return false;

    // Names sort by time, so the serving process sends older spools first.
    const QString name = QStringLiteral("%1-%2-%3")
                             .arg(QDateTime::currentMSecsSinceEpoch(), 14, 10, QLatin1Char('0'))
                             .arg(::getpid())
                             .arg(g_sequence.fetch_add(1));
    QByteArray bytes;
    for (const QByteArray &url : urls)
        bytes += url + '\n';
    QString error;
    if (ulx::files::writeAtomically(path + QLatin1Char('/') + name + Suffix, bytes,
                                    QFileDevice::ReadOwner | QFileDevice::WriteOwner, &error))
        return true;
    KxLogger::writeError(QStringLiteral("NetTransferService"),
                         QStringLiteral("outbox: cannot write a spool of %1 URLs (%2); they are lost")
                             .arg(urls.size())
                             .arg(error));
    return false;
}

QList<QByteArray> claimAll()
{
    QList<QByteArray> urls;
    QDir d(dir());
    const QString claimSuffix = QStringLiteral(".claimed-%1").arg(::getpid());
    for (const QString &name : waitingFiles(d)) {
        const QString claimed = d.filePath(name + claimSuffix);
        // Only one process wins the rename; the others find the name gone.
        if (::rename(QFile::encodeName(d.filePath(name)).constData(), QFile::encodeName(claimed).constData()) != 0)
            continue;
        QFile f(claimed);
        if (f.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = f.readAll().split('\n');
            for (const QByteArray &line : lines) {
                if (!line.isEmpty())
                    urls.append(line);
            }
        }
        f.remove();
    }
    return urls;
}

} // namespace ulx::outbox
