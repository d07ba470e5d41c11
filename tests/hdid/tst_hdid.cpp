// The hardware identifier: its sources on a laid-out machine (sysfs, udev
// database, machine-id), the per-user cache and the C entry.

#include "hdid/khdidmanager.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/kworld.h"

#include <QDateTime>
#include <QDir>
#include <QTest>
#include <QThread>

using namespace ulx::hdid;

namespace {

const QString PciDev = QStringLiteral("/sys/devices/pci0000:00/0000:00:03.0");

// A machine below a directory: files and sysfs's relative links at absolute-looking paths.
struct Machine
{
    Sources sources;
    explicit Machine(const QString &root) { QDir(root).removeRecursively(), sources.root = root; }
    void file(const QString &path, const QByteArray &content) const
    {
        QVERIFY(ktest::writeFile(sources.root + path, content));
    }
    void link(const QString &path, const QString &target) const
    {
        QDir().mkpath(sources.root + target);
        QDir().mkpath(QFileInfo(sources.root + path).absolutePath());
        QVERIFY(QFile::link(QFileInfo(sources.root + path).absoluteDir().relativeFilePath(sources.root + target),
                            sources.root + path));
    }
    // A network interface whose device lies at `device` (empty: none, like lo).
    void interface(const QString &name, const QString &device, const QByteArray &address,
                   const QByteArray &type = "1") const
    {
        const QString parent = device.isEmpty() ? QStringLiteral("/sys/devices/virtual") : device;
        const QString node = parent + QStringLiteral("/net/") + name;
        file(node + QStringLiteral("/address"), address + '\n');
        file(node + QStringLiteral("/type"), type + '\n');
        link(QStringLiteral("/sys/class/net/") + name, node);
        if (!device.isEmpty())
            link(node + QStringLiteral("/device"), device);
    }
    // A disk: /sys/block/<name> linking to its device node below `parent`.
    QString disk(const QString &name, const QString &parent) const
    {
        link(QStringLiteral("/sys/block/") + name, parent + QStringLiteral("/block/") + name);
        return parent + QStringLiteral("/block/") + name;
    }
};

} // namespace

class TestHdid : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    KRegSettings m_common{QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common")};

private slots:
    // The identifier's text, "disk|adapters", on laid-out machines: a disk case and an adapter case a row.
    void identifier_data()
    {
        QTest::addColumn<QString>("disks");
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QByteArray>("expected");
        const QStringList eth0{"eth0"};
        const QByteArray eth0Part = "|52-54-00-12-34-56";
        QTest::newRow("block serial; one adapter on PCI")
            << "vda" << eth0 << "        BHYVE-7F3A          " + eth0Part;
        QTest::newRow("device fields; adapters sorted whatever the listing")
            << "sda" << QStringList{"eth0", "enp1s0"}
            << QByteArray("QEMU2.5+QM00001             |0A-00-27-00-00-07+52-54-00-12-34-56");
        QTest::newRow("udev database before sysfs; virtual, platform and non-Ethernet skipped")
            << "vda:udev" << QStringList{"lo", "usbplat", "ib0", "eth0"}
            << "Virt1.0 UDEVSER42           " + eth0Part;
        QTest::newRow("first disk with a serial, cut at 20; permanent address first")
            << "sda:nosn,sdb" << QStringList{"perm"}
            << QByteArray("Cruc0.1 SDB-SERIAL-012345678|00-11-22-33-44-55");
        QTest::newRow("virtual and loop devices skipped, then name order")
            << "loop0,ram0,zram0,dm-0,nbd0,vda,sda" << eth0
            << "QEMU2.5+QM00001             " + eth0Part;
        QTest::newRow("device route first, model cut at NUL")
            << "vda:ata" << eth0 << "WD01.0SERIAL-ATA-0000001  " + eth0Part;
    }

    void identifier()
    {
        QFETCH(QString, disks);
        QFETCH(QStringList, interfaces);
        QFETCH(QByteArray, expected);
        Machine m(m_env.root() + QStringLiteral("/machine"));
        // The files of each disk below its device node, a disk without any a virtual one;
        // "vda:udev" is a vda known to the udev database.
        const QMap<QString, QList<QPair<QString, QByteArray>>> files{
            {"vda", {{"/serial", "BHYVE-7F3A\n"}}},
            {"sda", {{"/device/model", "QEMU HARDDISK   \n"}, {"/device/rev", "2.5+\n"},
                     {"/device/serial", "QM00001\n"}}},
            {"sda:nosn", {{"/device/model", "NoSerial\n"}}},
            {"sdb", {{"/device/model", "Crucial\n"}, {"/device/rev", "0.1\n"},
                     {"/device/serial", "SDB-SERIAL-0123456789AB\n"}}},
            {"vda:udev", {{"/serial", "SYSFS-LOSES\n"}, {"/dev", "252:0\n"}}}};
        for (const QString &disk : disks.split(QLatin1Char(','))) {
            const QString name = disk.section(QLatin1Char(':'), 0, 0);
            const QString parent = name == "nbd0" ? QStringLiteral("/sys/devices/virtual") : PciDev;
            const QString node = m.disk(name, parent);
            for (const auto &[path, content] : files.value(disk, {{"/serial", "VIRTUAL\n"}}))
                m.file(node + path, content);
        }
        m.file(QStringLiteral("/run/udev/data/b252:0"),
               "S:disk/by-id/virtio-UDEVSER42\nE:ID_MODEL=Virtual_disk\nE:ID_REVISION=1.0\n"
               "E:ID_SERIAL_SHORT=UDEVSER42\nG:systemd\n");
        const QMap<QString, QStringList> kinds{ // device, address, type
            {"eth0", {PciDev + "/virtio2", "52:54:00:12:34:56", "1"}},
            {"enp1s0", {"/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0", "0a:00:27:00:00:07", "1"}},
            {"lo", {QString(), "00:00:00:00:00:00", "772"}},
            {"usbplat", {"/sys/devices/platform/soc/usb1", "02:00:00:00:00:09", "1"}},
            {"ib0", {PciDev + "/ib", "80:00:00:48:fe:80", "32"}},
            {"perm", {PciDev, "aa:bb:cc:dd:ee:ff", "1"}}}; // a changed address
        for (const QString &name : interfaces) {
            const QStringList k = kinds.value(name);
            m.interface(name, k.at(0), k.at(1).toLatin1(), k.at(2).toLatin1());
        }
        m.sources.permanentAddress = [](const QString &name) {
            return name == QLatin1String("perm") ? QByteArray::fromHex("001122334455") : QByteArray();
        };
        if (disks.endsWith(QLatin1String(":ata"))) { // the devices themselves
            m.sources.ataIdentify = [](const QString &name, QByteArray *model, QByteArray *firmware,
                                       QByteArray *serial) {
                *model = QByteArray("WD\0C WD10EZEX-00BN5A0", 21).leftJustified(40, ' ');
                *firmware = "01.01A01";
                *serial = "SERIAL-ATA-0000001  ";
                return name == QLatin1String("vda");
            };
        }
        QCOMPARE(ulx::hdid::identifierText(m.sources), expected);
    }

    // No qualifying adapter: the node comes from the machine's identity (a multicast
    // address, not the raw id), the same in every computation, another on another
    // machine; without any identity the time-based UUID's own node is still an address.
    void nodeWithoutAdapter()
    {
        Machine a(m_env.root() + QStringLiteral("/nodeA"));
        a.file(QStringLiteral("/etc/machine-id"), "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
        a.interface(QStringLiteral("lo"), QString(), "00:00:00:00:00:00", "772");
        Machine b(m_env.root() + QStringLiteral("/nodeB"));
        b.file(QStringLiteral("/var/lib/dbus/machine-id"), "0123456789abcdef0123456789abcdef\n");
        Machine none(m_env.root() + QStringLiteral("/nodeNone"));
        QDir().mkpath(none.sources.root + QStringLiteral("/sys"));
        const QByteArray first = ulx::hdid::adapterPart(a.sources);
        QVERIFY(!first.contains("3D-12-19"));
        QVERIFY(QByteArray::fromHex(first.left(2)).at(0) & 0x01);
        QCOMPARE(ulx::hdid::identifierText(a.sources), QByteArray("|") + first); // computed again: the same
        const QByteArray other = ulx::hdid::adapterPart(b.sources);
        QVERIFY(other != first);
        for (const QByteArray &node : {first, other, ulx::hdid::adapterPart(none.sources)})
            QCOMPARE(node.size(), 17);
        // Too short: no address, no over-read.
        QCOMPARE(formatAddress(QByteArray::fromHex("0a1b2c")), QByteArray());
    }

    // The cache, on a laid-out machine whose identifier is known; a computation that outlives the wait
    // gives nothing now and the value for later reads. The C entry: nothing without a buffer (the store
    // left alone); a small one gets what fits, and the identifier's full length.
    void cache_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("storedDay"); // 0: today, 1: another day, -1: none
        QTest::addColumn<bool>("computes");
        QTest::addColumn<bool>("slow");
        const QString id = QStringLiteral("0123456789abcdef0123456789abcdef");
        QTest::newRow("nothing stored") << QString() << -1 << true << false;
        QTest::newRow("stored today") << id << 0 << false << false;
        QTest::newRow("stored another day") << id << 1 << true << false;
        QTest::newRow("day says today, value deleted") << QString() << 0 << true << false;
        QTest::newRow("computation outlives the wait") << QString() << -1 << true << true;
    }

    void cache()
    {
        QFETCH(QString, stored);
        QFETCH(int, storedDay);
        QFETCH(bool, computes);
        QFETCH(bool, slow);
        Machine m(m_env.root() + QStringLiteral("/cache"));
        m.interface(QStringLiteral("eth0"), PciDev, "52:54:00:12:34:56");
        m.file(m.disk(QStringLiteral("vda"), PciDev) + QStringLiteral("/serial"), "CACHE-SERIAL\n");
        const QString expected = digest(identifierText(m.sources));
        HdidManager &manager = HdidManager::instance();
        manager.setSources(m.sources);
        if (slow)
            manager.setComputeHook([] { QThread::msleep(KTestEnv::scaled(600)); });
        m_common.remove(QStringLiteral("InfoHD2"));
        m_common.remove(QStringLiteral("InfoHD2t"));
        const int today = QDateTime::currentDateTimeUtc().date().day();
        if (!stored.isEmpty())
            m_common.setValue(QStringLiteral("InfoHD2"), stored);
        if (storedDay >= 0)
            m_common.setValue(QStringLiteral("InfoHD2t"), storedDay == 0 ? today : today % 28 + 1);

        const int before = manager.computationsStarted();
        char16_t buffer[8] = {u'x', 0};
        QCOMPARE(getHdid(nullptr, 260), 0);
        QCOMPARE(getHdid(buffer, 0), 0);
        QCOMPARE(m_common.contains(QStringLiteral("InfoHD2t")), storedDay >= 0);
        const QString got = manager.read(slow ? 50 : WaitLimitMs);
        manager.setComputeHook({});
        QCOMPARE(got, slow ? QString() : stored.isEmpty() ? expected : stored);
        QCOMPARE(manager.computationsStarted() - before, computes ? 1 : 0);
        const QVariant day = m_common.value(QStringLiteral("InfoHD2t"));
        QCOMPARE(day.metaType().id(), QMetaType::Int); // REG_DWORD, not REG_QWORD
        QCOMPARE(day.toInt(), today);
        if (computes) // the computation stores the machine's value, also behind a stored one
            QTRY_COMPARE_WITH_TIMEOUT(m_common.value(QStringLiteral("InfoHD2")).toString(), expected,
                                      KTestEnv::scaled(5000));
        QCOMPARE(getHdid(buffer, 8), 32);
        QCOMPARE(QString::fromUtf16(buffer), m_common.value(QStringLiteral("InfoHD2")).toString().left(7));
    }
};

QTEST_GUILESS_MAIN(TestHdid)
#include "tst_hdid.moc"
