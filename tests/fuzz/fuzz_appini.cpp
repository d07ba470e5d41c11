// An app's app.ini, as the store delivers it: the entry read from any file is a
// trimmed path with '/' separators only. The settings reader keeps a file it read
// while its size and time stay, so each input gets a modification time of its own.
#include "apprunner/kappini.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    static QTemporaryDir dir;
    static qint64 serial = 0;
    const QString path = dir.filePath(QStringLiteral("app.ini"));
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size)
            && file.flush() && file.setFileTime(QDateTime::fromSecsSinceEpoch(++serial), QFileDevice::FileModificationTime));
    file.close();
    const QString entry = ulx::appini::readEntry(path);
    require(entry == entry.trimmed() && !entry.contains(QLatin1Char('\\')));
    return 0;
}
