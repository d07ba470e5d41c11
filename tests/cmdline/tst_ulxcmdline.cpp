#include "platform/cmdline/winargv.h"
#include "tests/common/testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

namespace {

struct ToolRun
{
    int exitCode = -1;
    QList<QByteArray> lines;
    QByteArray out;
};

} // namespace

class TestUlxCmdline : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lines_data();
    void lines();
    void badLinesDoNotStopTheTool();
    void programFlag();
    void randomTextsSurvive();
    void help();

private:
    ToolRun run(const QStringList &args, const QByteArray &input);

    KTestEnv m_env;
};

ToolRun TestUlxCmdline::run(const QStringList &args, const QByteArray &input)
{
    QProcess tool;
    tool.setProcessEnvironment(m_env.environment());
    tool.start(KTestEnv::binPath(QStringLiteral("ulxcmdline")), args);
    ToolRun result;
    if (!tool.waitForStarted(10000))
        return result;
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(20000)) {
        tool.kill();
        tool.waitForFinished();
        return result;
    }
    result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    result.out = tool.readAllStandardOutput();
    result.lines = result.out.split('\n');
    if (!result.lines.isEmpty() && result.lines.back().isEmpty())
        result.lines.removeLast();
    return result;
}

void TestUlxCmdline::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY2(QFile::exists(KTestEnv::binPath(QStringLiteral("ulxcmdline"))), "ulxcmdline is not built");
}

// One input line, one exact output line.
void TestUlxCmdline::lines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");

    QTest::newRow("dispatch line")
        << QByteArray(R"x("/run_plugin /plugin_name:kfoo -X=1 rest of line")x")
        << QByteArray(R"x({"arguments":["/run_plugin","/plugin_name:kfoo","-X=1","rest","of","line"],)x"
                      R"x("program":"","switchCount":3,"switches":{"plugin_name":"kfoo","run_plugin":"","x":"1"},)x"
                      R"x("remainder":"rest of line","rebuilt":"/plugin_name=kfoo /run_plugin /x=1 rest of line"})x");
    QTest::newRow("lone surrogate survives")
        << QByteArray(R"x("/a=\ud800 \"b c\"")x")
        << QByteArray(R"x({"arguments":["/a=\uD800","b c"],"program":"","switchCount":1,"switches":{"a":"\uD800"},)x"
                      R"x("remainder":"\"b c\"","rebuilt":"/a=\uD800 \"b c\""})x");
    QTest::newRow("non-BMP and non-ASCII as UTF-8 in, surrogates escaped out")
        << QByteArray("\"x \xF0\x9F\x98\x80 \xC3\xA9\"")
        << QByteArray("{\"arguments\":[\"x\",\"\\uD83D\\uDE00\",\"\xC3\xA9\"],\"program\":\"\",\"switchCount\":0,"
                      "\"switches\":{},\"remainder\":\"x \\uD83D\\uDE00 \xC3\xA9\",\"rebuilt\":\"x \\uD83D\\uDE00 \xC3\xA9\"}");
    QTest::newRow("escapes: backslashes, tab, control")
        << QByteArray(R"x(  "-x \\\\srv\\share \"a\tb\" \u0001\/"  )x")
        << QByteArray(R"x({"arguments":["-x","\\\\srv\\share","a\tb","\u0001/"],"program":"","switchCount":1,)x"
                      R"x("switches":{"x":""},"remainder":"\\\\srv\\share \"a\tb\" \u0001/",)x"
                      R"x("rebuilt":"/x \\\\srv\\share \"a\tb\" \u0001/"})x");
    QTest::newRow("short escapes")
        << QByteArray(R"x("a\r\n\b\f\"\\\/z")x")
        << QByteArray(R"x({"arguments":["a","\n\b\f\\/z"],"program":"","switchCount":0,"switches":{},)x"
                      R"x("remainder":"a\r\n\b\f\"\\/z","rebuilt":"a \"\n\b\f\\/z\""})x");
    QTest::newRow("CRLF line ending") << QByteArray("\"/a b\"\r")
                                      << QByteArray(R"x({"arguments":["/a","b"],"program":"","switchCount":1,)x"
                                                    R"x("switches":{"a":""},"remainder":"b","rebuilt":"/a b"})x");
    QTest::newRow("blanks alone") << QByteArray(R"x("   ")x")
                                  << QByteArray(R"x({"arguments":[""],"program":"","switchCount":0,"switches":{},)x"
                                                R"x("remainder":"   ","rebuilt":""})x");
}

void TestUlxCmdline::lines()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);

    const ToolRun result = run({}, input + '\n');
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), 1);
    QCOMPARE(result.lines.front(), output);
}

void TestUlxCmdline::badLinesDoNotStopTheTool()
{
    const QByteArray input = QByteArray(R"x("/a")x") + '\n'
        + "not json\n"                       // 2
        + R"x("")x" + '\n'                   // 3: parses to nothing
        + R"x("\u0000/a")x" + '\n'           // 4: NUL first, no argument
        + R"x("open)x" + '\n'                // 5: no closing quote
        + R"x("a" "b")x" + '\n'              // 6: two literals
        + R"x("\x")x" + '\n'                 // 7: invalid escape
        + R"x("\u12G4")x" + '\n'             // 8: bad \u
        + "\"\xC3\x28\"\n"                   // 9: invalid UTF-8
        + "\n"                               // 10: empty line
        + "\"a\tb\"\n"                       // 11: raw control character
        + R"x("/last")x";                    // 12: no newline at the end

    const ToolRun result = run({}, input);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), 12);

    QVERIFY(result.lines.at(0).startsWith(R"x({"arguments":["/a"])x"));
    QVERIFY(result.lines.at(11).startsWith(R"x({"arguments":["/last"])x"));
    for (int i = 1; i <= 10; ++i) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(result.lines.at(i), &error);
        QVERIFY2(error.error == QJsonParseError::NoError, result.lines.at(i).constData());
        const QJsonObject object = doc.object();
        QCOMPARE(object.keys(), QStringList{QStringLiteral("error")});
        const QString message = object.value(QStringLiteral("error")).toString();
        QVERIFY2(message.startsWith(QStringLiteral("line %1: ").arg(i + 1)), qPrintable(message));
    }
    QVERIFY(result.lines.at(2).contains("parse failed"));
    QVERIFY(result.lines.at(3).contains("parse failed"));
    QVERIFY(result.lines.at(1).contains("not a JSON string literal"));
}

void TestUlxCmdline::programFlag()
{
    const QByteArray input = QByteArray(R"x("\"C:\\Program Files\\x.exe\" /S tail")x") + '\n'
        + R"x("/a b")x" + '\n';
    const ToolRun result = run({QStringLiteral("--program")}, input);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), 2);
    QCOMPARE(result.lines.at(0),
             QByteArray(R"x({"arguments":["C:\\Program Files\\x.exe","/S","tail"],"program":"C:\\Program Files\\x.exe",)x"
                        R"x("switchCount":2,"switches":{"s":""},"remainder":"tail","rebuilt":"/s tail"})x"));
    // A first argument that is a switch is no program.
    QCOMPARE(result.lines.at(1),
             QByteArray(R"x({"arguments":["/a","b"],"program":"","switchCount":1,"switches":{"a":""},)x"
                        R"x("remainder":"b","rebuilt":"/a b"})x"));
}

namespace {

// Every code unit outside printable ASCII, and '"' and '\\', as a \\uxxxx escape.
QByteArray escapeAll(const QString &text)
{
    QByteArray out = "\"";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7f && u != u'"' && u != u'\\')
            out += char(u);
        else
            out += "\\u" + QByteArray::number(u, 16).rightJustified(4, '0');
    }
    return out + '"';
}

} // namespace

// Texts of every kind of character go in and come back unchanged: with no leading
// switch the remainder is the whole text, and the arguments are its split.
void TestUlxCmdline::randomTextsSurvive()
{
    const QList<char16_t> units = {u'"', u'\\', u' ', u'\t', u'\n', u'\r', 0x01, 0x1f, u'a', u'/', u'=',
                                   0xe9, 0x3000, 0xd800, 0xdbff, 0xdc00, 0xdfff, 0xfffe, 0xffff, 0x7f};
    QRandomGenerator rng(4711);
    QStringList texts;
    QByteArray input;
    for (int i = 0; i < 300; ++i) {
        QString text = QStringLiteral("x ");
        const int n = rng.bounded(0, 24);
        for (int k = 0; k < n; ++k)
            text += QChar(units.at(rng.bounded(qsizetype(0), units.size())));
        texts.append(text);
        input += escapeAll(text) + '\n';
    }

    const ToolRun result = run({}, input);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), texts.size());
    for (qsizetype i = 0; i < texts.size(); ++i) {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(result.lines.at(i), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, result.lines.at(i).constData());
        QCOMPARE(object.value(QStringLiteral("remainder")).toString(), texts.at(i));
        QStringList arguments;
        const QJsonArray array = object.value(QStringLiteral("arguments")).toArray();
        for (const QJsonValue &value : array)
            arguments.append(value.toString());
        QCOMPARE(arguments, ulx::winargv::splitCommandLine(texts.at(i)));
    }
}

void TestUlxCmdline::help()
{
    const ToolRun result = run({QStringLiteral("--help")}, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.contains("--program"));
    QVERIFY(result.out.contains("JSON"));

    const ToolRun wrong = run({QStringLiteral("--no-such-option")}, QByteArray());
    QVERIFY(wrong.exitCode != 0);
    QVERIFY(wrong.lines.isEmpty());
}

QTEST_GUILESS_MAIN(TestUlxCmdline)
#include "tst_ulxcmdline.moc"
