// The ulxreg tool, run as a real process against a private store.

#include "platform/registry/kregsettings.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QProcess>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestUlxReg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void queryListsKey();
    void deleteVerbs();
    void otherProcessWriteSeenByNextRead();
    void badInput_data();
    void badInput();

private:
    Run ulxreg(const QStringList &args) const;

    KTestEnv m_env;
};

Run TestUlxReg::ulxreg(const QStringList &args) const
{
    QProcess process;
    process.setProcessEnvironment(m_env.environment());
    process.start(KTestEnv::binPath(QStringLiteral("ulxreg")), args);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

void TestUlxReg::init()
{
    QVERIFY(m_env.isValid());
    QDir(ulx::paths::configDir()).removeRecursively();
}

void TestUlxReg::roundTrip_data()
{
    QTest::addColumn<QStringList>("typeAndData"); // switches after /v NAME
    QTest::addColumn<QString>("line");            // the value's line in query output
    QTest::addColumn<QVariant>("value");          // as KRegSettings reads it

    QTest::newRow("REG_SZ default type") << QStringList{"/d", "hello world"} << "    Name    REG_SZ    hello world"
                                         << QVariant("hello world");
    QTest::newRow("REG_DWORD decimal") << QStringList{"/t", "REG_DWORD", "/d", "42"} << "    Name    REG_DWORD    0x2a"
                                       << QVariant(42);
    QTest::newRow("REG_DWORD hex, type in lower case")
        << QStringList{"/t", "reg_dword", "/d", "0xFFFFFFFF"} << "    Name    REG_DWORD    0xffffffff" << QVariant(-1);
    QTest::newRow("REG_DWORD without data") << QStringList{"/t", "REG_DWORD"} << "    Name    REG_DWORD    0x0"
                                            << QVariant(0);
    QTest::newRow("REG_QWORD") << QStringList{"/t", "REG_QWORD", "/d", "0x10000000000"}
                               << "    Name    REG_QWORD    0x10000000000" << QVariant(qlonglong(1) << 40);
    QTest::newRow("REG_MULTI_SZ") << QStringList{"/t", "REG_MULTI_SZ", "/d", "a\\0b c"}
                                  << "    Name    REG_MULTI_SZ    a\\0b c" << QVariant(QStringList{"a", "b c"});
    QTest::newRow("REG_BINARY") << QStringList{"/t", "REG_BINARY", "/d", "00ff7a"} << "    Name    REG_BINARY    00FF7A"
                                << QVariant(QByteArray("\x00\xff\x7a", 3));
}

void TestUlxReg::roundTrip()
{
    QFETCH(QStringList, typeAndData);
    QFETCH(QString, line);
    QFETCH(QVariant, value);

    const QString key = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings");
    const Run add = ulxreg(QStringList{"add", key, "/v", "Name"} + typeAndData + QStringList{"/f"});
    QCOMPARE(add.err, QString());
    QCOMPARE(add.exitCode, 0);
    QCOMPARE(add.out, QStringLiteral("The operation completed successfully.\n"));

    const Run query = ulxreg({"query", key.toUpper(), "/v", "NAME"});
    QCOMPARE(query.exitCode, 0);
    QCOMPARE(query.out, QStringLiteral("\nHKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application "
                                       "Settings\n%1\n\n")
                            .arg(line));

    KRegSettings settings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
    settings.beginGroup("Application Settings");
    QCOMPARE(settings.value("Name"), value);
}

void TestUlxReg::queryListsKey()
{
    KRegSettings s("HKCU\\Software\\Q");
    s.setValue("b", "text");
    s.setValue("A", 10);
    s.setValue("Sub2/x", 1);
    s.setValue("sub1/Deep/y", 2);
    QCOMPARE(ulxreg({"add", "HKCU\\Software\\Q", "/ve", "/d", "dflt"}).exitCode, 0);

    const Run plain = ulxreg({"query", "hkcu\\software\\q"});
    QCOMPARE(plain.exitCode, 0);
    QCOMPARE(plain.out, QStringLiteral("\n"
                                       "HKEY_CURRENT_USER\\Software\\Q\n"
                                       "    (Default)    REG_SZ    dflt\n"
                                       "    A    REG_DWORD    0xa\n"
                                       "    b    REG_SZ    text\n"
                                       "\n"
                                       "HKEY_CURRENT_USER\\Software\\Q\\sub1\n"
                                       "HKEY_CURRENT_USER\\Software\\Q\\Sub2\n"
                                       "\n"));

    const Run recursive = ulxreg({"query", "HKCU\\Software\\Q\\SUB1", "/s"});
    QCOMPARE(recursive.exitCode, 0);
    QCOMPARE(recursive.out, QStringLiteral("\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\sub1\n"
                                           "\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\sub1\\Deep\n"
                                           "    y    REG_DWORD    0x2\n"
                                           "\n"));
}

void TestUlxReg::deleteVerbs()
{
    KRegSettings s("HKCU\\Software\\Del");
    s.setValue("keep", 1);
    s.setValue("drop", 2);
    s.setValue("Sub/x", 3);

    QCOMPARE(ulxreg({"delete", "HKCU\\Software\\Del", "/v", "DROP", "/f"}).exitCode, 0);
    QCOMPARE(s.childKeys(), QStringList{"keep"});

    QCOMPARE(ulxreg({"delete", "HKCU\\Software\\Del\\sub"}).exitCode, 0);
    QCOMPARE(s.childGroups(), QStringList());
    QCOMPARE(s.childKeys(), QStringList{"keep"});

    QCOMPARE(ulxreg({"add", "HKCU\\Software\\Del\\Empty"}).exitCode, 0);
    QCOMPARE(s.childGroups(), QStringList{"Empty"});

    QCOMPARE(ulxreg({"delete", "HKCU\\Software\\Del", "/va"}).exitCode, 0);
    QCOMPARE(s.childKeys(), QStringList());
    QVERIFY(s.keyExists());

    QCOMPARE(ulxreg({"delete", "HKCU\\Software\\Del", "/f"}).exitCode, 0);
    QVERIFY(!s.keyExists());
}

void TestUlxReg::otherProcessWriteSeenByNextRead()
{
    KRegSettings s("HKCU\\Software\\Seen");
    QCOMPARE(s.value("v", "none"), QVariant("none"));
    QCOMPARE(ulxreg({"add", "HKCU\\Software\\Seen", "/v", "v", "/d", "one"}).exitCode, 0);
    QCOMPARE(s.value("v", "none"), QVariant("one"));
    QCOMPARE(ulxreg({"add", "HKCU\\Software\\Seen", "/v", "v", "/t", "REG_DWORD", "/d", "2", "/f"}).exitCode, 0);
    QCOMPARE(s.value("v", "none"), QVariant(2));
}

void TestUlxReg::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message"); // part of the stderr text

    const QString key = QStringLiteral("HKCU\\Software\\Bad");
    QTest::newRow("no arguments") << QStringList{} << "No operation";
    QTest::newRow("unknown verb") << QStringList{"copy", key} << "Unknown operation \"copy\"";
    QTest::newRow("unknown hive") << QStringList{"query", "HKEY_CLASSES_ROOT\\x"} << "Invalid key name";
    QTest::newRow("bad type") << QStringList{"add", key, "/v", "n", "/t", "REG_FOO", "/d", "1"} << "Invalid type \"REG_FOO\"";
    QTest::newRow("DWORD not a number") << QStringList{"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "abc"}
                                        << "Invalid data \"abc\" for REG_DWORD";
    QTest::newRow("DWORD too big") << QStringList{"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}
                                   << "Invalid data \"4294967296\" for REG_DWORD";
    QTest::newRow("binary odd digits") << QStringList{"add", key, "/v", "n", "/t", "REG_BINARY", "/d", "abc"}
                                       << "for REG_BINARY";
    QTest::newRow("query missing key") << QStringList{"query", key + "\\Missing"} << "unable to find";
    QTest::newRow("query missing value") << QStringList{"query", key, "/v", "missing"} << "unable to find";
    QTest::newRow("delete missing value") << QStringList{"delete", key, "/v", "missing", "/f"} << "unable to find";
    QTest::newRow("delete hive root") << QStringList{"delete", "HKCU", "/f"} << "hive root";
    QTest::newRow("unknown option") << QStringList{"query", key, "/x"} << "Unknown option \"/x\"";
    QTest::newRow("option without value") << QStringList{"add", key, "/v"} << "\"/v\" needs a value";
    QTest::newRow("data without a name") << QStringList{"add", key, "/d", "x"} << "need /v NAME";
}

void TestUlxReg::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    KRegSettings("HKCU\\Software\\Bad").setValue("keep", 5);
    const Run run = ulxreg(args);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith("ulxreg: ERROR: "), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    // A failed command leaves the store as it was.
    KRegSettings after("HKCU\\Software\\Bad");
    QCOMPARE(after.allKeys(), QStringList{"keep"});
    QCOMPARE(after.value("keep"), QVariant(5));
}

QTEST_GUILESS_MAIN(TestUlxReg)
#include "tst_ulxreg.moc"
