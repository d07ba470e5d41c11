#include "reportcore/kdynrecord.h"

#include "reportcore/kinforecord.h"

#include <QJsonArray>
#include <QUrlQuery>
#include <QtEndian>

namespace ulx::dynrecord {

namespace {

const QByteArray Magic("KDYN");
constexpr quint8 Version = 1;

template<typename T>
void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}
    template<typename T>
    bool get(T *value)
    {
        if (m_pos + qsizetype(sizeof(T)) > m_bytes.size())
            return false;
        *value = qFromLittleEndian<T>(m_bytes.constData() + m_pos);
        m_pos += sizeof(T);
        return true;
    }
    bool take(qsizetype n, QByteArray *out)
    {
        if (n < 0 || m_pos + n > m_bytes.size())
            return false;
        *out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return true;
    }
    bool atEnd() const { return m_pos == m_bytes.size(); }

private:
    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
};

} // namespace

QByteArray serialize(const Record &record)
{
    QByteArray out = Magic;
    put<quint8>(out, Version);
    put<quint8>(out, quint8(record.params.size()));
    for (const auto &p : record.params) {
        const QByteArray text = p.second.toUtf8().left(0xFFFF);
        put<quint8>(out, quint8(p.first));
        put<quint16>(out, quint16(text.size()));
        out.append(text);
    }
    const QByteArray guid = record.guid.toUtf8().left(0xFFFF);
    put<quint16>(out, quint16(guid.size()));
    out.append(guid);
    const QByteArray meta = record.meta.left(0xFFFF);
    put<quint16>(out, quint16(meta.size()));
    out.append(meta);
    put<quint8>(out, quint8(record.fields.size()));
    for (const Field &f : record.fields) {
        put<quint16>(out, quint16(f.id));
        put<quint8>(out, quint8(f.flag));
        put<quint32>(out, quint32(f.data.size()));
        out.append(f.data);
    }
    return out;
}

bool parse(const QByteArray &bytes, Record *record, QString *error)
{
    const auto fail = [error](const char *why) {
        if (error)
            *error = QString::fromLatin1(why);
        return false;
    };
    Reader r(bytes);
    QByteArray magic;
    quint8 version = 0, count = 0;
    if (!r.take(4, &magic) || magic != Magic || !r.get(&version) || version != Version)
        return fail("not a DYN1 record");
    Record out;
    if (!r.get(&count))
        return fail("truncated record");
    for (int i = 0; i < count; ++i) {
        quint8 id = 0;
        quint16 len = 0;
        QByteArray text;
        if (!r.get(&id) || !r.get(&len) || !r.take(len, &text))
            return fail("truncated record");
        out.params.append({id, QString::fromUtf8(text)});
    }
    quint16 len = 0;
    QByteArray guid;
    if (!r.get(&len) || !r.take(len, &guid) || !r.get(&len) || !r.take(len, &out.meta) || !r.get(&count))
        return fail("truncated record");
    out.guid = QString::fromUtf8(guid);
    for (int i = 0; i < count; ++i) {
        quint16 id = 0;
        quint8 flag = 0;
        quint32 size = 0;
        Field f;
        if (!r.get(&id) || !r.get(&flag) || !r.get(&size) || !r.take(qsizetype(size), &f.data))
            return fail("truncated record");
        f.id = id;
        f.flag = flag;
        out.fields.append(f);
    }
    if (!r.atEnd())
        return fail("trailing bytes after the record");
    *record = out;
    return true;
}

bool decodeLine(const QString &line, Record *record, QString *error)
{
    const QString text = line.trimmed();
    const qsizetype q = text.indexOf(QLatin1Char('?'));
    const QUrlQuery query(q >= 0 ? text.mid(q + 1) : text);
    if (query.queryItemValue(QStringLiteral("v")) != QLatin1String(Format)) {
        if (error)
            *error = QStringLiteral("not a DYN1 line");
        return false;
    }
    QByteArray bytes;
    if (!ulx::inforecord::decodeE1(query.queryItemValue(QStringLiteral("d")).toLatin1(), &bytes)) {
        if (error)
            *error = QStringLiteral("d= is not base64url text");
        return false;
    }
    return parse(bytes, record, error);
}

QJsonObject toJson(const Record &record)
{
    QJsonObject params;
    for (const auto &p : record.params)
        params.insert(QString::number(p.first), p.second);
    QJsonArray fields;
    for (const Field &f : record.fields) {
        QJsonObject o{{"id", f.id}, {"flag", f.flag}, {"hex", QString::fromLatin1(f.data.toHex())}};
        const char *d = f.data.constData();
        if (f.id == 4 && f.data.size() == 2)
            o.insert(QStringLiteral("value"), qFromLittleEndian<quint16>(d));
        else if ((f.id == 9 || f.id == 17) && f.data.size() == 4)
            o.insert(QStringLiteral("value"), qint64(qFromLittleEndian<quint32>(d)));
        else if (f.id == 64 && f.data.size() == 1)
            o.insert(QStringLiteral("value"), quint8(f.data.at(0)));
        else if (f.id == 129)
            o.insert(QStringLiteral("value"), QString::fromUtf8(f.data));
        else if (f.id == 21 && f.data.size() == 8) // as text: JSON numbers lose 64-bit precision
            o.insert(QStringLiteral("value"), QString::number(qFromLittleEndian<quint64>(d)));
        fields.append(o);
    }
    return {{"params", params}, {"guid", record.guid}, {"meta", QString::fromLatin1(record.meta.toHex())},
            {"fields", fields}};
}

} // namespace ulx::dynrecord
