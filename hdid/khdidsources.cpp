#include "hdid/khdidsources.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/hdreg.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace ulx::hdid {

namespace {

// Application-specific salt of the node derived from the machine's identity: the
// machine-id itself is never sent or stored, only this digest of it.
const char NodeSalt[] = "ulxcloudsvr/hdid/node/1\n";
// Disk drive numbers the device route asks, as the suite does on its first four drives.
constexpr int DeviceRouteDisks = 4;

QByteArray readSmall(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(4096);
}

QByteArray readTrimmed(const QString &path)
{
    return readSmall(path).trimmed();
}

QByteArray untilNul(const QByteArray &bytes, qsizetype max)
{
    QByteArray out = bytes.left(max);
    const qsizetype nul = out.indexOf('\0');
    if (nul >= 0)
        out.truncate(nul);
    return out;
}

// ---- libudev, opened at run time ----------------------------------------------

struct Udev
{
    using NewFn = void *(*)();
    using UnrefFn = void *(*)(void *);
    using DeviceFn = void *(*)(void *, const char *, const char *);
    using PropertyFn = const char *(*)(void *, const char *);

    NewFn udevNew = nullptr;
    UnrefFn udevUnref = nullptr;
    DeviceFn deviceFromSysname = nullptr;
    PropertyFn property = nullptr;
    UnrefFn deviceUnref = nullptr;

    static const Udev &instance()
    {
        static const Udev udev = [] {
            Udev u;
            // Kept open for the process: resolved pointers stay valid.
            void *lib = ::dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
            if (!lib)
                return u;
            u.udevNew = reinterpret_cast<NewFn>(::dlsym(lib, "udev_new"));
            u.udevUnref = reinterpret_cast<UnrefFn>(::dlsym(lib, "udev_unref"));
            u.deviceFromSysname =
                reinterpret_cast<DeviceFn>(::dlsym(lib, "udev_device_new_from_subsystem_sysname"));
            u.property = reinterpret_cast<PropertyFn>(::dlsym(lib, "udev_device_get_property_value"));
            u.deviceUnref = reinterpret_cast<UnrefFn>(::dlsym(lib, "udev_device_unref"));
            return u;
        }();
        return udev;
    }
    bool isValid() const { return udevNew && udevUnref && deviceFromSysname && property && deviceUnref; }
};

struct DiskIdentity
{
    QByteArray model;
    QByteArray firmware;
    QByteArray serial;
};

bool fromLibudev(const QString &name, DiskIdentity *id)
{
    const Udev &u = Udev::instance();
    if (!u.isValid())
        return false;
    void *udev = u.udevNew();
    if (!udev)
        return false;
    bool found = false;
    if (void *dev = u.deviceFromSysname(udev, "block", name.toLocal8Bit().constData())) {
        const auto prop = [&](const char *key) {
            const char *v = u.property(dev, key);
            return v ? QByteArray(v).trimmed() : QByteArray();
        };
        id->serial = prop("ID_SERIAL_SHORT");
        id->model = prop("ID_MODEL");
        id->firmware = prop("ID_REVISION");
        found = true;
        u.deviceUnref(dev);
    }
    u.udevUnref(udev);
    return found;
}

// The udev database itself: /run/udev/data/b<major>:<minor>, lines "E:KEY=VALUE".
void fromUdevDatabase(const Sources &s, const QString &name, DiskIdentity *id)
{
    const QByteArray dev = readTrimmed(s.path(QStringLiteral("/sys/block/%1/dev").arg(name)));
    if (dev.isEmpty())
        return;
    QFile f(s.path(QStringLiteral("/run/udev/data/b") + QString::fromLatin1(dev)));
    if (!f.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith("E:"))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray key = line.mid(2, eq - 2);
        const QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "ID_SERIAL_SHORT")
            id->serial = value;
        else if (key == "ID_MODEL")
            id->model = value;
        else if (key == "ID_REVISION")
            id->firmware = value;
    }
}

DiskIdentity diskIdentity(const Sources &s, const QString &name)
{
    DiskIdentity id;
    if (!(s.useLibudev && s.isRealRoot() && fromLibudev(name, &id)))
        fromUdevDatabase(s, name, &id);
    const QString block = s.path(QStringLiteral("/sys/block/") + name);
    if (id.serial.isEmpty()) {
        id.serial = readTrimmed(block + QStringLiteral("/device/serial"));
        if (id.serial.isEmpty())
            id.serial = readTrimmed(block + QStringLiteral("/serial"));
    }
    if (id.model.isEmpty())
        id.model = readTrimmed(block + QStringLiteral("/device/model"));
    if (id.firmware.isEmpty())
        id.firmware = readTrimmed(block + QStringLiteral("/device/rev"));
    return id;
}

bool hdioIdentify(const QString &name, QByteArray *model, QByteArray *firmware, QByteArray *serial)
{
    const QByteArray dev = QByteArrayLiteral("/dev/") + name.toLocal8Bit();
    // Only a device every user may read: the identifier is the same for every user
    // of the machine, so a process that may read more (root, the group "disk") must
    // not take a route the others cannot.
    struct stat st = {};
    if (::stat(dev.constData(), &st) != 0 || !S_ISBLK(st.st_mode) || !(st.st_mode & S_IROTH))
        return false;
    const int fd = ::open(dev.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct hd_driveid id = {};
    const bool ok = ::ioctl(fd, HDIO_GET_IDENTITY, &id) == 0;
    ::close(fd);
    if (!ok)
        return false;
    // The kernel hands the text fields over in reading order already.
    *model = QByteArray(reinterpret_cast<const char *>(id.model), sizeof id.model);
    *firmware = QByteArray(reinterpret_cast<const char *>(id.fw_rev), sizeof id.fw_rev);
    *serial = QByteArray(reinterpret_cast<const char *>(id.serial_no), sizeof id.serial_no);
    return true;
}

QByteArray ethtoolPermanentAddress(const QString &ifname)
{
    const QByteArray name = ifname.toLocal8Bit();
    if (name.size() >= IFNAMSIZ)
        return QByteArray();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QByteArray();
    constexpr unsigned MaxAddress = 32;
    alignas(struct ethtool_perm_addr) unsigned char buffer[sizeof(struct ethtool_perm_addr) + MaxAddress] = {};
    auto *request = reinterpret_cast<struct ethtool_perm_addr *>(buffer);
    request->cmd = ETHTOOL_GPERMADDR;
    request->size = MaxAddress;
    struct ifreq ifr = {};
    std::copy_n(name.constData(), name.size(), ifr.ifr_name);
    ifr.ifr_data = reinterpret_cast<char *>(request);
    const bool ok = ::ioctl(fd, SIOCETHTOOL, &ifr) == 0;
    ::close(fd);
    if (!ok || request->size != 6)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(request->data), 6);
}

bool isZero(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// "aa:bb:cc:dd:ee:ff" from sysfs.
QByteArray parseAddressText(const QByteArray &text)
{
    const QList<QByteArray> parts = text.trimmed().split(':');
    if (parts.size() != 6)
        return QByteArray();
    QByteArray out;
    for (const QByteArray &p : parts) {
        bool ok = false;
        const uint v = p.toUInt(&ok, 16);
        if (!ok || v > 0xFF)
            return QByteArray();
        out.append(char(v));
    }
    return out;
}

} // namespace

QString Sources::path(const QString &absolute) const
{
    if (isRealRoot())
        return absolute;
    QString base = root;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + absolute;
}

QStringList diskNames(const Sources &s)
{
    QDir block(s.path(QStringLiteral("/sys/block")));
    QStringList names = block.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    const QString virtualDevices = QFileInfo(s.path(QStringLiteral("/sys/devices/virtual"))).canonicalFilePath();
    names.removeIf([&](const QString &name) {
        if (name.startsWith(QLatin1String("loop")) || name.startsWith(QLatin1String("ram"))
            || name.startsWith(QLatin1String("zram")) || name.startsWith(QLatin1String("dm-")))
            return true;
        const QString target = QFileInfo(block.filePath(name)).canonicalFilePath();
        return !virtualDevices.isEmpty() && target.startsWith(virtualDevices + QLatin1Char('/'));
    });
    return names;
}

QByteArray deviceRouteText(const QByteArray &model, const QByteArray &firmware, const QByteArray &serial)
{
    return untilNul(model, 4) + untilNul(firmware, 4) + untilNul(serial, 20);
}

QByteArray databaseRouteText(const QByteArray &model, const QByteArray &firmware, const QByteArray &serial)
{
    QByteArray text(28, ' ');
    const QByteArray m = model.left(4), f = firmware.left(4), s = serial.left(20);
    text.replace(0, m.size(), m);
    text.replace(4, f.size(), f);
    text.replace(8, s.size(), s);
    return text;
}

QByteArray diskPart(const Sources &s)
{
    const QStringList disks = diskNames(s);
    auto identify = s.ataIdentify;
    if (!identify && s.isRealRoot())
        identify = hdioIdentify;
    if (identify) {
        for (qsizetype i = 0; i < disks.size() && i < DeviceRouteDisks; ++i) {
            QByteArray model, firmware, serial;
            if (identify(disks.at(i), &model, &firmware, &serial))
                return deviceRouteText(model, firmware, serial);
        }
    }
    for (const QString &name : disks) {
        const DiskIdentity id = diskIdentity(s, name);
        if (!id.serial.isEmpty())
            return databaseRouteText(id.model, id.firmware, id.serial);
    }
    return QByteArray();
}

QByteArray formatAddress(const QByteArray &bytes)
{
    if (bytes.size() < 6)
        return QByteArray();
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    return QString::asprintf("%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]).toLatin1();
}

QStringList physicalInterfaces(const Sources &s)
{
    const QString pciRoot = QFileInfo(s.path(QStringLiteral("/sys/devices"))).canonicalFilePath()
        + QStringLiteral("/pci");
    QDir net(s.path(QStringLiteral("/sys/class/net")));
    QStringList names = net.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    names.removeIf([&](const QString &name) {
        const QString device = QFileInfo(net.filePath(name) + QStringLiteral("/device")).canonicalFilePath();
        if (device.isEmpty() || !device.startsWith(pciRoot))
            return true;
        // Ethernet framing only (ARPHRD_ETHER), as the suite takes Ethernet adapters.
        const QByteArray type = readTrimmed(net.filePath(name) + QStringLiteral("/type"));
        return !type.isEmpty() && type != "1";
    });
    return names;
}

QByteArray stableNode(const Sources &s)
{
    QByteArray id = readTrimmed(s.path(QStringLiteral("/etc/machine-id")));
    if (id.isEmpty())
        id = readTrimmed(s.path(QStringLiteral("/var/lib/dbus/machine-id")));
    if (id.isEmpty())
        return QByteArray();
    QByteArray node = QCryptographicHash::hash(QByteArray(NodeSalt) + id, QCryptographicHash::Sha256).left(6);
    node[0] = char(node.at(0) | 0x01); // multicast: never the address of a real adapter
    return node;
}

QByteArray adapterPart(const Sources &s)
{
    auto permanent = s.permanentAddress;
    if (!permanent && s.isRealRoot())
        permanent = ethtoolPermanentAddress;
    QList<QByteArray> addresses;
    for (const QString &name : physicalInterfaces(s)) {
        QByteArray bytes = permanent ? permanent(name) : QByteArray();
        if (bytes.size() != 6 || isZero(bytes))
            bytes = parseAddressText(readSmall(s.path(QStringLiteral("/sys/class/net/%1/address").arg(name))));
        if (bytes.size() == 6 && !isZero(bytes))
            addresses.append(formatAddress(bytes));
    }
    if (addresses.isEmpty()) {
        // The last source: a time-based UUID's node. libuuid takes a random node
        // per process when no adapter qualifies, so the node is the machine's own.
        uuid_t uuid;
        uuid_generate_time(uuid);
        QByteArray node(reinterpret_cast<const char *>(uuid) + 10, 6);
        const QByteArray stable = stableNode(s);
        if (!stable.isEmpty())
            node = stable;
        addresses.append(formatAddress(node));
    }
    std::sort(addresses.begin(), addresses.end());
    return addresses.join('+');
}

QByteArray identifierText(const Sources &s)
{
    const QByteArray adapters = adapterPart(s);
    const QByteArray disk = diskPart(s);
    return disk + '|' + adapters;
}

QString digest(const QByteArray &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex());
}

} // namespace ulx::hdid
