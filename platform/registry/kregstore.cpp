#include "platform/registry/kregstore.h"

#include "platform/xdgpaths.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// An exclusive flock() on the hive's lock file for the lifetime of the object.
// Each object opens its own descriptor, so threads of one process exclude each
// other as well as processes do.
class HiveLock
{
public:
    explicit HiveLock(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~HiveLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing the last descriptor releases the lock
    }
    HiveLock(const HiveLock &) = delete;
    HiveLock &operator=(const HiveLock &) = delete;

    bool isLocked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The hive file's top-level object; false when the file is there but damaged.
bool readRoot(KRegHive hive, QJsonObject *root)
{
    QFile file(KRegStore::filePath(hive));
    if (!file.open(QIODevice::ReadOnly))
        return true;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *root = document.object();
    return true;
}

bool save(const QString &path, const KRegNode &root)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The user's settings are the user's own.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = QJsonDocument(root.toJson()).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size())
        return false;
    return file.commit();
}

// Keeps a damaged file for a person to look at before a write replaces it.
void keepDamagedCopy(const QString &path)
{
    const QString aside = path + QStringLiteral(".damaged");
    QFile::remove(aside);
    QFile::copy(path, aside);
}

} // namespace

QString KRegStore::filePath(KRegHive hive)
{
    return ulx::paths::configDir()
        + (hive == KRegHive::LocalMachine ? QStringLiteral("/registry-machine.json") : QStringLiteral("/registry.json"));
}

KRegStore::Snapshot KRegStore::read(KRegHive hive)
{
    Snapshot snapshot{KRegNode(KRegKeyPath::hiveName(hive)), false};
    QJsonObject root;
    if (!readRoot(hive, &root))
        snapshot.damaged = true;
    else
        snapshot.root = KRegNode::fromJson(snapshot.root.name(), root, &snapshot.damaged);
    return snapshot;
}

KRegValue KRegStore::readValue(const KRegKeyPath &key, const QString &name)
{
    QJsonObject root;
    if (!key.isValid() || !readRoot(key.hive(), &root))
        return KRegValue{name, KRegType::None, QVariant()};
    return KRegNode::valueInJson(root, key.keys(), name);
}

KRegStore::Result KRegStore::modify(KRegHive hive, const std::function<Result(KRegNode &root)> &change)
{
    const QString path = filePath(hive);
    if (!ulx::paths::ensureDir(ulx::paths::configDir()))
        return AccessError;
    HiveLock lock(path + QStringLiteral(".lock"));
    if (!lock.isLocked())
        return AccessError;

    Snapshot snapshot = read(hive);
    const Result result = change(snapshot.root);
    if (result != Ok)
        return result;
    if (snapshot.damaged && QFile::exists(path))
        keepDamagedCopy(path);
    return save(path, snapshot.root) ? Ok : AccessError;
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
    if (!key.isValid() || !value.isValid())
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
