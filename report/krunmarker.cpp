#include "report/krunmarker.h"

#include "platform/registry/kregsettings.h"
#include "platform/xdgpaths.h"
#include "reportcore/khostprocesses.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace ulx::runmarker {
namespace {

QString markerPath(pid_t pid)
{
    return ulx::paths::stateDir() + QStringLiteral("/running-%1").arg(pid);
}

void addTo(const QString &name, int n)
{
    if (n <= 0)
        return;
    KRegSettings s(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
    s.beginGroup(QStringLiteral("Application Settings"));
    s.setValue(name, QVariant(s.value(name, 0).toUInt() + uint(n)), KRegType::Dword);
}

// Takes a file away from every other process that might count it (rename is atomic).
bool claim(const QDir &dir, const QString &name)
{
    const QString claimed = dir.filePath(QStringLiteral(".counted-%1-").arg(::getpid()) + name);
    if (::rename(QFile::encodeName(dir.filePath(name)).constData(), QFile::encodeName(claimed).constData()) != 0)
        return false;
    QFile::remove(claimed);
    return true;
}

} // namespace

void collectAndMark()
{
    const QDir dir(ulx::paths::stateDir());
    int crashes = 0;
    int exceptExits = 0;
    QList<int> crashed;
    for (const QString &name : dir.entryList({QStringLiteral("crashed-*")}, QDir::Files)) {
        if (claim(dir, name)) {
            ++crashes;
            crashed.append(name.mid(8).toInt());
        }
    }
    for (const QString &name : dir.entryList({QStringLiteral("running-*")}, QDir::Files)) {
        const pid_t pid = pid_t(name.mid(8).toInt());
        // A service that handed over and still runs, or ourselves, is no exceptional exit.
        if (pid == ::getpid() || ulx::hostprocesses::isServiceProcess(pid))
            continue;
        // A crash left its note beside its marker: it counts as a captured crash only.
        if (claim(dir, name) && !crashed.contains(int(pid)))
            ++exceptExits;
    }
    addTo(QStringLiteral("ICCapturedCrash"), crashes);
    addTo(QStringLiteral("ICExceptExit"), exceptExits);

    if (ulx::paths::ensureDir(dir.path())) {
        QFile marker(markerPath(::getpid()));
        if (marker.open(QIODevice::WriteOnly))
            marker.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
}

void clear()
{
    QFile::remove(markerPath(::getpid()));
}

} // namespace ulx::runmarker
