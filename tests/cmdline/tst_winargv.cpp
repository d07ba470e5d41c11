#include "platform/cmdline/winargv.h"

#include <QRandomGenerator>
#include <QTest>

using ulx::winargv::joinArguments;
using ulx::winargv::splitCommandLine;

namespace {

// Readable texts: raw strings for quotes and backslashes, s(...) for code units.
QString t(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QString s(char16_t unit)
{
    return QString(QChar(unit));
}

// Characters that stress the rules: quotes, backslashes, every kind of blank,
// control characters, switch characters, surrogates (paired and unpaired).
const QList<QString> &nastyPieces()
{
    static const QList<QString> pieces = {
        t("\""), t("\""), t("\\"), t("\\"), t("\\\\"), t(" "), t("\t"), t("\n"), t("\x01"), t("\x1f"),
        t("a"), t("Z"), t("/"), t("-"), t("="), t(":"), t("é"), s(0x3000), s(0xA0), s(0xD800),
        s(0xDC00), t("\xF0\x9F\x98\x80"), t("\x7f"), t("\"\""), t("\\\""),
    };
    return pieces;
}

QString randomArgument(QRandomGenerator &rng)
{
    const auto &pieces = nastyPieces();
    QString arg;
    const int n = rng.bounded(0, 9);
    for (int i = 0; i < n; ++i)
        arg += pieces.at(rng.bounded(qsizetype(0), pieces.size()));
    return arg;
}

// The program-path rule can hold a quote only in a bare path: one that is not
// empty, does not start with a quote and has no character at or below the blank.
bool expressibleAsProgramPath(const QString &arg)
{
    if (!arg.contains(QLatin1Char('"')))
        return true;
    return arg.front() != QLatin1Char('"')
        && std::none_of(arg.cbegin(), arg.cend(), [](QChar c) { return c.unicode() <= 0x20; });
}

} // namespace

class TestWinArgv : public QObject
{
    Q_OBJECT
private slots:
    // The table of raw strings stays below the class: moc misreads it.
    void split_data();
    void split()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(splitCommandLine(text), expected);
    }

    // What the round trips below cannot reach: no argument at all, and U+0000,
    // which ends a NUL-terminated command line and so is dropped from every argument.
    void joinEdges()
    {
        QCOMPARE(splitCommandLine(joinArguments({})), QStringList());
        QCOMPARE(splitCommandLine(joinArguments({t("a") + s(0) + t("b"), s(0), t("c") + s(0)})),
                 (QStringList{t("ab"), t(""), t("c")}));
    }

    void joinSplitRoundTrip()
    {
        QRandomGenerator rng(20240611);
        int exact = 0;
        for (int i = 0; i < 50000; ++i) {
            QStringList argv;
            const int argc = rng.bounded(1, 7);
            for (int k = 0; k < argc; ++k)
                argv.append(randomArgument(rng));
            if (!expressibleAsProgramPath(argv.front()))
                continue;
            ++exact;
            const QString text = joinArguments(argv);
            const QStringList back = splitCommandLine(text);
            if (back != argv) {
                qWarning() << "argv" << argv << "text" << text << "split" << back;
                QFAIL("joinArguments does not survive splitCommandLine");
            }
        }
        // The filter must leave most cases to check.
        QVERIFY2(exact > 30000, qPrintable(QString::number(exact)));
    }

    void lossyFirstArgument()
    {
        QRandomGenerator rng(7);
        int lossy = 0;
        for (int i = 0; i < 20000; ++i) {
            QStringList argv{randomArgument(rng) + t("\"") + randomArgument(rng)};
            const int more = rng.bounded(0, 4);
            for (int k = 0; k < more; ++k)
                argv.append(randomArgument(rng));
            if (expressibleAsProgramPath(argv.front()))
                continue;
            ++lossy;
            QStringList expected = argv;
            expected.front().remove(QLatin1Char('"'));
            const QStringList back = splitCommandLine(joinArguments(argv));
            if (back != expected) {
                qWarning() << "argv" << argv << "split" << back;
                QFAIL("a first argument the path rule cannot hold must lose exactly its quotes");
            }
        }
        QVERIFY2(lossy > 5000, qPrintable(QString::number(lossy)));
    }
};

void TestWinArgv::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    auto row = [](const char *name, const QString &text, const QStringList &expected) {
        QTest::newRow(name) << text << expected;
    };

    // Empty and blank texts.
    row("empty text gives no argument", t(""), {});
    row("blanks alone: one empty argument", t("    "), {t("")});
    row("two newlines: 2nd is an argument", t("\n\n"), {t(""), t("\n")});
    row("leading blanks, trailing blanks", t("  a  b  "), {t(""), t("a"), t("b")});
    row("leading control char", t("\x01" "a"), {t(""), t("a")});
    row("leading blank then quoted", t(R"x( "a b")x"), {t(""), t("a b")});

    // The program path.
    row("single word trailing blank", t("a "), {t("a")});
    row("tab separates", t("a\tb"), {t("a"), t("b")});
    row("newline ends program path", t("a\nb"), {t("a"), t("b")});
    row("unit separator ends program path", t("a\x1f" "b"), {t("a"), t("b")});
    row("DEL does not end program path", t("a\x7f" "b"), {t("a\x7f" "b")});
    row("newline after blank starts argument", t("a \nb"), {t("a"), t("\nb")});
    row("no backslash processing in path", t(R"x(a\"b c)x"), {t(R"x(a\"b)x"), t("c")});
    row("quote inside bare path is literal", t(R"x(a"b c")x"), {t(R"x(a"b)x"), t("c")});
    row("quoted path with blank", t(R"x("a b" c)x"), {t("a b"), t("c")});
    row("quoted path glued to next", t(R"x("a b"c)x"), {t("a b"), t("c")});
    row("unterminated quoted path", t(R"x("a b)x"), {t("a b")});
    row("empty quoted path", t(R"x("")x"), {t("")});
    row("three quotes then a", t(R"x("""a)x"), {t(""), t("a")});
    row("backslash before quote ends path", t(R"x("a\" b c)x"), {t(R"x(a\)x"), t("b"), t("c")});
    row("quoted path then empty arg", t(R"x("a""")x"), {t("a"), t("")});
    row("quoted path then escaped quote", t(R"x("a b"\"c d")x"), {t("a b"), t(R"x("c)x"), t("d")});

    // Backslashes in later arguments.
    row("backslash inside", t(R"x(p a\b)x"), {t("p"), t(R"x(a\b)x")});
    row("trailing backslash", t(R"x(p a\)x"), {t("p"), t(R"x(a\)x")});
    row("1 backslash + quote", t(R"x(p a\"b)x"), {t("p"), t(R"x(a"b)x")});
    row("2 backslashes + quote", t(R"x(p a\\"b c")x"), {t("p"), t(R"x(a\b c)x")});
    row("3 backslashes + quote", t(R"x(p a\\\"b)x"), {t("p"), t(R"x(a\"b)x")});
    row("4 backslashes + quote", t(R"x(p a\\\\"b c" d)x"), {t("p"), t(R"x(a\\b c)x"), t("d")});
    row("2 backslashes + unterminated quote", t(R"x(p \\")x"), {t("p"), t(R"x(\)x")});
    row("quoted, 2 backslashes close", t(R"x(p "a\\" b)x"), {t("p"), t(R"x(a\)x"), t("b")});
    row("quoted, escaped quote stays quoted", t(R"x(p "a\" b)x"), {t("p"), t(R"x(a" b)x")});
    row("quoted, escaped quotes around", t(R"x(p "\"a b\"")x"), {t("p"), t(R"x("a b")x")});
    row("escaped quotes, unquoted", t(R"x(p \"a b\")x"), {t("p"), t(R"x("a)x"), t(R"x(b")x")});
    row("2 backslashes + doubled quote in quotes", t(R"x(p "\\"")x"), {t("p"), t(R"x(\")x")});

    // Quotes in later arguments; a doubled quote inside quotes ends the quoting.
    row("empty argument", t(R"x(p "")x"), {t("p"), t("")});
    row("empty between words", t(R"x(p a "" b)x"), {t("p"), t("a"), t(""), t("b")});
    row("lone quote", t(R"x(p ")x"), {t("p"), t("")});
    row("3 quotes", t(R"x(p """)x"), {t("p"), t(R"x(")x")});
    row("4 quotes", t(R"x(p """")x"), {t("p"), t(R"x(")x")});
    row("3 quotes then blank ends argument", t(R"x(p """ a)x"), {t("p"), t(R"x(")x"), t("a")});
    row("doubled quote inside", t(R"x(p "a""b")x"), {t("p"), t(R"x(a"b)x")});
    row("doubled quote ends quoting", t(R"x(p "a""b c")x"), {t("p"), t(R"x(a"b)x"), t("c")});
    row("quote pairs inside quotes", t(R"x(p " "" ")x"), {t("p"), t(R"x( ")x"), t("")});
    row("triple quotes around word", t(R"x(p "this is """all""" in the same argument")x"),
        {t("p"), t(R"x(this is "all" in the same argument)x")});
    row("pair outside quotes", t(R"x(p a""b)x"), {t("p"), t("ab")});
    row("triple outside quotes", t(R"x(p a"""b)x"), {t("p"), t(R"x(a"b)x")});
    row("unterminated quote", t(R"x(p "a b)x"), {t("p"), t("a b")});
    row("quoted pieces join", t(R"x(p "a"b"c d")x"), {t("p"), t("abc d")});

    // Separators and other characters in later arguments.
    row("tabs separate", t("p\ta\t\tb"), {t("p"), t("a"), t("b")});
    row("newline does not separate", t("p a\nb"), {t("p"), t("a\nb")});
    row("ideographic space is not a separator", t("p a") + s(0x3000) + t("b"), {t("p"), t("a") + s(0x3000) + t("b")});
    row("lone high surrogate", t("p ") + s(0xD800) + t(" x"), {t("p"), s(0xD800), t("x")});

    // The text ends at U+0000, as the NUL-terminated original does.
    row("NUL ends the text", t("p a") + s(0) + t("b c"), {t("p"), t("a")});
    row("NUL first: no argument", s(0) + t("abc"), {});
}

QTEST_GUILESS_MAIN(TestWinArgv)
#include "tst_winargv.moc"
