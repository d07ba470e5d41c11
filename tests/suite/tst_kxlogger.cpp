// The suite logger: the shape of a line, many writers at once across a rotating
// log, a log that cannot rotate, Qt's messages, and a log removed under a writer.

#include "platform/registry/kregsettings.h"
#include "suite/kxlogger.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <memory>
#include <thread>

// A writer process: reads the settings store (whose warnings are Qt messages), then
// two threads log `count` numbered lines each under its own tag.
static int runWriter(const QString &tag, int count)
{
    KRegSettings(QStringLiteral("HKCU\\Software")).value(QStringLiteral("x"));
    const auto write = [&tag, count](int t) {
        for (int i = 0; i < count; ++i)
            KxLogger::writeInfo(QStringLiteral("Writer"),
                                QStringLiteral("%1.%2 line %3 padding-padding").arg(tag).arg(t).arg(i));
    };
    std::thread other(write, 1);
    write(0);
    other.join();
    KxLogger::onAboutToQuit();
    return 0;
}

class TestKxLogger : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;

    // A child of this program (see main()) with a log bound of `maxBytes`.
    std::unique_ptr<QProcess> startChild(const QStringList &arguments, int maxBytes = 8 << 20)
    {
        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("ULX_LOG_MAX_BYTES"), QString::number(maxBytes));
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), arguments);
        return p;
    }

private Q_SLOTS:
    void init() { m_env = std::make_unique<KTestEnv>(); }

    void lineShape_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("written"); // the line after time and process id
        const QString cut = QStringLiteral(" [... cut, %1 characters in all]");
        QTest::newRow("fixed, line breaks, category escaped") << int(KxLogger::Fixed()) << "Bad\nCat\x1b"
                                                              << "Cat::op two\nlines\r"
                                                              << "FIXED Bad\\nCat\\x1b Cat::op two\\nlines\\r";
        QTest::newRow("C0 controls, DEL, a backslash is no line break")
            << int(KxLogger::Info()) << "Cat"
            << QString("a\x1b[31mb") + QChar(0) + "c\td\x7f" + QChar(0x1f) + "C:\\n"
            << "INFO Cat a\\x1b[31mb\\x00c\\td\\x7f\\x1fC:\\\\n";
        QTest::newRow("C1 control, lone and paired surrogates")
            << int(KxLogger::Info()) << "Cat" << QString(QChar(0x9b)) + "x" + QChar(0xd800) + "y\U0001F600"
            << QString("INFO Cat \\u009bx\\ud800y\U0001F600");
        QTest::newRow("long message cut") << int(KxLogger::Info()) << "Cat" << QString(300000, 'a')
                                          << "INFO Cat " + QString(4096, 'a') + cut.arg(300000);
        QTest::newRow("escapes count toward the cut")
            << int(KxLogger::Info()) << "Cat" << QString(5000, QChar(1))
            << "INFO Cat " + QStringLiteral("\\x01").repeated(1024) + cut.arg(5000);
    }

    void lineShape()
    {
        QFETCH(int, level);
        QFETCH(QString, category);
        QFETCH(QString, message);
        QFETCH(QString, written);
        // Each row starts with the log removed under the writer (a person cleaning up): it is created again.
        QFile::remove(KxLogger::logFilePath());
        KxLogger::writeMsg(level, category, message);
        // This process's logger resolved its file at the first test's world: the text of that one.
        const QString text = QString::fromUtf8(ktest::readFile(KxLogger::logFilePath()));
        QVERIFY(text.endsWith('\n'));
        const QString line = text.chopped(1);
        static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (\\d+) "));
        const auto m = stamp.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(1).toLongLong(), QCoreApplication::applicationPid());
        QCOMPARE(line.mid(m.capturedLength()), written);
    }

    // Two threads in each of six processes at once, with a small size bound so that
    // the log rotates many times while they write: every line arrives whole and once.
    void concurrentWritersNeverInterleaveOrLose()
    {
        const int writers = 6, perThread = 130;
        std::vector<std::unique_ptr<QProcess>> children;
        for (int w = 0; w < writers; ++w)
            children.push_back(
                startChild({"--writer", QStringLiteral("w%1").arg(w), QString::number(perThread)}, 40000));
        for (auto &p : children) {
            QVERIFY(p->waitForFinished(KTestEnv::scaled(30000)));
            QCOMPARE(p->exitCode(), 0);
        }
        // 6 * 260 lines of ~80 bytes = ~125 kB: more than one file, less than the four kept.
        QVERIFY(QFile::exists(m_env->logPath() + QStringLiteral(".1")));
        QVERIFY(QFileInfo(m_env->logPath()).size() <= 40000);
        QStringList lines;
        for (int i = KxLogger::RotatedFiles; i >= 0; --i)
            lines += ktest::readLines(m_env->logPath() + (i ? QStringLiteral(".%1").arg(i) : QString()));
        static const QRegularExpression shape(
            QStringLiteral("^\\S+ \\S+ \\d+ INFO Writer (w\\d\\.\\d) line (\\d+) padding-padding$"));
        QSet<QString> seen;
        for (const QString &line : lines) {
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("torn line: ") + line));
            const QString key = m.captured(1) + QLatin1Char('/') + m.captured(2);
            QVERIFY2(!seen.contains(key), qPrintable(QStringLiteral("duplicate: ") + key));
            seen.insert(key);
        }
        QCOMPARE(seen.size(), writers * 2 * perThread);
    }

    // A log that cannot be rotated stops growing at twice its bound, and the process says so once.
    // The service's Qt logging categories reach the log: here the settings store's damage warning.
    void unrotatableLogIsBounded()
    {
        // Directories in the places of the rotated files: every rename fails, even for root.
        for (int i = 1; i <= KxLogger::RotatedFiles; ++i)
            QVERIFY(QDir().mkpath(m_env->logPath() + QStringLiteral(".%1/keep").arg(i)));
        QVERIFY(ktest::writeFile(m_env->configHome() + QStringLiteral("/ulxcloudsvr/registry.json"), "{\"keys\":"));
        const auto writer = startChild({QStringLiteral("--writer"), QStringLiteral("w"), QStringLiteral("100")}, 2000);
        QVERIFY(writer->waitForFinished(KTestEnv::scaled(30000)));
        QCOMPARE(writer->exitCode(), 0);
        const qint64 size = QFileInfo(m_env->logPath()).size();
        QVERIFY2(size > 2000 && size <= 4000, qPrintable(QString::number(size)));
        const QString err = QString::fromLocal8Bit(writer->readAllStandardError());
        QCOMPARE(err.count(QStringLiteral("cannot be rotated")), 1);
        QVERIFY2(err.contains(m_env->logPath()), qPrintable(err));
        static const QRegularExpression line(
            QStringLiteral(" WARNING ulx\\.registry KRegStore::read \\S+registry\\.json is damaged"));
        QVERIFY2(line.match(m_env->logText()).hasMatch(), qPrintable(m_env->logText()));
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    QCoreApplication app(argc, argv);
    TestKxLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kxlogger.moc"
