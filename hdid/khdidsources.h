#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// Where the hardware identifier's text comes from on Linux, and its formats.
//
// Every file is read below a root directory ("/" on a real machine), so that a
// test can lay out its own sysfs, udev database and machine-id. The reads that do
// not go through files (the ATA IDENTIFY of a disk device, the permanent address of
// an interface, libudev) are made only with the real root, unless a reader is given.
namespace ulx::hdid {

struct Sources
{
    QString root = QStringLiteral("/");
    // Permanent hardware address of an interface (6 bytes), empty when the driver
    // reports none. Default: ETHTOOL_GPERMADDR, with the real root only.
    std::function<QByteArray(const QString &ifname)> permanentAddress;
    // The ATA IDENTIFY fields of a disk device (/dev/<name>): model (40 bytes),
    // firmware (8), serial (20), in text order; false when the device cannot be
    // asked. Default: HDIO_GET_IDENTITY, with the real root only.
    std::function<bool(const QString &name, QByteArray *model, QByteArray *firmware, QByteArray *serial)> ataIdentify;
    // Whether udev is asked through libudev (real root only) before its database files.
    bool useLibudev = true;

    bool isRealRoot() const { return root == QLatin1String("/") || root.isEmpty(); }
    QString path(const QString &absolute) const;
};

// Disks of /sys/block in name order, without loop, ram, zram, device-mapper and
// any other device that lives under /sys/devices/virtual.
QStringList diskNames(const Sources &s);

// The device route's text: the first 4 characters of the model and of the firmware
// (fewer when a NUL comes first), then the 20 bytes of the serial as they are.
QByteArray deviceRouteText(const QByteArray &model, const QByteArray &firmware, const QByteArray &serial);
// The database route's text: 28 characters of spaces with the first 4 of the model
// at 0, the first 4 of the firmware at 4 and the first 20 of the serial at 8.
QByteArray databaseRouteText(const QByteArray &model, const QByteArray &firmware, const QByteArray &serial);

// The disk part: the ATA IDENTIFY of the first disk that answers; else the first
// disk with a serial number in the udev database or in sysfs; else empty.
QByteArray diskPart(const Sources &s);

// "%02X-%02X-%02X-%02X-%02X-%02X" of the first six bytes.
QByteArray formatAddress(const QByteArray &bytes);
// Interfaces of /sys/class/net whose device sits on PCI, in name order.
QStringList physicalInterfaces(const Sources &s);
// The adapter part: the addresses of the physical interfaces (permanent, else
// current), sorted and joined with "+"; with none, the node of a time-based UUID.
QByteArray adapterPart(const Sources &s);
// The node the time-based UUID carries: derived from the machine's identity (never
// the raw machine-id), with the multicast bit set; empty when there is none.
QByteArray stableNode(const Sources &s);

// Disk part + "|" + adapter part.
QByteArray identifierText(const Sources &s);
// 32 lowercase hexadecimal characters of the MD5 of `text`.
QString digest(const QByteArray &text);

} // namespace ulx::hdid
