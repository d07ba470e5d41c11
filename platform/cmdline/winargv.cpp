#include "platform/cmdline/winargv.h"

#include <QStringView>

#include <algorithm>

namespace ulx::winargv {

namespace {

constexpr char16_t Quote = u'"';
constexpr char16_t Backslash = u'\\';

// Between later arguments only blank and tab separate.
bool isArgumentBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// The unquoted program path ends at any character at or below the blank.
bool endsProgramPath(char16_t c)
{
    return c <= u' ';
}

// Reads the text as a NUL-terminated string; index n (and past) reads as NUL.
class Cursor
{
public:
    explicit Cursor(QStringView text) : m_text(text) {}
    char16_t at(qsizetype i) const { return i < m_text.size() ? m_text[i].unicode() : u'\0'; }
    qsizetype size() const { return m_text.size(); }
    QStringView mid(qsizetype pos, qsizetype len) const { return m_text.mid(pos, len); }

private:
    QStringView m_text;
};

} // namespace

QStringList splitCommandLine(const QString &text)
{
    QStringView view(text);
    const qsizetype nul = view.indexOf(QChar(u'\0'));
    if (nul >= 0)
        view = view.left(nul);
    if (view.isEmpty())
        return {};

    const Cursor line(view);
    QStringList argv;
    qsizetype p = 0;

    // The program path.
    if (line.at(0) == Quote) {
        qsizetype end = 1;
        while (end < line.size() && line.at(end) != Quote)
            ++end;
        argv.append(line.mid(1, end - 1).toString());
        p = end < line.size() ? end + 1 : end;
    } else {
        qsizetype end = 0;
        while (end < line.size() && !endsProgramPath(line.at(end)))
            ++end;
        argv.append(line.mid(0, end).toString());
        p = end < line.size() ? end + 1 : end;
    }

    // The later arguments. Quoting never carries over from one argument to the
    // next: an argument only ends outside quotes (or at the end of the text).
    bool inQuotes = false;
    for (;;) {
        while (isArgumentBlank(line.at(p)))
            ++p;
        if (p >= line.size())
            break;

        QString arg;
        for (;;) {
            bool copy = true;
            qsizetype backslashes = 0;
            while (line.at(p) == Backslash) {
                ++p;
                ++backslashes;
            }
            if (line.at(p) == Quote) {
                if (backslashes % 2 == 0) {
                    if (inQuotes && line.at(p + 1) == Quote)
                        ++p; // the second quote of the pair is copied below
                    else
                        copy = false;
                    inQuotes = !inQuotes;
                }
                backslashes /= 2;
            }
            arg.append(QString(backslashes, QChar(Backslash)));

            const char16_t c = line.at(p);
            if (p >= line.size() || (!inQuotes && isArgumentBlank(c)))
                break;
            if (copy)
                arg.append(QChar(c));
            ++p;
        }
        argv.append(arg);
    }
    return argv;
}

QString quoteArgument(const QString &arg)
{
    QString text = arg;
    text.remove(QChar(u'\0'));

    const bool plain = !text.isEmpty()
        && std::none_of(text.cbegin(), text.cend(), [](QChar c) {
               return c == QChar(Quote) || isArgumentBlank(c.unicode());
           });
    if (plain)
        return text;

    QString quoted;
    quoted.reserve(text.size() + 2);
    quoted.append(QChar(Quote));
    qsizetype backslashes = 0;
    for (const QChar c : std::as_const(text)) {
        if (c == QChar(Backslash)) {
            ++backslashes;
            continue;
        }
        if (c == QChar(Quote)) {
            // 2n+1 backslashes and a quote read back as n backslashes and the quote.
            quoted.append(QString(2 * backslashes + 1, QChar(Backslash)));
        } else {
            quoted.append(QString(backslashes, QChar(Backslash)));
        }
        quoted.append(c);
        backslashes = 0;
    }
    // Backslashes before the closing quote must not escape it.
    quoted.append(QString(2 * backslashes, QChar(Backslash)));
    quoted.append(QChar(Quote));
    return quoted;
}

namespace {

QString quoteProgramPath(const QString &arg)
{
    QString text = arg;
    text.remove(QChar(u'\0'));

    const bool bare = !text.isEmpty() && text.front() != QChar(Quote)
        && std::none_of(text.cbegin(), text.cend(), [](QChar c) { return endsProgramPath(c.unicode()); });
    if (bare)
        return text;

    // Inside quotes the program path ends at the first quote and has no escape:
    // its own quote characters cannot be written and are lost.
    text.remove(QChar(Quote));
    return QChar(Quote) + text + QChar(Quote);
}

} // namespace

QString joinArguments(const QStringList &argv)
{
    if (argv.isEmpty())
        return QString();
    QString text = quoteProgramPath(argv.front());
    for (qsizetype i = 1; i < argv.size(); ++i) {
        text.append(QLatin1Char(' '));
        text.append(quoteArgument(argv.at(i)));
    }
    return text;
}

} // namespace ulx::winargv
