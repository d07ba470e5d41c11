// The command-line model as the ulxcmdline tool prints it (one table of lines and what
// the tool makes of them), and in process what the tool cannot show: lookup and removal
// of switches, and the quoting that turns an argv back into a line.

#include "platform/cmdline/kxcommandline.h"
#include "platform/cmdline/winargv.h"
#include "tests/common/testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class TestUlxCmdline : public QObject
{
    Q_OBJECT

private slots:
    // Each row's expected object names only the fields the row is about; one that names them all
    // is the tool's whole line, fields in their fixed order. An expected "error" is a pattern of the
    // tool's message. A row of several lines is about the last: a bad line does not stop the tool.
    void lines_data();
    void lines()
    {
        QFETCH(bool, program);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QProcess tool;
        tool.start(KTestEnv::binPath(u"ulxcmdline"_s), program ? QStringList{u"--program"_s} : QStringList{});
        tool.write(input + '\n');
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(KTestEnv::scaled(20000)));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        const QList<QByteArray> output = tool.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(output.size(), input.count('\n') + 1);
        QJsonParseError error;
        const QJsonObject want = QJsonDocument::fromJson(expected, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, "the row's expected object is no JSON");
        const QJsonObject got = QJsonDocument::fromJson(output.back()).object();
        if (want.contains(u"error"_s)) {
            QCOMPARE(got.keys(), QStringList{u"error"_s});
            const QRegularExpression pattern(u"^(%1)$"_s.arg(want.value(u"error"_s).toString()));
            QVERIFY2(pattern.match(got.value(u"error"_s).toString()).hasMatch(), output.back());
            return;
        }
        if (want.size() == 6)
            QCOMPARE(output.back(), expected);
        QJsonObject seen;
        for (const QString &key : want.keys())
            seen.insert(key, got.value(key));
        QCOMPARE(QJsonDocument(seen).toJson(QJsonDocument::Compact),
                 QJsonDocument(want).toJson(QJsonDocument::Compact));
    }

    // Lookup ignores case; a dispatcher takes out its switch and passes the rest on.
    void lookupAndRemoval()
    {
        KxCommandLine line;
        QVERIFY(line.parse(u"/Run_Plugin /plugin_name:KFoo extra"_s, false));
        QVERIFY(line.hasSwitch(u"RUN_PLUGIN"_s));
        QCOMPARE(line.switchValue(u"Plugin_Name"_s), u"KFoo"_s);
        line.removeSwitch(u"run_PLUGIN"_s);
        QCOMPARE(line.toString(), u"/plugin_name=KFoo extra"_s);
    }

    // joinArguments gives any argv back through splitCommandLine, but for what a command line
    // cannot carry: U+0000, and the quotes of a first argument that the program-path rule
    // cannot hold (one that starts with a quote or also holds a blank or control character).
    void joinArguments_data()
    {
        QTest::addColumn<QStringList>("argv");
        QTest::addColumn<QStringList>("split");
        const QStringList later{u"p"_s, u""_s, u"a b"_s, u"t\tab"_s, u"q\"q"_s, u"bs\\"_s, u"bs\\ q"_s,
                                u"b\\\"c"_s, u"\\\\\""_s, u"x y\\\\"_s, u"nl\nx"_s, u"\xD800\x3000"_s};
        QTest::newRow("no argument") << QStringList{} << QStringList{};
        QTest::newRow("later arguments") << later << later;
        const QString nul(QChar(0));
        QTest::newRow("U+0000 is dropped") << QStringList{u"a"_s + nul + u"b"_s, nul, u"c"_s + nul}
                                           << QStringList{u"ab"_s, u""_s, u"c"_s};
        QTest::newRow("first with a control character") << QStringList{u"a\x01"_s} << QStringList{u"a\x01"_s};
        QTest::newRow("first with quote and blank")
            << QStringList{u"\"a\" b"_s, u"x"_s} << QStringList{u"a b"_s, u"x"_s};
    }

    void joinArguments()
    {
        QFETCH(QStringList, argv);
        QTEST(ulx::winargv::splitCommandLine(ulx::winargv::joinArguments(argv)), "split");
    }
};

// Tables of raw strings stay below the class: moc misreads them.
void TestUlxCmdline::lines_data()
{
    QTest::addColumn<bool>("program"); // run with --program
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, QStringView text, const char *expected, bool program = false) {
        const QByteArray array = QJsonDocument(QJsonArray{text.toString()}).toJson(QJsonDocument::Compact);
        QTest::newRow(name) << program << array.mid(1, array.size() - 2) << QByteArray(expected); // a JSON string
    };
    // The first argument: the program-path rule.
    row("blanks alone: one empty argument", u"    ", R"({"arguments":[""],"switchCount":0})");
    row("leading blank, then quoted", u" \"a b\"", R"({"arguments":["","a b"]})");
    row("newline ends the path only", u"a\nb c\nd", R"({"arguments":["a","b","c\nd"]})");
    row("US ends the path, DEL not", u"a\x7f" u"b\x1f" u"c", R"({"arguments":["a\u007fb","c"]})");
    row("bare path: no backslash rule", uR"(a\"b c)", R"({"arguments":["a\\\"b","c"]})");
    row("quoted path, next glued", uR"("a b"c d)", R"({"arguments":["a b","c","d"]})");
    row("quoted path unterminated", uR"("a b)", R"({"arguments":["a b"]})");
    row("backslash before quote ends path", uR"("a\" b c)", R"({"arguments":["a\\","b","c"]})");
    row("quoted path then escaped quote", uR"("a b"\"c d")", R"({"arguments":["a b","\"c","d"]})");
    // Later arguments.
    row("backslashes", uR"(p a\b c\ d\"e f\\"g h" i\\\"j k\\\\"l m" n)",
        R"({"arguments":["p","a\\b","c\\","d\"e","f\\g h","i\\\"j","k\\\\l m","n"]})");
    row("backslashes in quotes", uR"(p "a\\" b "c\" d" "\"e f\"" \"g h\")",
        R"({"arguments":["p","a\\","b","c\" d","\"e f\"","\"g","h\""]})");
    row("empty and doubled quotes", uR"(p a "" b h""i j"""k "l"m"n o" "c""d")",
        R"({"arguments":["p","a","","b","hi","j\"k","lmn o","c\"d"]})");
    row("only blank and tab separate", u"p\ta\t\tb\x3000" u"c \xD800",
        R"({"arguments":["p","a","b\u3000c","\ud800"]})");
    row("NUL ends the text", u"p a"_s + QChar(0) + u"b c"_s, R"({"arguments":["p","a"]})");
    // Switches: the leading run, names and values.
    row("dispatch line", u"/run_plugin /plugin_name:kfoo -X=1 rest of line",
        R"({"arguments":["/run_plugin","/plugin_name:kfoo","-X=1","rest","of","line"],"program":"","switchCount":3,)"
        R"("switches":{"plugin_name":"kfoo","run_plugin":"","x":"1"},"remainder":"rest of line",)"
        R"("rebuilt":"/plugin_name=kfoo /run_plugin /x=1 rest of line"})");
    row("separators", u"/a:b=c /cd:e /f:g /hi /j: /k= -l /mno /pqr= /s=t:u=v /=wx",
        R"({"switchCount":11,"switches":{"a:b":"c","cd":"e","f":"g","hi":"","j:":"","k=":"","l":"","mno":"",)"
        R"("pqr":"","s":"t:u=v","":"wx"}})");
    row("last occurrence wins", u"/Name:One /NAME /name:Two", R"({"switchCount":3,"switches":{"name":"Two"}})");
    row("single slash is no switch", u"/ /a", R"({"switchCount":0,"switches":{}})");
    row("empty argument ends the run", uR"(/a "" /b)", R"({"switchCount":1,"switches":{"a":""}})");
    row("a word ends the run", u"/a x /b=1", R"({"switchCount":1,"switches":{"a":""},"rebuilt":"/a x /b=1"})");
    row("first token by the path rule", uR"(/a"b c" d)",
        R"({"arguments":["/a\"b","c d"],"switchCount":1,"switches":{"a\"b":""}})");
    row("no program flag: first word is none", u"prog /a", R"({"program":"","switchCount":0})");
    row("--program: quoted path", uR"("C:\Program Files\x.exe" /S tail)",
        R"({"arguments":["C:\\Program Files\\x.exe","/S","tail"],"program":"C:\\Program Files\\x.exe",)"
        R"("switchCount":2,"switches":{"s":""},"remainder":"tail","rebuilt":"/s tail"})", true);
    row("--program: quoted switch, escaped quote", uR"(prog "/plugin_name:a b" /a=x\"y)",
        R"({"program":"prog","switchCount":3,"switches":{"plugin_name":"a b","a":"x\"y"}})", true);
    row("--program: word after", u"prog /a=1 x",
        R"({"program":"prog","switchCount":2,"switches":{"a":"1"},"remainder":"x","rebuilt":"/a=1 x"})", true);
    row("--program: first is a switch", u"/a=1 x", R"({"program":"","switchCount":1,"switches":{"a":"1"}})",
        true);
    row("--program: leading blank", u" /a x",
        R"({"arguments":["","/a","x"],"program":"","switchCount":2,"remainder":"x"})", true);
    // The remainder: cut from the text after the first place the last switch is written.
    row("keeps quoting and spacing", uR"(/a "x  y"   z\")", R"({"remainder":"\"x  y\"   z\\\""})");
    row("no switch: the whole text", u"  x /a", R"({"remainder":"  x /a"})");
    row("last switch written earlier", u"/x:/a /a rest", R"({"remainder":"/a rest"})");
    row("search is case-sensitive", u"/a /A x", R"({"remainder":"x"})");
    row("quoted last switch", uR"("/a b" rest)", R"({"remainder":" rest"})");
    row("last switch not in the text", uR"(/x "/a"b rest)", R"({"remainder":"\"/a\"b rest"})");
    row("switch at the end", u"/abc", R"({"remainder":"","rebuilt":"/abc "})");
    // The rebuilt line.
    row("values with white space quoted", u"/a \"/b=x y\" \"/c=x\ty\" \"/d=x\x3000y\" \"/e=x\ny\"",
        R"({"rebuilt":"/a \"/b=x y\" \"/c=x\ty\" \"/d=x\u3000y\" \"/e=x\ny\" "})");
    row("names in code-unit order", u"/b /A /a_ /_ /B1", R"({"rebuilt":"/_ /a /a_ /b /b1 "})");
    row("arguments with blanks quoted once", uR"(/a "x y" "\"x y" "x y\"" "" z)",
        R"({"rebuilt":"/a \"x y\" \"x y\" \"x y\"  z"})");
    // How the tool reads its lines.
    const auto raw = [](const char *name, const char *input, const char *expected) {
        QTest::newRow(name) << false << QByteArray(input) << QByteArray(expected);
    };
    raw("lone surrogate", R"x("/a=\ud800 \"b c\"")x",
        R"({"switches":{"a":"\ud800"},"rebuilt":"/a=\ud800 \"b c\""})");
    raw("CRLF line ending", "\"/a b\"\r", R"({"arguments":["/a","b"]})");
    raw("not JSON", "not json", R"({"error":"line 1: not a JSON string literal: .* near byte [0-9]+"})");
    raw("two strings", R"x("a", "b")x", R"({"error":"line 1: not a JSON string literal"})");
    raw("empty line after a good one", "\"/a\"\n", R"({"error":"line 2: not a JSON string literal"})");
    raw("empty text", R"x("")x", R"({"error":"line 1: parse failed: the command line is empty"})");
    raw("NUL first", R"x("\u0000/a")x",
        R"({"error":"line 1: parse failed: the command line holds no argument.*"})");
    raw("a good line after a bad one", "not json\n\"/last\"", R"({"arguments":["/last"],"switchCount":1})");
}

QTEST_GUILESS_MAIN(TestUlxCmdline)
#include "tst_ulxcmdline.moc"
