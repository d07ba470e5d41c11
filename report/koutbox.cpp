#include "report/koutbox.h"

#include "platform/xdgpaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

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
    QSaveFile file(path + QLatin1Char('/') + name + Suffix);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const QByteArray &url : urls) {
        file.write(url);
        file.write("\n", 1);
    }
    return file.commit();
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
