// The ulxreg tool, run as a real process against a private store, and the store
// under several processes at once: ulxreg writers, a holder of its lock.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <thread>

class TestUlxReg : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

    struct Run
    {
        int exitCode = -1;
        QString out, err;
    };

    Run ulxreg(const QStringList &args) const
    {
        QProcess process;
        start(process, KTestEnv::binPath(QStringLiteral("ulxreg")), args);
        if (!process.waitForFinished(KTestEnv::scaled(30000)) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    void start(QProcess &process, const QString &program, const QStringList &args) const
    {
        process.setProcessEnvironment(m_env.environment());
        process.start(program, args);
    }

private slots:
    void init()
    {
        QVERIFY(m_env.isValid());
        QDir(ulx::paths::configDir()).removeRecursively();
    }

    void roundTrip_data()
    {
        QTest::addColumn<QStringList>("typeAndData"); // switches after /v NAME
        QTest::addColumn<QString>("line");            // the value's line in query output
        QTest::addColumn<QVariant>("value");          // as KRegSettings reads it
        QTest::newRow("REG_SZ default type") << QStringList{"/d", "hello world"} << "    Name    REG_SZ    hello world"
                                             << QVariant("hello world");
        QTest::newRow("REG_DWORD decimal") << QStringList{"/t", "REG_DWORD", "/d", "42"}
                                           << "    Name    REG_DWORD    0x2a" << QVariant(42);
        QTest::newRow("REG_DWORD hex, type in lower case") << QStringList{"/t", "reg_dword", "/d", "0xFFFFFFFF"}
                                                           << "    Name    REG_DWORD    0xffffffff" << QVariant(-1);
        QTest::newRow("REG_MULTI_SZ") << QStringList{"/t", "REG_MULTI_SZ", "/d", "a\\0b c"}
                                      << "    Name    REG_MULTI_SZ    a\\0b c" << QVariant(QStringList{"a", "b c"});
        QTest::newRow("REG_BINARY") << QStringList{"/t", "REG_BINARY", "/d", "00ff7a"}
                                    << "    Name    REG_BINARY    00FF7A" << QVariant(QByteArray("\x00\xff\x7a", 3));
    }

    void roundTrip()
    {
        QFETCH(QStringList, typeAndData);
        QFETCH(QString, line);
        QFETCH(QVariant, value);
        const QString key = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings");
        KRegSettings settings(key);
        settings.setValue("Name", "old");

        // /f replaces the value, and this process's next read sees the other process's write.
        const Run add = ulxreg(QStringList{"add", key, "/v", "Name"} + typeAndData + QStringList{"/f"});
        QCOMPARE(add.err, QString());
        QCOMPARE(add.exitCode, 0);
        QCOMPARE(add.out, QStringLiteral("The operation completed successfully.\n"));
        QCOMPARE(settings.value("Name"), value);

        const Run query = ulxreg({"query", key.toUpper(), "/v", "NAME"});
        QCOMPARE(query.exitCode, 0);
        QCOMPARE(query.out, "\nHKEY_CURRENT_USER" + key.mid(4) + '\n' + line + "\n\n");
    }

    void queryListsKey()
    {
        KRegSettings s("HKCU\\Software\\Q");
        for (const auto &[n, v] : {std::pair<QString, QVariant>{"b", "text"}, {"A", 10}, {"Sub2/x", 1}, {"sub1/y", 2}})
            s.setValue(n, v);
        QCOMPARE(ulxreg({"add", "HKCU\\Software\\Q", "/ve", "/d", "dflt"}).exitCode, 0);

        const Run plain = ulxreg({"query", "hkcu\\software\\q"});
        QCOMPARE(plain.exitCode, 0);
        QCOMPARE(plain.out, QStringLiteral("\nHKEY_CURRENT_USER\\Software\\Q\n"
                                           "    (Default)    REG_SZ    dflt\n"
                                           "    A    REG_DWORD    0xa\n"
                                           "    b    REG_SZ    text\n\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\sub1\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\Sub2\n\n"));
    }

    // Every run that meets a damaged store says so, also after another process has kept its copy.
    void damagedStoreIsSaid()
    {
        const QString path = KRegStore::filePath(KRegHive::CurrentUser);
        QDir().mkpath(ulx::paths::configDir());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"keys":{"Software":)");
        file.close();
        for (const QStringList &args : {QStringList{"query", "HKCU"}, QStringList{"add", "HKCU\\Software\\N"}}) {
            const Run run = ulxreg(args);
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(run.err.startsWith("ulxreg: WARNING: ") && run.err.contains(path + " is damaged")
                         && run.err.count('\n') == 1,
                     qPrintable(run.err));
        }
        QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
    }

    // Each command either does its work, or exits 1 with a message and leaves the store as it was.
    void commandEffects_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // part of the stderr text; empty: the command succeeds
        QTest::addColumn<QStringList>("remaining"); // allKeys of the key afterwards
        const QString key = QStringLiteral("HKCU\\Software\\Del");
        const QStringList all{"drop", "keep", "Sub/x"};
        QTest::newRow("delete one value") << QStringList{"delete", key, "/v", "DROP", "/f"} << ""
                                          << QStringList{"keep", "Sub/x"};
        QTest::newRow("delete a subkey") << QStringList{"delete", key + "\\sub"} << "" << QStringList{"drop", "keep"};
        QTest::newRow("delete all values") << QStringList{"delete", key, "/va"} << "" << QStringList{"Sub/x"};
        QTest::newRow("delete the key") << QStringList{"delete", key, "/f"} << "" << QStringList{};
        QTest::newRow("no arguments") << QStringList{} << "No operation" << all;
        QTest::newRow("unknown hive") << QStringList{"query", "HKEY_CLASSES_ROOT\\x"} << "Invalid key name" << all;
        QTest::newRow("bad type") << QStringList{"add", key, "/v", "n", "/t", "REG_FOO", "/d", "1"}
                                  << "Invalid type \"REG_FOO\"" << all;
        QTest::newRow("DWORD too big") << QStringList{"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}
                                       << "Invalid data \"4294967296\" for REG_DWORD" << all;
        QTest::newRow("delete missing value") << QStringList{"delete", key, "/v", "missing", "/f"} << "unable to find"
                                              << all;
        QTest::newRow("value name with a key separator") << QStringList{"add", key, "/v", "Sub/x", "/d", "4"}
                                                         << "Invalid value name \"Sub/x\"" << all;
        QTest::newRow("delete hive root") << QStringList{"delete", "HKCU", "/f"} << "hive root" << all;
    }

    void commandEffects()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QFETCH(QStringList, remaining);
        KRegSettings s("HKCU\\Software\\Del");
        for (const auto &[n, v] : {std::pair{"keep", 1}, {"drop", 2}, {"Sub/x", 3}})
            s.setValue(n, v);
        const Run run = ulxreg(args);
        QCOMPARE(run.exitCode, error.isEmpty() ? 0 : 1);
        if (error.isEmpty())
            QCOMPARE(run.err, QString());
        else
            QVERIFY2(run.err.startsWith("ulxreg: ERROR: ") && run.err.contains(error), qPrintable(run.err));
        QCOMPARE(s.allKeys(), remaining);
        QCOMPARE(s.keyExists(), !remaining.isEmpty());
    }

    // Four ulxreg processes and two threads here write at once and lose no value; a
    // reader meanwhile never meets a torn file nor sees the number of values fall.
    void writersAtOnceLoseNothing()
    {
        constexpr int kValues = 25;
        const QString key = QStringLiteral("HKCU\\Software\\Stress");
        KRegSettings stress(key);
        stress.setValue("pad", QString(300000, 'x')); // a large file makes each rewrite slow
        QProcess writers[4];
        for (int p = 0; p < 4; ++p) {
            start(writers[p], QStringLiteral("sh"),
                  {"-c", QStringLiteral("for i in $(seq %1); do \"$0\" add '%2' /v p%3_$i /d $i >/dev/null || exit 1; done")
                             .arg(kValues).arg(key).arg(p),
                   KTestEnv::binPath(QStringLiteral("ulxreg"))});
        }
        std::vector<std::thread> threads; // plain threads: visible to the thread sanitizer
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([t, key] {
                KRegSettings s(key);
                for (int i = 1; i <= kValues; ++i)
                    s.setValue(QStringLiteral("t%1_%2").arg(t).arg(i), QString::number(i));
            });
        }
        const auto running = [&writers] {
            return std::any_of(std::begin(writers), std::end(writers), [](QProcess &w) {
                w.waitForFinished(0);
                return w.state() != QProcess::NotRunning;
            });
        };
        QFile file(KRegStore::filePath(KRegHive::CurrentUser));
        int reads = 0;
        qsizetype lastCount = 0;
        QElapsedTimer timer;
        timer.start();
        while (running() && timer.elapsed() < KTestEnv::scaled(60000)) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
            file.close();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
            const qsizetype count = doc["keys"]["Software"]["keys"]["Stress"]["values"].toObject().size();
            QVERIFY2(count >= lastCount, qPrintable(QStringLiteral("%1 values after %2").arg(count).arg(lastCount)));
            lastCount = count;
            ++reads;
        }
        for (auto &thread : threads)
            thread.join();
        for (QProcess &writer : writers) {
            QVERIFY(writer.state() == QProcess::NotRunning);
            QCOMPARE(writer.exitCode(), 0);
        }
        QVERIFY2(reads >= 10, qPrintable(QStringLiteral("only %1 reads during the writes").arg(reads)));
        QCOMPARE(stress.childKeys().size(), 6 * kValues + 1);
        for (const char *prefix : {"p0", "p1", "p2", "p3", "t0", "t1"}) {
            for (int i = 1; i <= kValues; ++i)
                QCOMPARE(stress.value(QStringLiteral("%1_%2").arg(prefix).arg(i)), QVariant(QString::number(i)));
        }
    }

    // A writer waits for the store's lock, and goes ahead once its holder is killed.
    void writerWaitsForTheLock()
    {
        KRegSettings settings("HKCU\\Software\\Held");
        settings.setValue("before", 1);
        QProcess holder;
        start(holder, QStringLiteral("sh"), {"-c", "exec 9>\"$0\" && flock 9 && echo held && read line",
                                             KRegStore::filePath(KRegHive::CurrentUser) + ".lock"});
        QVERIFY(holder.waitForReadyRead(KTestEnv::scaled(10000)));
        QProcess writer;
        start(writer, KTestEnv::binPath(QStringLiteral("ulxreg")), {"add", settings.keyPath(), "/v", "after"});
        QVERIFY(!writer.waitForFinished(KTestEnv::scaled(300)));
        holder.kill();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        QVERIFY(writer.waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(settings.allKeys(), (QStringList{"after", "before"}));
        QCOMPARE(settings.value("before"), QVariant(1));
    }
};

QTEST_GUILESS_MAIN(TestUlxReg)
#include "tst_ulxreg.moc"
