#include "suite/kxlogger.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QThread>

#include <memory>

// A writer process: logs `count` numbered lines under its own tag.
static int runWriter(const QString &tag, int count)
{
    for (int i = 0; i < count; ++i)
        KxLogger::writeInfo(QStringLiteral("Writer"), QStringLiteral("%1 line %2 padding-padding-padding").arg(tag).arg(i));
    KxLogger::onAboutToQuit();
    return 0;
}

class TestKxLogger : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;

    // Every line of the log and its rotated files, oldest file first.
    QStringList allLines() const
    {
        QStringList lines;
        for (int i = KxLogger::RotatedFiles; i >= 0; --i) {
            QFile f(i == 0 ? m_env->logPath() : m_env->logPath() + QLatin1Char('.') + QString::number(i));
            if (f.open(QIODevice::ReadOnly))
                lines += QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        return lines;
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
    }

    void lineShape_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("levelName");
        QTest::newRow("fixed") << int(KxLogger::Fixed()) << "FIXED";
        QTest::newRow("info") << int(KxLogger::Info()) << "INFO";
        QTest::newRow("warning") << int(KxLogger::Warning()) << "WARNING";
    }

    // Workers log in separate processes sharing one environment, so each
    // case reads its own line back from a fresh child process.
    void lineShape()
    {
        QFETCH(int, level);
        QFETCH(QString, levelName);
        QProcess child;
        child.setProcessEnvironment(m_env->environment());
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--message"), QString::number(level), QStringLiteral("Cat"),
                     QStringLiteral("Cat::op two\nlines")});
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitCode(), 0);
        const QString text = m_env->logText();
        static const QRegularExpression shape(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\d+ (\\w+) Cat Cat::op two\\\\nlines\n$"));
        const auto m = shape.match(text);
        QVERIFY2(m.hasMatch(), qPrintable(text));
        QCOMPARE(m.captured(1), levelName);
    }

    // Writers in several processes at once, with a small size bound so that the
    // log rotates many times while they write: every line arrives whole and once.
    void concurrentProcessesNeverInterleaveOrLose()
    {
        const int writers = 4;
        const int perWriter = 400;
        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("ULX_LOG_MAX_BYTES"), QStringLiteral("40000"));
        std::vector<std::unique_ptr<QProcess>> children;
        for (int w = 0; w < writers; ++w) {
            auto p = std::make_unique<QProcess>();
            p->setProcessEnvironment(env);
            p->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--writer"), QStringLiteral("w%1").arg(w), QString::number(perWriter)});
            children.push_back(std::move(p));
        }
        for (auto &p : children) {
            QVERIFY(p->waitForFinished(30000));
            QCOMPARE(p->exitCode(), 0);
        }

        // 4 * 400 lines of ~90 bytes = ~144 kB: more than one file, less than the four kept.
        QVERIFY(QFile::exists(m_env->logPath() + QStringLiteral(".1")));
        QVERIFY(QFileInfo(m_env->logPath()).size() <= 40000);
        static const QRegularExpression shape(
            QStringLiteral("^\\S+ \\S+ \\d+ INFO Writer (w\\d) line (\\d+) padding-padding-padding$"));
        QSet<QString> seen;
        const QStringList lines = allLines();
        for (const QString &line : lines) {
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("torn line: ") + line));
            const QString key = m.captured(1) + QLatin1Char('/') + m.captured(2);
            QVERIFY2(!seen.contains(key), qPrintable(QStringLiteral("duplicate: ") + key));
            seen.insert(key);
        }
        QCOMPARE(seen.size(), writers * perWriter);
    }

    void threadsOfOneProcess()
    {
        const int threads = 4;
        const int perThread = 250;
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([t] {
                for (int i = 0; i < perThread; ++i)
                    KxLogger::writeMsg(KxLogger::Info(), QStringLiteral("T"), QStringLiteral("t%1 %2").arg(t).arg(i));
            }));
            workers.back()->start();
        }
        for (auto &w : workers)
            QVERIFY(w->wait(20000));
        KxLogger::onAboutToQuit();
        // This process's logger resolved its file at the first test's world: read that one.
        QFile f(KxLogger::logFilePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        static const QRegularExpression shape(QStringLiteral("^\\S+ \\S+ \\d+ INFO T t(\\d) (\\d+)$"));
        QSet<QString> seen;
        for (const QString &line : lines) {
            const auto m = shape.match(line);
            if (m.hasMatch())
                seen.insert(m.captured(1) + QLatin1Char('/') + m.captured(2));
            else
                QVERIFY2(!line.contains(QStringLiteral(" INFO T ")), qPrintable(line));
        }
        QCOMPARE(seen.size(), threads * perThread);
    }

    // A log removed under a running process (a person cleaning up) is created again.
    void recreatesRemovedLog()
    {
        KxLogger::writeInfo(QStringLiteral("R"), QStringLiteral("before"));
        QVERIFY(QFile::remove(KxLogger::logFilePath()));
        KxLogger::writeInfo(QStringLiteral("R"), QStringLiteral("after"));
        QFile f(KxLogger::logFilePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QVERIFY(text.contains("INFO R after"));
        QVERIFY(!text.contains("INFO R before"));
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    if (argc == 5 && qstrcmp(argv[1], "--message") == 0) {
        KxLogger::writeMsg(QByteArray(argv[2]).toInt(), QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]));
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestKxLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kxlogger.moc"
