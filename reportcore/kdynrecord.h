#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// The dynamic report's record ("DYN1"), as the dynamic SDK stand-in sends it:
//
//   GET <server>?v=DYN1&d=<base64url without padding of the bytes below>
//
//   "KDYN"            4 bytes, magic
//   version           u8, 1
//   parameter count   u8; per parameter: id u8, length u16, UTF-8 text
//   GUID              length u16, UTF-8 text (read by the SDK from the key and
//                     value that parameters 10 and 11 name)
//   metadata          length u16, bytes
//   field count       u8; per field: id u16, flag u8, length u32, bytes
//
// All integers little-endian. The service's report carries six fields: 4 the
// application id (u16), 9 the packed version (u32), 17 the instance id (u32), 64 one
// byte 1, 129 the action text (UTF-8), 21 the distribution number (u64).
namespace ulx::dynrecord {

struct Field
{
    int id = 0;
    int flag = 0;
    QByteArray data;
    bool operator==(const Field &) const = default;
};

struct Record
{
    QList<QPair<int, QString>> params;
    QString guid;
    QByteArray meta;
    QList<Field> fields;
    bool operator==(const Record &) const = default;
};

inline constexpr char Format[] = "DYN1";

QByteArray serialize(const Record &record);
bool parse(const QByteArray &bytes, Record *record, QString *error);
// A whole URL or its query: checks "v=DYN1" and decodes "d=".
bool decodeLine(const QString &line, Record *record, QString *error);
// {"params":{"10":...},"guid":...,"meta":"<hex>","fields":[{"id":4,"flag":0,"hex":...,"value":...}]}
// with "value" the number (the text for 129) of the six known fields.
QJsonObject toJson(const Record &record);

} // namespace ulx::dynrecord
