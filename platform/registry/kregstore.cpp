#include "platform/registry/kregstore.h"

#include "platform/filelock.h"
#include "platform/xdgpaths.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcKRegStore, "ulx.registry", QtWarningMsg)

namespace {

// What tells one content of a hive file from another.
struct FileId
{
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};

    static FileId of(const struct stat &st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }
    bool operator==(const FileId &o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec
            && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

// One parsed content of a hive file; never changed once made, so readers share it.
struct Content
{
    QString path;
    bool exists = false; // false: no file (an empty hive)
    FileId id;
    KRegNode root;
    bool damaged = false;
    QString damagedCopy;
};
using ContentPtr = std::shared_ptr<const Content>;

struct Hive
{
    QMutex writeMutex; // flock on NFS cannot separate the threads of one process
    QMutex cacheMutex; // guards `content` and `warnedLarge`, held only to swap a pointer
    ContentPtr content;
    bool warnedLarge = false;
};

Hive &hiveState(KRegHive hive)
{
    static Hive hives[2];
    return hives[hive == KRegHive::LocalMachine ? 1 : 0];
}

void noteSize(KRegHive hive, const QString &path, qint64 size)
{
    if (size <= KRegStore::LargeHiveBytes)
        return;
    Hive &h = hiveState(hive);
    {
        QMutexLocker lock(&h.cacheMutex);
        if (std::exchange(h.warnedLarge, true))
            return;
    }
    qCWarning(lcKRegStore).noquote() << QStringLiteral("KRegStore::read %1 holds %2 bytes, more than %3: every change rewrites it whole")
                                            .arg(path)
                                            .arg(size)
                                            .arg(KRegStore::LargeHiveBytes);
}

// Keeps the damaged bytes for a person to look at, under a name made of the
// file's identity: the process that creates it is the one that warns, so the
// log says it once per damaged file however many processes read it.
void keepDamagedCopy(Content &content, const QByteArray &bytes)
{
    const QString stamp = QDateTime::fromSecsSinceEpoch(content.id.mtime.tv_sec, Qt::UTC)
                              .addMSecs(content.id.mtime.tv_nsec / 1000000)
                              .toString(QStringLiteral("yyyyMMdd-HHmmss.zzz"));
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().left(8));
    const QString copy = QStringLiteral("%1.damaged-%2-%3").arg(content.path, stamp, hash);
    const QByteArray name = QFile::encodeName(copy);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
        content.damagedCopy = copy; // kept, and said, by whoever met it first
        return;
    }
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        const QString reason = fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
        if (fd >= 0) {
            file.close();
            ::unlink(name.constData());
        }
        qCWarning(lcKRegStore).noquote()
            << QStringLiteral("KRegStore::read %1 is damaged and reads as far as it is understood; no copy of it could be "
                              "kept as %2 (%3), so it is not written until one can")
                   .arg(content.path, copy, reason);
        return;
    }
    content.damagedCopy = copy;
    qCWarning(lcKRegStore).noquote()
        << QStringLiteral("KRegStore::read %1 is damaged and reads as far as it is understood; a copy is kept as %2, "
                          "and the next change writes the file anew")
               .arg(content.path, copy);
}

ContentPtr load(KRegHive hive, const QString &path)
{
    auto content = std::make_shared<Content>();
    content->path = path;
    content->root = KRegNode(KRegKeyPath::hiveName(hive));
    QFile file;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return content; // no file (or none we may read): an empty hive
    }
    content->exists = true;
    content->id = FileId::of(st);
    const QByteArray bytes = file.readAll();
    noteSize(hive, path, bytes.size());
    content->root = KRegNode::fromFileContent(content->root.name(), bytes, &content->damaged);
    if (content->damaged)
        keepDamagedCopy(*content, bytes);
    return content;
}

// The hive as it is on disk now: the cached content while the file's identity
// is unchanged, else the file parsed afresh.
ContentPtr current(KRegHive hive)
{
    const QString path = KRegStore::filePath(hive);
    struct stat st{};
    const bool exists = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    Hive &h = hiveState(hive);
    {
        QMutexLocker lock(&h.cacheMutex);
        if (h.content && h.content->path == path && h.content->exists == exists
            && (!exists || h.content->id == FileId::of(st)))
            return h.content;
    }
    ContentPtr content = load(hive, path);
    QMutexLocker lock(&h.cacheMutex);
    h.content = content;
    return content;
}

// Writes `root` as the new content of the hive (under its lock), after `previous`.
ContentPtr save(KRegHive hive, const Content &previous, const KRegNode &root)
{
    QSaveFile file(previous.path);
    if (!file.open(QIODevice::WriteOnly))
        return nullptr;
    // The user's settings are the user's own.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = QJsonDocument(root.toJson()).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size() || !file.flush())
        return nullptr;
    // Readers know a content by its file's identity. The new file has an inode of
    // its own while the old one exists, but a later one may reuse the old inode
    // within one tick of the file system's clock: a strictly later time rules out
    // an identity seen before.
    struct stat st{};
    if (::fstat(file.handle(), &st) != 0)
        return nullptr;
    if (previous.exists) {
        const timespec &old = previous.id.mtime;
        if (st.st_mtim.tv_sec < old.tv_sec || (st.st_mtim.tv_sec == old.tv_sec && st.st_mtim.tv_nsec <= old.tv_nsec)) {
            timespec times[2] = {{0, UTIME_OMIT}, old};
            if (++times[1].tv_nsec == 1000000000) {
                times[1].tv_nsec = 0;
                ++times[1].tv_sec;
            }
            if (::futimens(file.handle(), times) != 0 || ::fstat(file.handle(), &st) != 0)
                return nullptr;
        }
    }
    if (!file.commit())
        return nullptr;
    noteSize(hive, previous.path, bytes.size());
    auto content = std::make_shared<Content>();
    content->path = previous.path;
    content->exists = true;
    content->id = FileId::of(st);
    content->root = root;
    return content;
}

} // namespace

QString KRegStore::filePath(KRegHive hive)
{
    return ulx::paths::configDir()
        + (hive == KRegHive::LocalMachine ? QStringLiteral("/registry-machine.json") : QStringLiteral("/registry.json"));
}

bool KRegStore::isValidValueName(const QString &name)
{
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

KRegStore::Snapshot KRegStore::read(KRegHive hive)
{
    const ContentPtr content = current(hive);
    return Snapshot{content->root, content->damaged, content->damagedCopy};
}

std::optional<KRegNode> KRegStore::readKey(const KRegKeyPath &key)
{
    if (!key.isValid())
        return std::nullopt;
    const ContentPtr content = current(key.hive());
    const KRegNode *node = content->root.find(key.keys());
    return node ? std::optional<KRegNode>(*node) : std::nullopt;
}

KRegValue KRegStore::readValue(const KRegKeyPath &key, const QString &name)
{
    if (key.isValid()) {
        const ContentPtr content = current(key.hive());
        if (const KRegNode *node = content->root.find(key.keys())) {
            if (const KRegValue *value = node->value(name))
                return *value;
        }
    }
    return KRegValue{name, KRegType::None, QVariant()};
}

KRegStore::Result KRegStore::modify(KRegHive hive, const std::function<Result(KRegNode &root)> &change)
{
    const QString path = filePath(hive);
    if (!ulx::paths::ensureDir(ulx::paths::configDir()))
        return AccessError;
    Hive &h = hiveState(hive);
    QMutexLocker threads(&h.writeMutex);
    const ulx::filelock::FileLock processes(path + QStringLiteral(".lock"), ulx::filelock::Kind::Flock);
    if (!processes.isLocked())
        return AccessError;

    const ContentPtr content = current(hive);
    if (content->damaged && content->damagedCopy.isEmpty())
        return AccessError; // never replace a damaged file that nobody could keep
    KRegNode root = content->root;
    const Result result = change(root);
    if (result != Ok)
        return result;
    ContentPtr saved = save(hive, *content, root);
    if (!saved)
        return AccessError;
    QMutexLocker lock(&h.cacheMutex);
    h.content = std::move(saved);
    return Ok;
}

KRegStore::Result KRegStore::createKey(const KRegKeyPath &key)
{
    if (!key.isValid())
        return InvalidPath;
    return modify(key.hive(), [&key](KRegNode &root) {
        root.ensure(key.keys());
        return Ok;
    });
}

KRegStore::Result KRegStore::setValue(const KRegKeyPath &key, const KRegValue &value)
{
    if (!key.isValid() || !value.isValid() || !isValidValueName(value.name))
        return InvalidPath;
    // Settings code rewrites the same value often (flags, dates of today); the
    // store already holding it is as good as a write made at the moment of this read.
    const KRegValue current = readValue(key, value.name);
    if (current.type == value.type && current.data == value.data)
        return Ok;
    return modify(key.hive(), [&key, &value](KRegNode &root) {
        root.ensure(key.keys()).setValue(value);
        return Ok;
    });
}

KRegStore::Result KRegStore::removeValue(const KRegKeyPath &key, const QString &name)
{
    if (!key.isValid())
        return InvalidPath;
    return modify(key.hive(), [&key, &name](KRegNode &root) {
        KRegNode *node = root.find(key.keys());
        return node && node->removeValue(name) ? Ok : NotFound;
    });
}

KRegStore::Result KRegStore::removeKey(const KRegKeyPath &key)
{
    if (!key.isValid())
        return InvalidPath;
    return modify(key.hive(), [&key](KRegNode &root) {
        if (key.keys().isEmpty()) {
            root.clear();
            return Ok;
        }
        KRegNode *parent = root.find(key.keys().mid(0, key.keys().size() - 1));
        return parent && parent->removeSubkey(key.keys().last()) ? Ok : NotFound;
    });
}
