#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The information-collection record: an ordered list of key/value pairs (record
// kind "D1"), serialised by "S1" and encoded by "E1" into text that stands
// unescaped in a URL query:
//
//   S1 = version byte 0x01, u32 pair count, then per pair
//        u32 key length, key bytes, u32 value length (0xFFFFFFFF: null value), value bytes
//        (all integers little-endian, all text UTF-8; a null value has no bytes and is
//        distinct from an empty one)
//   E1 = base64url (RFC 4648 section 5) without padding
//
// README.md ("The record format") gives a test vector.
namespace ulx::inforecord {

struct Pair
{
    QString key;
    std::optional<QString> value; // nullopt: a null value
    bool operator==(const Pair &) const = default;
};

constexpr quint8 S1Version = 1;
constexpr quint32 NullLength = 0xFFFFFFFFu;
// A record whose whole URL would pass this is not built.
constexpr qsizetype MaxUrlBytes = 16 * 1024;

QByteArray serializeS1(const QList<Pair> &pairs);
// False (with a reason) for anything that is not exactly one S1 record.
bool parseS1(const QByteArray &bytes, QList<Pair> *pairs, QString *error);

QByteArray encodeE1(const QByteArray &bytes);
// False for text outside the base64url alphabet, padding included.
bool decodeE1(const QByteArray &text, QByteArray *bytes);

// Decodes the record of one line: a whole URL (its "d=" query item) or the "d=" text
// alone. Checks "v=D1S1E1" when the line names a "v".
bool decodeLine(const QString &line, QList<Pair> *pairs, QString *error);

} // namespace ulx::inforecord
