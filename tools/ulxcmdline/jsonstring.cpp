#include "tools/ulxcmdline/jsonstring.h"

#include <QStringDecoder>

namespace ulx::jsonstring {

namespace {

bool isJsonSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

bool fail(QString *error, const QString &message, qsizetype index)
{
    if (error)
        *error = message + QStringLiteral(" at column %1").arg(index + 1);
    return false;
}

} // namespace

bool decode(QByteArrayView line, QString *text, QString *error)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString in = utf8.decode(line);
    if (utf8.hasError()) {
        if (error)
            *error = QStringLiteral("the line is not valid UTF-8");
        return false;
    }

    qsizetype i = 0;
    const qsizetype n = in.size();
    while (i < n && isJsonSpace(in.at(i)))
        ++i;
    if (i >= n || in.at(i) != QLatin1Char('"'))
        return fail(error, QStringLiteral("not a JSON string literal: expected '\"'"), i);
    ++i;

    QString out;
    bool closed = false;
    while (i < n) {
        const QChar c = in.at(i);
        if (c == QLatin1Char('"')) {
            closed = true;
            ++i;
            break;
        }
        if (c.unicode() < 0x20)
            return fail(error, QStringLiteral("unescaped control character in the string"), i);
        if (c != QLatin1Char('\\')) {
            out.append(c);
            ++i;
            continue;
        }
        if (i + 1 >= n)
            return fail(error, QStringLiteral("unfinished escape"), i);
        const char16_t e = in.at(i + 1).unicode();
        switch (e) {
        case u'"': out.append(QLatin1Char('"')); break;
        case u'\\': out.append(QLatin1Char('\\')); break;
        case u'/': out.append(QLatin1Char('/')); break;
        case u'b': out.append(QChar(u'\b')); break;
        case u'f': out.append(QChar(u'\f')); break;
        case u'n': out.append(QChar(u'\n')); break;
        case u'r': out.append(QChar(u'\r')); break;
        case u't': out.append(QChar(u'\t')); break;
        case u'u': {
            char16_t unit = 0;
            for (qsizetype k = 0; k < 4; ++k) {
                const int v = i + 2 + k < n ? hexValue(in.at(i + 2 + k)) : -1;
                if (v < 0)
                    return fail(error, QStringLiteral("\\u must be followed by four hex digits"), i);
                unit = char16_t(unit * 16 + v);
            }
            out.append(QChar(unit));
            i += 4;
            break;
        }
        default:
            return fail(error, QStringLiteral("invalid escape"), i);
        }
        i += 2;
    }
    if (!closed)
        return fail(error, QStringLiteral("the string has no closing '\"'"), i);
    while (i < n && isJsonSpace(in.at(i)))
        ++i;
    if (i < n)
        return fail(error, QStringLiteral("text after the string literal"), i);

    if (text)
        *text = out;
    return true;
}

QByteArray encode(const QString &text)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(text.size() + 2);
    out.append('"');
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"': out.append("\\\""); continue;
        case u'\\': out.append("\\\\"); continue;
        case u'\b': out.append("\\b"); continue;
        case u'\f': out.append("\\f"); continue;
        case u'\n': out.append("\\n"); continue;
        case u'\r': out.append("\\r"); continue;
        case u'\t': out.append("\\t"); continue;
        default: break;
        }
        if (u < 0x20 || c.isSurrogate()) {
            out.append("\\u");
            out.append(hex[(u >> 12) & 0xF]);
            out.append(hex[(u >> 8) & 0xF]);
            out.append(hex[(u >> 4) & 0xF]);
            out.append(hex[u & 0xF]);
        } else if (u < 0x80) {
            out.append(char(u));
        } else {
            out.append(QString(c).toUtf8());
        }
    }
    out.append('"');
    return out;
}

} // namespace ulx::jsonstring
