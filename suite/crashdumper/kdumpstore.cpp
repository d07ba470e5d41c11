#include "suite/crashdumper/kdumpstore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace ulx::dumpstore {
namespace {

// Only what the dumper itself names is ever removed: the user may keep other things here.
const QRegularExpression DumpName(QStringLiteral("^\\d{8}-\\d{6}-\\d{3}-\\d+$"));

qint64 dirBytes(const QString &path)
{
    qint64 total = 0;
    for (const QFileInfo &fi : QDir(path).entryInfoList(QDir::Files | QDir::Hidden))
        total += fi.size();
    return total;
}

struct Dump
{
    QString path;
    qint64 bytes = 0;
};

// The dumps in `root`, oldest first (their names begin with the time).
QList<Dump> dumpsIn(const QString &root)
{
    QList<Dump> dumps;
    for (const QFileInfo &fi : QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (DumpName.match(fi.fileName()).hasMatch())
            dumps.append({fi.filePath(), dirBytes(fi.filePath())});
    }
    return dumps;
}

// Removes the oldest dumps but `kept` until at most `maxDumps` remain within the bytes.
void removeOldest(const QString &root, int maxDumps, const QString &kept)
{
    QList<Dump> dumps = dumpsIn(root);
    qint64 total = 0;
    for (const Dump &d : std::as_const(dumps))
        total += d.bytes;
    for (qsizetype i = 0; i < dumps.size() && (dumps.size() > maxDumps || total > MaxTotalBytes);) {
        if (QFileInfo(dumps.at(i).path).fileName() == kept) {
            ++i;
            continue;
        }
        total -= dumps.at(i).bytes;
        QDir(dumps.at(i).path).removeRecursively();
        dumps.removeAt(i);
    }
}

} // namespace

void prepare(const QString &root)
{
    removeOldest(root, MaxDumps - 1, QString());
    // A dumper that died mid-way left a temporary directory: it is no dump.
    const QDir d(root);
    for (const QFileInfo &fi : d.entryInfoList({QStringLiteral(".partial-*")}, QDir::Dirs | QDir::Hidden)) {
        if (DumpName.match(fi.fileName().mid(9)).hasMatch() && fi.lastModified().secsTo(QDateTime::currentDateTime()) > 3600)
            QDir(fi.filePath()).removeRecursively();
    }
}

void settle(const QString &root, const QString &kept)
{
    // Room was made before the dump, but a core is as large as the process: only now
    // is its size known.
    removeOldest(root, MaxDumps, kept);
    const QString path = root + QLatin1Char('/') + kept;
    const qint64 bytes = dirBytes(path);
    if (bytes <= MaxTotalBytes)
        return;
    // Alone over the bound: the core goes, the stacks and /proc data stay.
    for (const QFileInfo &core : QDir(path).entryInfoList({QStringLiteral("core*")}, QDir::Files))
        QFile::remove(core.filePath());
    std::fprintf(stderr, "kcrashdumper: the dump %s had %lld bytes, more than the %lld kept; its core was removed\n",
                 qPrintable(kept), static_cast<long long>(bytes), static_cast<long long>(MaxTotalBytes));
}

} // namespace ulx::dumpstore
