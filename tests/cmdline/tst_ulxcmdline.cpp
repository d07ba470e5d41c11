#include "tests/common/testenv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestUlxCmdline : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

    struct ToolRun
    {
        int exitCode = -1;
        QList<QByteArray> lines;
    };

    ToolRun run(const QStringList &args, const QByteArray &input)
    {
        QProcess tool;
        tool.setProcessEnvironment(m_env.environment());
        tool.start(KTestEnv::binPath(QStringLiteral("ulxcmdline")), args);
        ToolRun result;
        if (!tool.waitForStarted(KTestEnv::scaled(10000)))
            return result;
        tool.write(input);
        tool.closeWriteChannel();
        if (!tool.waitForFinished(KTestEnv::scaled(20000))) {
            tool.kill();
            tool.waitForFinished();
            return result;
        }
        result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
        result.lines = tool.readAllStandardOutput().split('\n');
        if (!result.lines.isEmpty() && result.lines.back().isEmpty())
            result.lines.removeLast();
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY2(QFile::exists(KTestEnv::binPath(QStringLiteral("ulxcmdline"))), "ulxcmdline is not built");
    }

    // Tables of raw strings stay below the class: moc misreads them.
    void lines_data();
    void lines()
    {
        QFETCH(bool, program);
        QFETCH(QByteArray, input);
        const ToolRun result = run(program ? QStringList{QStringLiteral("--program")} : QStringList{}, input + '\n');
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.lines.size(), 1);
        QTEST(result.lines.front(), "output");
    }

    void badLinesDoNotStopTheTool();
};

// One input line, one exact output line.
void TestUlxCmdline::lines_data()
{
    QTest::addColumn<bool>("program"); // run with --program
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("dispatch line")
        << false << QByteArray(R"x("/run_plugin /plugin_name:kfoo -X=1 rest of line")x")
        << QByteArray(R"x({"arguments":["/run_plugin","/plugin_name:kfoo","-X=1","rest","of","line"],)x"
                      R"x("program":"","switchCount":3,"switches":{"plugin_name":"kfoo","run_plugin":"","x":"1"},)x"
                      R"x("remainder":"rest of line","rebuilt":"/plugin_name=kfoo /run_plugin /x=1 rest of line"})x");
    QTest::newRow("lone surrogate survives")
        << false << QByteArray(R"x("/a=\ud800 \"b c\"")x")
        << QByteArray(R"x({"arguments":["/a=\ud800","b c"],"program":"","switchCount":1,"switches":{"a":"\ud800"},)x"
                      R"x("remainder":"\"b c\"","rebuilt":"/a=\ud800 \"b c\""})x");
    QTest::newRow("CRLF line ending") << false << QByteArray("\"/a b\"\r")
                                      << QByteArray(R"x({"arguments":["/a","b"],"program":"","switchCount":1,)x"
                                                    R"x("switches":{"a":""},"remainder":"b","rebuilt":"/a b"})x");
    QTest::newRow("--program: the first argument is the program path")
        << true << QByteArray(R"x("\"C:\\Program Files\\x.exe\" /S tail")x")
        << QByteArray(R"x({"arguments":["C:\\Program Files\\x.exe","/S","tail"],"program":"C:\\Program Files\\x.exe",)x"
                      R"x("switchCount":2,"switches":{"s":""},"remainder":"tail","rebuilt":"/s tail"})x");
}

void TestUlxCmdline::badLinesDoNotStopTheTool()
{
    const QByteArray input = QByteArray(R"x("/a")x") + '\n'
        + "not json\n"                       // 2
        + R"x("")x" + '\n'                   // 3: parses to nothing
        + R"x("\u0000/a")x" + '\n'           // 4: NUL first, no argument
        + R"x("a" "b")x" + '\n'              // 5: two literals
        + R"x("a", "b")x" + '\n'             // 6: two strings
        + "\n"                               // 7: empty line
        + R"x("/last")x";                    // 8: no newline at the end
    const ToolRun result = run({}, input);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), 8);
    QVERIFY(result.lines.at(0).startsWith(R"x({"arguments":["/a"])x"));
    QVERIFY(result.lines.at(7).startsWith(R"x({"arguments":["/last"])x"));
    for (int i = 1; i <= 6; ++i) {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(result.lines.at(i), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, result.lines.at(i).constData());
        QCOMPARE(object.keys(), QStringList{QStringLiteral("error")});
        const QString message = object.value(QStringLiteral("error")).toString();
        QVERIFY2(message.startsWith(QStringLiteral("line %1: ").arg(i + 1)), qPrintable(message));
    }
    QVERIFY(result.lines.at(2).contains("parse failed"));
    QVERIFY(result.lines.at(3).contains("parse failed"));
    QVERIFY(result.lines.at(1).contains("not a JSON string literal"));
}

QTEST_GUILESS_MAIN(TestUlxCmdline)
#include "tst_ulxcmdline.moc"
