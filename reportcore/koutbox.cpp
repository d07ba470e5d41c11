#include "reportcore/koutbox.h"

#include "platform/atomicfile.h"
#include "platform/xdgpaths.h"
#include "reportcore/kinforecord.h"
#include "suite/kxlogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace ulx::outbox {
namespace {

const QString LogCategory = QStringLiteral("NetTransferService");
const QString Suffix = QStringLiteral(".urls");
// Spools are read and copied in pieces of this size, never whole.
constexpr qint64 ChunkBytes = 64 * 1024;
// Spools of earlier versions carry no count in their name: for the bound, one
// event is counted per this many bytes (event URLs are longer, so this overcounts).
constexpr qint64 LegacyBytesPerEvent = 128;
std::atomic<unsigned> g_sequence{0};

QStringList waitingFiles(const QDir &d)
{
    // System: FIFOs and dangling links are listed too, so that a claim removes them.
    return d.entryList({QStringLiteral("*") + Suffix}, QDir::Files | QDir::System, QDir::Name);
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// "<ms>-<pid>-<n>" of a spool's name, and its event count (-1 when the name has none).
QString namePrefix(const QString &name, qint64 *events)
{
    const QString base = name.endsWith(Suffix) ? name.chopped(Suffix.size()) : name;
    const QStringList parts = base.split(QLatin1Char('-'));
    bool ok = false;
    const qint64 count = parts.size() == 4 ? parts.at(3).toLongLong(&ok) : -1;
    if (events)
        *events = ok ? count : -1;
    return ok ? parts.mid(0, 3).join(QLatin1Char('-')) : base;
}

qint64 waitingEvents(const QDir &d)
{
    qint64 total = 0;
    for (const QString &name : waitingFiles(d)) {
        qint64 events = 0;
        namePrefix(name, &events);
        if (events < 0)
            events = 1 + QFileInfo(d.filePath(name)).size() / LegacyBytesPerEvent;
        total += events;
    }
    return total;
}

QString newName(const QString &prefix, qint64 events)
{
    return QStringLiteral("%1-%2%3").arg(prefix).arg(events).arg(Suffix);
}

bool isUrl(const QByteArray &line)
{
    const QByteArray head = line.left(8).toLower();
    if (!head.startsWith("http://") && !head.startsWith("https://"))
        return false;
    for (const char c : line) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            return false;
    }
    return true;
}

// Writes the bytes of `from` past `offset` as the spool `path`, in pieces.
bool writeRest(QFile &from, qint64 offset, const QString &path, QString *error)
{
    QSaveFile to(path);
    if (!to.open(QIODevice::WriteOnly)) {
        *error = to.errorString();
        return false;
    }
    to.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    bool ok = from.seek(offset);
    while (ok && !from.atEnd()) {
        const QByteArray piece = from.read(ChunkBytes);
        ok = !piece.isEmpty() && to.write(piece) == piece.size();
    }
    // Flushed and checked before the rename, as every replacement of ours.
    if (!ok || !to.flush() || !to.commit()) {
        *error = from.error() != QFileDevice::NoError ? from.errorString() : to.errorString();
        to.cancelWriting();
        return false;
    }
    return true;
}

// Events in the bytes of `from` past `offset` (lines, the last unterminated one included).
qint64 countRest(QFile &from, qint64 offset)
{
    qint64 lines = 0;
    char last = '\n';
    if (!from.seek(offset))
        return 1;
    while (!from.atEnd()) {
        const QByteArray piece = from.read(ChunkBytes);
        if (piece.isEmpty())
            break;
        lines += piece.count('\n');
        last = piece.back();
    }
    return lines + (last == '\n' ? 0 : 1);
}

// Reads the claimed spool `claimed` (once `name` in `d`) into `out`, at most `room`
// URLs; the rest goes back under the old name's prefix. The claimed file is gone after.
void takeSpool(const QDir &d, const QString &name, const QString &claimed, qsizetype room, QList<QByteArray> &out,
               QStringList *taken)
{
    const int fd = ::open(encoded(claimed).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        KxLogger::writeWarning(LogCategory, QStringLiteral("outbox: %1 is no regular file and is removed").arg(name));
        ::unlink(encoded(claimed).constData());
        return;
    }
    if (st.st_size > MaxSpoolBytes) {
        ::close(fd);
        KxLogger::writeWarning(LogCategory,
                               QStringLiteral("outbox: spool %1 of %2 bytes is over the bound of %3 bytes and is "
                                              "removed unread")
                                   .arg(name)
                                   .arg(st.st_size)
                                   .arg(MaxSpoolBytes));
        ::unlink(encoded(claimed).constData());
        return;
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    SpoolParser parser(room);
    bool full = false;
    while (!full) {
        const QByteArray piece = file.read(ChunkBytes);
        if (piece.isEmpty())
            break;
        full = !parser.feed(piece);
    }
    const auto putBack = [&](const QString &why) {
        KxLogger::writeError(LogCategory, QStringLiteral("outbox: %1 (%2); the spool stays for later").arg(name, why));
        ::rename(encoded(claimed).constData(), encoded(d.filePath(name)).constData());
    };
    if (file.error() != QFileDevice::NoError)
        return putBack(file.errorString());
    if (!full)
        parser.finish();
    if (parser.skipped > 0)
        KxLogger::writeWarning(LogCategory, QStringLiteral("outbox: %1 lines of %2 are no URL and are skipped")
                                                .arg(parser.skipped)
                                                .arg(name));
    if (full && parser.consumed < st.st_size) {
        QString error;
        const QString rest = d.filePath(newName(namePrefix(name, nullptr), countRest(file, parser.consumed)));
        if (!writeRest(file, parser.consumed, rest, &error))
            return putBack(QStringLiteral("cannot write back its rest: ") + error);
    }
    out.append(parser.urls);
    if (taken)
        taken->append(claimed);
    else
        ::unlink(encoded(claimed).constData());
}

} // namespace

QString dir()
{
    return ulx::paths::stateDir() + QStringLiteral("/outbox");
}

bool ensureDir()
{
    const QString path = dir();
    if (!ulx::paths::ensureDir(ulx::paths::stateDir()))
        return false;
    const QByteArray p = encoded(path);
    // Made private at once: a directory made first and restricted after would be
    // open to others for a moment.
    if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return (st.st_mode & 07777) == 0700 || ::chmod(p.constData(), 0700) == 0;
}

bool spool(const QList<QByteArray> &urls)
{
    if (urls.isEmpty())
        return true;
    if (!ensureDir()) {
        KxLogger::writeError(LogCategory, QStringLiteral("outbox: %1 cannot be used; %2 URLs are lost")
                                              .arg(dir())
                                              .arg(urls.size()));
        return false;
    }
    const QDir d(dir());
    const qint64 waiting = waitingEvents(d);
    const qsizetype keep = qsizetype(std::clamp<qint64>(MaxEvents - waiting, 0, urls.size()));
    if (keep < urls.size())
        KxLogger::writeWarning(LogCategory, QStringLiteral("outbox: holds %1 events (bound %2); %3 URLs dropped")
                                                .arg(waiting)
                                                .arg(MaxEvents)
                                                .arg(urls.size() - keep));
    if (keep == 0)
        return false;

    QByteArray bytes;
    for (qsizetype i = 0; i < keep; ++i)
        bytes += urls.at(i) + '\n';
    // Names sort by time, so the serving process sends older spools first.
    const QString prefix = QStringLiteral("%1-%2-%3")
                               .arg(QDateTime::currentMSecsSinceEpoch(), 14, 10, QLatin1Char('0'))
                               .arg(::getpid())
                               .arg(g_sequence.fetch_add(1));
    QString error;
    if (ulx::files::writeAtomically(d.filePath(newName(prefix, keep)), bytes,
                                    QFileDevice::ReadOwner | QFileDevice::WriteOwner, &error))
        return true;
    KxLogger::writeError(LogCategory,
                         QStringLiteral("outbox: cannot write a spool of %1 URLs (%2); they are lost").arg(keep).arg(error));
    return false;
}

bool hasWaiting()
{
    const QDir d(dir());
    return d.exists() && !waitingFiles(d).isEmpty();
}

QList<QByteArray> claim(qsizetype room, QStringList *taken)
{
    QList<QByteArray> out;
    const QDir d(dir());
    const QString claimSuffix = QStringLiteral(".claimed-%1").arg(::getpid());
    for (const QString &name : waitingFiles(d)) {
        if (out.size() >= room)
            break;
        const QString claimed = d.filePath(name + claimSuffix);
        // Only one process wins the rename; the others find the name gone.
        if (::rename(encoded(d.filePath(name)).constData(), encoded(claimed).constData()) != 0)
            continue;
        takeSpool(d, name, claimed, room - out.size(), out, taken);
    }
    return out;
}

void release(const QStringList &taken)
{
    for (const QString &path : taken)
        ::unlink(encoded(path).constData());
}

void recoverClaimed()
{
    const QDir d(dir());
    const QString marker = Suffix + QStringLiteral(".claimed-");
    for (const QString &name : d.entryList({QStringLiteral("*") + marker + QLatin1Char('*')}, QDir::Files)) {
        bool ok = false;
        const pid_t pid = pid_t(name.section(marker, 1).toLong(&ok));
        if (!ok || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        ::rename(encoded(d.filePath(name)).constData(), encoded(d.filePath(name.section(marker, 0, 0) + Suffix)).constData());
    }
}

QList<QByteArray> parseSpool(QByteArrayView bytes)
{
    SpoolParser parser(std::numeric_limits<qsizetype>::max());
    parser.feed(bytes);
    parser.finish();
    return std::move(parser.urls);
}

bool SpoolParser::feed(QByteArrayView bytes)
{
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        if (urls.size() >= m_max)
            return false;
        const qsizetype newline = bytes.indexOf('\n', pos);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        if (!m_overlong) {
            if (m_line.size() + (end - pos) > ulx::inforecord::MaxUrlBytes) {
                m_overlong = true;
                m_line.clear();
            } else {
                m_line.append(bytes.sliced(pos, end - pos));
            }
        }
        if (newline < 0) {
            consumed += bytes.size() - pos;
            return true;
        }
        consumed += newline + 1 - pos;
        pos = newline + 1;
        takeLine();
    }
    return urls.size() < m_max;
}

void SpoolParser::finish()
{
    if ((m_overlong || !m_line.isEmpty()) && urls.size() < m_max)
        takeLine();
}

void SpoolParser::takeLine()
{
    const QByteArray line = std::exchange(m_line, QByteArray());
    if (std::exchange(m_overlong, false))
        ++skipped;
    else if (isUrl(line))
        urls.append(line);
    else if (!line.isEmpty())
        ++skipped;
}

} // namespace ulx::outbox
