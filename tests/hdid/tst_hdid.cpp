// The hardware identifier: formats and order of its sources on a laid-out machine
// (sysfs, udev database, machine-id), the per-user cache, and real processes.

#include "hdid/khdidmanager.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/kworld.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

using namespace ulx::hdid;

namespace {

const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
const QString PciDev = QStringLiteral("/sys/devices/pci0000:00/0000:00:03.0");

// A machine below a directory: files and symbolic links at absolute-looking paths.
class FakeMachine
{
public:
    explicit FakeMachine(const QString &root) : m_root(root) { QDir(root).removeRecursively(); }
    void file(const QString &path, const QByteArray &content) const { QVERIFY(ktest::writeFile(m_root + path, content)); }
    void dir(const QString &path) const { QDir().mkpath(m_root + path); }
    // A link at `path` to the absolute-looking `target`, made relative as sysfs does.
    void link(const QString &path, const QString &target) const
    {
        dir(target);
        QDir().mkpath(QFileInfo(m_root + path).absolutePath());
        const QString rel = QFileInfo(m_root + path).absoluteDir().relativeFilePath(m_root + target);
        QVERIFY(QFile::link(rel, m_root + path));
    }
    // A network interface whose device lies at `device` (empty: none, like lo).
    void interface(const QString &name, const QString &device, const QByteArray &address,
                   const QByteArray &type = "1") const
    {
        const QString node = (device.isEmpty() ? QStringLiteral("/sys/devices/virtual") : device)
            + QStringLiteral("/net/") + name;
        file(node + QStringLiteral("/address"), address + '\n');
        file(node + QStringLiteral("/type"), type + '\n');
        link(QStringLiteral("/sys/class/net/") + name, node);
        if (!device.isEmpty())
            link(node + QStringLiteral("/device"), device);
    }
    // A disk: /sys/block/<name> linking to its device node below `parent`.
    QString disk(const QString &name, const QString &parent) const
    {
        const QString node = parent + QStringLiteral("/block/") + name;
        link(QStringLiteral("/sys/block/") + name, node);
        return node;
    }
    QString root() const { return m_root; }

private:
    QString m_root;
};

Sources sourcesAt(const QString &root)
{
    Sources s;
    s.root = root;
    return s;
}

} // namespace

class TestHdid : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

    QString machineRoot(const char *name) const { return m_env.root() + QStringLiteral("/machines/") + QLatin1String(name); }

    void clearCache()
    {
        KRegSettings common(CommonKey);
        common.remove(QStringLiteral("InfoHD2"));
        common.remove(QStringLiteral("InfoHD2t"));
    }

private slots:
    void textFormats()
    {
        QCOMPARE(deviceRouteText(QByteArray("WD\0C WD10", 9), "80.0", "  WD-WCC6Y1234567    "),
                 QByteArray("WD80.0  WD-WCC6Y1234567   "));
        QCOMPARE(databaseRouteText("Samsung SSD 860", "RVT04B6Q", "S3Z9NB0K123456789012345"),
                 QByteArray("SamsRVT0S3Z9NB0K123456789012"));
        QCOMPARE(databaseRouteText("", "", "BHYVE-1"), QByteArray("        BHYVE-1             "));
        QCOMPARE(formatAddress(QByteArray::fromHex("0a1b2c3d4e5f")), QByteArray("0A-1B-2C-3D-4E-5F"));
        QCOMPARE(formatAddress(QByteArray::fromHex("0a1b2c")), QByteArray());
        // Every source failing: the digest of "|".
        QCOMPARE(digest("|"), QStringLiteral("b99834bc19bbad24580b3adfa04fb947"));
    }

    void diskPart_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("ata");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("block serial") << "vda" << false << QByteArray("        BHYVE-7F3A          ");
        QTest::newRow("device fields") << "sda" << false << QByteArray("QEMU2.5+QM00001             ");
        QTest::newRow("udev database before sysfs") << "udev" << false << QByteArray("Virt1.0 UDEVSER42           ");
        QTest::newRow("first disk with a serial") << "sda-nosn,sdb" << false << QByteArray("Cruc0.1 SDB-SERIAL          ");
        QTest::newRow("name order") << "vda,sda" << false << QByteArray("QEMU2.5+QM00001             ");
        QTest::newRow("virtual and loop devices skipped") << "virtual" << false << QByteArray();
        QTest::newRow("device route first") << "vda" << true << QByteArray("WDC 01.0SERIAL-ATA-0000001  ");
        QTest::newRow("no disk") << "" << false << QByteArray();
    }

    void diskPart()
    {
        QFETCH(QString, layout);
        QFETCH(bool, ata);
        QFETCH(QByteArray, expected);
        const FakeMachine m(machineRoot("disks"));
        m.dir(QStringLiteral("/sys/block"));
        m.dir(QStringLiteral("/sys/devices/virtual"));
        const QString pci = QStringLiteral("/sys/devices/pci0000:00/0000:00:05.0");
        // The files of each disk below its device node; "udev" is a vda known to the udev database.
        const QMap<QString, QList<QPair<QString, QByteArray>>> disks{
            {"vda", {{"/serial", "BHYVE-7F3A\n"}}},
            {"sda", {{"/device/model", "QEMU HARDDISK   \n"}, {"/device/rev", "2.5+\n"}, {"/device/serial", "QM00001\n"}}},
            {"sda-nosn", {{"/device/model", "NoSerial\n"}}},
            {"sdb", {{"/device/model", "Crucial\n"}, {"/device/rev", "0.1\n"}, {"/device/serial", "SDB-SERIAL\n"}}},
            {"udev", {{"/serial", "SYSFS-LOSES\n"}, {"/dev", "252:0\n"}}}};
        for (const QString &disk : layout.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (disk == QLatin1String("virtual")) {
                for (const char *name : {"loop0", "ram0", "zram0", "dm-0"})
                    m.file(QStringLiteral("/sys/block/%1/serial").arg(QLatin1String(name)), "VIRTUAL\n");
                m.file(m.disk(QStringLiteral("nbd0"), QStringLiteral("/sys/devices/virtual")) + QStringLiteral("/serial"),
                       "NBD\n");
                continue;
            }
            const QString node = m.disk(disk == QLatin1String("udev") ? QStringLiteral("vda") : disk.left(3), pci);
            for (const auto &[path, content] : disks.value(disk))
                m.file(node + path, content);
            if (disk == QLatin1String("udev"))
                m.file(QStringLiteral("/run/udev/data/b252:0"),
                       "S:disk/by-id/virtio-UDEVSER42\nE:ID_MODEL=Virtual_disk\nE:ID_REVISION=1.0\n"
                       "E:ID_SERIAL_SHORT=UDEVSER42\nG:systemd\n");
        }
        Sources s = sourcesAt(m.root());
        if (ata) {
            s.ataIdentify = [](const QString &name, QByteArray *model, QByteArray *firmware, QByteArray *serial) {
                if (name != QLatin1String("vda"))
                    return false;
                *model = QByteArray("WDC WD10EZEX-00BN5A0").leftJustified(40, ' ');
                *firmware = "01.01A01";
                *serial = "SERIAL-ATA-0000001  ";
                return true;
            };
        }
        QCOMPARE(ulx::hdid::diskPart(s), expected);
    }

    void adapterPart_data()
    {
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one on PCI") << QStringList{"eth0"} << QByteArray("52-54-00-12-34-56");
        QTest::newRow("sorted whatever the listing") << QStringList{"eth0", "enp1s0"}
                                                     << QByteArray("0A-00-27-00-00-07+52-54-00-12-34-56");
        QTest::newRow("virtual, platform and non-Ethernet skipped")
            << QStringList{"lo", "br0", "usbplat", "ib0", "eth0"} << QByteArray("52-54-00-12-34-56");
        QTest::newRow("permanent address first") << QStringList{"perm"} << QByteArray("00-11-22-33-44-55");
    }

    void adapterPart()
    {
        QFETCH(QStringList, interfaces);
        QFETCH(QByteArray, expected);
        const FakeMachine m(machineRoot("net"));
        m.dir(QStringLiteral("/sys/class/net"));
        for (const QString &name : interfaces) {
            if (name == QLatin1String("eth0"))
                m.interface(name, PciDev + QStringLiteral("/virtio2"), "52:54:00:12:34:56");
            else if (name == QLatin1String("enp1s0"))
                m.interface(name, QStringLiteral("/sys/devices/pci0000:00/0000:00:1c.0/0000:01:00.0"), "0a:00:27:00:00:07");
            else if (name == QLatin1String("lo"))
                m.interface(name, QString(), "00:00:00:00:00:00", "772");
            else if (name == QLatin1String("br0"))
                m.interface(name, QString(), "02:42:ac:11:00:01");
            else if (name == QLatin1String("usbplat"))
                m.interface(name, QStringLiteral("/sys/devices/platform/soc/usb1"), "02:00:00:00:00:09");
            else if (name == QLatin1String("ib0"))
                m.interface(name, PciDev + QStringLiteral("/ib"), "80:00:00:48:fe:80", "32");
            else if (name == QLatin1String("perm"))
                m.interface(name, PciDev, "aa:bb:cc:dd:ee:ff"); // a changed address
        }
        Sources s = sourcesAt(m.root());
        s.permanentAddress = [](const QString &name) {
            return name == QLatin1String("perm") ? QByteArray::fromHex("001122334455") : QByteArray();
        };
        QCOMPARE(ulx::hdid::adapterPart(s), expected);
    }

    // No qualifying adapter: the node comes from the machine's identity, the same in
    // every computation and process, and differs between machines.
    void nodeWithoutAdapter()
    {
        const FakeMachine a(machineRoot("nodeA"));
        a.file(QStringLiteral("/etc/machine-id"), "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
        a.interface(QStringLiteral("lo"), QString(), "00:00:00:00:00:00", "772");
        const FakeMachine b(machineRoot("nodeB"));
        b.file(QStringLiteral("/var/lib/dbus/machine-id"), "0123456789abcdef0123456789abcdef\n");

        const QByteArray first = ulx::hdid::adapterPart(sourcesAt(a.root()));
        QCOMPARE(first.size(), 17);
        QVERIFY(!first.contains("3D-12-19")); // not the raw id
        bool ok = false;
        QVERIFY(first.left(2).toUInt(&ok, 16) & 0x01); // multicast bit
        QVERIFY(ok);
        QCOMPARE(ulx::hdid::adapterPart(sourcesAt(a.root())), first);
        const QByteArray other = ulx::hdid::adapterPart(sourcesAt(b.root()));
        QCOMPARE(other.size(), 17);
        QVERIFY(other != first);
        QCOMPARE(ulx::hdid::identifierText(sourcesAt(a.root())), QByteArray("|") + first);
        // Without any identity the time-based UUID's own node is still an address.
        const FakeMachine none(machineRoot("nodeNone"));
        none.dir(QStringLiteral("/sys"));
        QCOMPARE(ulx::hdid::adapterPart(sourcesAt(none.root())).size(), 17);
    }

    // The cache, on a laid-out machine whose identifier is known.
    void cache_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("storedDay"); // 0: today, -1: none
        QTest::addColumn<bool>("computes");
        QTest::addColumn<bool>("returnsStored");
        QTest::newRow("nothing stored") << QString() << -1 << true << false;
        QTest::newRow("stored today") << QStringLiteral("0123456789abcdef0123456789abcdef") << 0 << false << true;
        QTest::newRow("stored another day") << QStringLiteral("0123456789abcdef0123456789abcdef") << 1 << true << true;
        QTest::newRow("day out of range") << QStringLiteral("0123456789abcdef0123456789abcdef") << 99 << true << true;
        QTest::newRow("day says today, value deleted") << QString() << 0 << true << false;
    }

    void cache()
    {
        QFETCH(QString, stored);
        QFETCH(int, storedDay);
        QFETCH(bool, computes);
        QFETCH(bool, returnsStored);
        const FakeMachine m(machineRoot("cache"));
        m.interface(QStringLiteral("eth0"), PciDev, "52:54:00:12:34:56");
        m.file(m.disk(QStringLiteral("vda"), PciDev) + QStringLiteral("/serial"), "CACHE-SERIAL\n");
        const QString expected = digest(identifierText(sourcesAt(m.root())));
        HdidManager &manager = HdidManager::instance();
        manager.setSources(sourcesAt(m.root()));

        clearCache();
        KRegSettings common(CommonKey);
        const int today = QDateTime::currentDateTimeUtc().date().day();
        if (!stored.isEmpty())
            common.setValue(QStringLiteral("InfoHD2"), stored);
        if (storedDay >= 0)
            common.setValue(QStringLiteral("InfoHD2t"), storedDay == 0 ? today : storedDay == 1 ? today % 28 + 1 : storedDay);

        const int before = manager.computationsStarted();
        const QString got = manager.read(WaitLimitMs);
        QCOMPARE(got, returnsStored ? stored : expected);
        QCOMPARE(manager.computationsStarted() - before, computes ? 1 : 0);
        const QVariant day = common.value(QStringLiteral("InfoHD2t"));
        QCOMPARE(day.metaType().id(), QMetaType::Int); // REG_DWORD, not REG_QWORD
        QCOMPARE(day.toInt(), today);
        if (computes) // the computation stores the machine's value, also behind a stored one
            QTRY_COMPARE_WITH_TIMEOUT(common.value(QStringLiteral("InfoHD2")).toString(), expected, KTestEnv::scaled(5000));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(manager.read(WaitLimitMs)).hasMatch());
    }

    // A computation that outlives the wait: nothing now, the value for later reads.
    void computationOutlivesWait()
    {
        const FakeMachine m(machineRoot("slow"));
        m.interface(QStringLiteral("eth0"), PciDev, "52:54:00:aa:bb:cc");
        HdidManager &manager = HdidManager::instance();
        manager.setSources(sourcesAt(m.root()));
        manager.setComputeHook([] { QThread::msleep(KTestEnv::scaled(600)); });
        clearCache();
        char16_t buffer[8] = {u'x', 0};
        QCOMPARE(getHdid(nullptr, 260), 0);
        QCOMPARE(getHdid(buffer, 0), 0);
        QVERIFY(!KRegSettings(CommonKey).contains(QStringLiteral("InfoHD2t"))); // untouched
        QVERIFY(manager.read(50).isEmpty());
        manager.setComputeHook({});
        const QString expected = digest(identifierText(sourcesAt(m.root())));
        QTRY_COMPARE_WITH_TIMEOUT(KRegSettings(CommonKey).value(QStringLiteral("InfoHD2")).toString(), expected,
                                  KTestEnv::scaled(5000));
        // A small buffer takes what fits, terminated; the length is the whole.
        QCOMPARE(getHdid(buffer, 8), 32);
        QCOMPARE(QString::fromUtf16(buffer), expected.left(7));
    }

    // Two processes reading at once while nothing is stored: one computes, both get its value.
    void twoProcessesOneComputation()
    {
        const FakeMachine m(machineRoot("procs"));
        m.interface(QStringLiteral("eth0"), PciDev, "52:54:00:01:02:03");
        clearCache();
        const QString log = m_env.root() + QStringLiteral("/computations.log");
        QFile::remove(log);
        QProcess a, b;
        for (QProcess *p : {&a, &b}) {
            p->setProcessEnvironment(m_env.environment());
            p->start(KTestEnv::binPath(QStringLiteral("hdidreader")),
                     {m.root(), log, QString::number(KTestEnv::scaled(400))});
        }
        for (QProcess *p : {&a, &b}) {
            QVERIFY(p->waitForFinished(KTestEnv::scaled(20000)));
            QCOMPARE(p->exitCode(), 0);
        }
        const QByteArray outA = a.readAllStandardOutput().trimmed();
        const QByteArray outB = b.readAllStandardOutput().trimmed();
        QCOMPARE(outA, QByteArray("32 ") + digest(identifierText(sourcesAt(m.root()))).toLatin1());
        QCOMPARE(outB, outA);
        QCOMPARE(ktest::readLines(log).size(), 1);
    }

    // This machine, through its real sources: the same value in every process and
    // every computation.
    void stableOnThisMachine()
    {
        QByteArray first;
        for (int i = 0; i < 2; ++i) {
            clearCache();
            QProcess p;
            p.setProcessEnvironment(m_env.environment());
            p.start(KTestEnv::binPath(QStringLiteral("hdidreader")), {QStringLiteral("/")});
            QVERIFY(p.waitForFinished(KTestEnv::scaled(20000)));
            const QByteArray out = p.readAllStandardOutput().trimmed();
            QVERIFY2(QRegularExpression(QStringLiteral("^32 [0-9a-f]{32}$")).match(QString::fromLatin1(out)).hasMatch(),
                     out.constData());
            if (i == 0)
                first = out;
            QCOMPARE(out, first);
        }
    }
};

QTEST_GUILESS_MAIN(TestHdid)
#include "tst_hdid.moc"
