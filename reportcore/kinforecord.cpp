#include "reportcore/kinforecord.h"

#include <QStringDecoder>
#include <QUrlQuery>
#include <QtEndian>

namespace ulx::inforecord {
namespace {

void appendU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void appendText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    appendU32(out, quint32(utf8.size()));
    out.append(utf8);
}

class Reader
{
public:
    explicit Reader(const QByteArray &b) : m_b(b) {}
    bool u32(quint32 *v)
    {
        if (m_b.size() - m_pos < 4)
            return false;
        *v = qFromLittleEndian<quint32>(m_b.constData() + m_pos);
        m_pos += 4;
        return true;
    }
    bool bytes(quint32 n, QByteArray *out)
    {
        if (quint64(m_b.size() - m_pos) < n)
            return false;
        *out = m_b.mid(m_pos, qsizetype(n));
        m_pos += qsizetype(n);
        return true;
    }
    bool u8(quint8 *v)
    {
        if (m_pos >= m_b.size())
            return false;
        *v = quint8(m_b.at(m_pos++));
        return true;
    }
    bool atEnd() const { return m_pos == m_b.size(); }

private:
    const QByteArray &m_b;
    qsizetype m_pos = 0;
};

bool validUtf8(const QByteArray &bytes, QString *text)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *text = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

QByteArray serializeS1(const QList<Pair> &pairs)
{
    QByteArray out;
    out.append(char(S1Version));
    appendU32(out, quint32(pairs.size()));
    for (const Pair &p : pairs) {
        appendText(out, p.key);
        if (p.value)
            appendText(out, *p.value);
        else
            appendU32(out, NullLength);
    }
    return out;
}

bool parseS1(const QByteArray &bytes, QList<Pair> *pairs, QString *error)
{
    Reader r(bytes);
    quint8 version = 0;
    quint32 count = 0;
    if (!r.u8(&version)) {
        *error = QStringLiteral("empty record");
        return false;
    }
    if (version != S1Version) {
        *error = QStringLiteral("unknown record version %1").arg(version);
        return false;
    }
    if (!r.u32(&count)) {
        *error = QStringLiteral("truncated record header");
        return false;
    }
    // Every pair takes at least 8 bytes: a count beyond that is a lie, not a reason to allocate.
    if (quint64(count) * 8 > quint64(bytes.size())) {
        *error = QStringLiteral("pair count %1 exceeds the record").arg(count);
        return false;
    }
    pairs->clear();
    for (quint32 i = 0; i < count; ++i) {
        quint32 keyLength = 0, valueLength = 0;
        QByteArray key, value;
        Pair p;
        if (!r.u32(&keyLength) || keyLength == NullLength || !r.bytes(keyLength, &key) || !r.u32(&valueLength)) {
            *error = QStringLiteral("truncated pair %1").arg(i);
            return false;
        }
        if (!validUtf8(key, &p.key)) {
            *error = QStringLiteral("pair %1: key is not UTF-8").arg(i);
            return false;
        }
        if (valueLength != NullLength) {
            if (!r.bytes(valueLength, &value)) {
                *error = QStringLiteral("truncated pair %1").arg(i);
                return false;
            }
            QString text;
            if (!validUtf8(value, &text)) {
                *error = QStringLiteral("pair %1: value is not UTF-8").arg(i);
                return false;
            }
            p.value = text;
        }
        pairs->append(p);
    }
    if (!r.atEnd()) {
        *error = QStringLiteral("trailing bytes after the record");
        return false;
    }
    return true;
}

QByteArray encodeE1(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool decodeE1(const QByteArray &text, QByteArray *bytes)
{
    for (char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                        || c == '_';
        if (!ok)
            return false;
    }
    if (text.size() % 4 == 1)
        return false; // no base64 text has this length
    const auto result = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    *bytes = *result;
    return true;
}

bool decodeLine(const QString &line, QList<Pair> *pairs, QString *error)
{
    const QString text = line.trimmed();
    QString data = text;
    const qsizetype q = text.indexOf(QLatin1Char('?'));
    if (q >= 0 || text.startsWith(QLatin1String("d=")) || text.startsWith(QLatin1String("v="))) {
        const QUrlQuery query(q >= 0 ? text.mid(q + 1) : text);
        if (query.hasQueryItem(QStringLiteral("v")) && query.queryItemValue(QStringLiteral("v")) != QLatin1String("D1S1E1")) {
            *error = QStringLiteral("unknown format %1").arg(query.queryItemValue(QStringLiteral("v")));
            return false;
        }
        if (!query.hasQueryItem(QStringLiteral("d"))) {
            *error = QStringLiteral("no d= in the line");
            return false;
        }
        data = query.queryItemValue(QStringLiteral("d"));
    }
    QByteArray bytes;
    if (!decodeE1(data.toLatin1(), &bytes) || data.toLatin1() != data.toUtf8()) {
        *error = QStringLiteral("d= is not base64url text");
        return false;
    }
    return parseS1(bytes, pairs, error);
}

} // namespace ulx::inforecord
