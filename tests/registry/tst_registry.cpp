// The settings store: KRegSettings in this process, the ulxreg tool as a real
// process on the same private store, and several writing processes at once.

#include "platform/atomicfile.h"
#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <thread>

namespace {

const QString kKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");
const int kOwnType = int(KRegType::None); // setValue() without a type

bool put(const QString &path, const QByteArray &bytes)
{
    return QDir().mkpath(QFileInfo(path).path()) && ulx::files::writeAtomically(path, bytes);
}

} // namespace

class TestRegistry : public QObject
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
        process.start(KTestEnv::binPath(QStringLiteral("ulxreg")), args); // in the world KTestEnv set up
        if (!process.waitForFinished(KTestEnv::scaled(30000)) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

private slots:
    void init()
    {
        QVERIFY(m_env.isValid());
        QFile::remove(ulx::paths::configDir()); // the plain file accessErrors puts there
        QDir(ulx::paths::configDir()).removeRecursively();
    }

    // Names match case-insensitively and keep their first spelling; groups and separators in names are subkeys.
    void names_data()
    {
        QTest::addColumn<QString>("writeKey");
        QTest::addColumn<QStringList>("groups"); // begun on the writer
        QTest::addColumn<QString>("writeName");
        QTest::addColumn<QString>("readKey");
        QTest::addColumn<QString>("readName"); // the same value
        const QString upper = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\OFFICE\\6.0\\UlxCloudSvr");
        QTest::newRow("key case") << kKey << QStringList{} << "Period" << upper << "Period";
        QTest::newRow("hive abbreviation")
            << "HKEY_LOCAL_MACHINE\\Software\\M" << QStringList{} << "x" << "HKLM\\Software\\M" << "x";
        QTest::newRow("non-ASCII names")
            << "HKCU\\Software\\Ärger" << QStringList{} << "Größe" << "hkcu\\Software\\äRGER" << "GRÖßE";
        QTest::newRow("nested groups") << kKey << QStringList{"Application Settings", "b"} << "v"
                                       << kKey + "\\Application Settings\\b" << "v";
        QTest::newRow("group with separators") << kKey << QStringList{"a//b/"} << "v" << kKey + "\\A\\B" << "v";
        QTest::newRow("name with separators") << kKey << QStringList{} << "Common/ulxoffice/ICExceptExit"
                                              << kKey + "\\common\\ULXOFFICE" << "icexceptexit";
    }

    void names()
    {
        QFETCH(QString, writeKey);
        QFETCH(QStringList, groups);
        QFETCH(QString, writeName);
        QFETCH(QString, readKey);
        QFETCH(QString, readName);
        KRegSettings writer(writeKey);
        for (const QString &g : groups)
            writer.beginGroup(g);
        writer.setValue(writeName, "first");
        KRegSettings reader(readKey);
        QCOMPARE(reader.value(readName), QVariant("first"));
        reader.setValue(readName, "second");
        QCOMPARE(writer.value(writeName), QVariant("second"));
        QCOMPARE(reader.childKeys(), QStringList{writeName.section(QRegularExpression("[/\\\\]"), -1)});

        // Leaving the groups (one endGroup too many is harmless) returns to the opened key.
        for (qsizetype i = 0; i <= groups.size(); ++i)
            writer.endGroup();
        QCOMPARE(writer.contains(writeName), groups.isEmpty());
    }

    // A value written by KRegSettings or by "ulxreg add", read back by both.
    void types_data()
    {
        QTest::addColumn<QStringList>("add"); // ulxreg's switches after /v v; none: KRegSettings writes
        QTest::addColumn<QVariant>("in");
        QTest::addColumn<int>("type");     // given to setValue()
        QTest::addColumn<QVariant>("out"); // its Qt type tells the stored type; "old": refused
        QTest::addColumn<QString>("shown"); // by ulxreg query
        const QVariant bytes(QByteArray("\x00\xff\x10z", 4));
        const QVariant big(qlonglong(9007199254740993)); // beyond a double's precision
        const QVariant list(QStringList{"a", "", "c d"});
        const QStringList none;
        QTest::newRow("REG_DWORD large uint")
            << none << QVariant(4000000000u) << kOwnType << QVariant(int(4000000000u)) << "REG_DWORD    0xee6b2800";
        QTest::newRow("REG_QWORD") << none << big << kOwnType << big << "REG_QWORD    0x20000000000001";
        QTest::newRow("REG_MULTI_SZ") << none << list << kOwnType << list << "REG_MULTI_SZ    a\\0\\0c d";
        QTest::newRow("REG_BINARY") << none << bytes << kOwnType << bytes << "REG_BINARY    00FF107A";
        QTest::newRow("REG_DWORD from text") << none << QVariant("0042") << int(KRegType::Dword) << QVariant(42)
                                             << "REG_DWORD    0x2a";
        QTest::newRow("text not a DWORD")
            << none << QVariant("abc") << int(KRegType::Dword) << QVariant("old") << "REG_SZ    old";
        QTest::newRow("ulxreg REG_SZ by default") << QStringList{"/d", "hello world"} << QVariant() << 0
                                                  << QVariant("hello world") << "REG_SZ    hello world";
        QTest::newRow("ulxreg REG_DWORD hex, type in lower case") << QStringList{"/t", "reg_dword", "/d", "0xFFFFFFFF"}
                                                                  << QVariant() << 0 << QVariant(-1)
                                                                  << "REG_DWORD    0xffffffff";
        QTest::newRow("ulxreg REG_MULTI_SZ") << QStringList{"/t", "REG_MULTI_SZ", "/d", "a\\0b c"} << QVariant() << 0
                                             << QVariant(QStringList{"a", "b c"}) << "REG_MULTI_SZ    a\\0b c";
        QTest::newRow("ulxreg REG_BINARY") << QStringList{"/t", "REG_BINARY", "/d", "00ff7a"} << QVariant() << 0
                                           << QVariant(QByteArray("\x00\xff\x7a", 3)) << "REG_BINARY    00FF7A";
    }

    void types()
    {
        QFETCH(QStringList, add);
        QFETCH(QVariant, in);
        QFETCH(int, type);
        QFETCH(QVariant, out);
        QFETCH(QString, shown);
        const QString key = kKey + QStringLiteral("\\Application Settings");
        KRegSettings writer(key);
        writer.setValue("v", "old");
        if (!add.isEmpty()) { // /f replaces the value
            const Run run = ulxreg(QStringList{"add", key, "/v", "v"} + add + QStringList{"/f"});
            QCOMPARE(run.err, QString());
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(run.out, QStringLiteral("The operation completed successfully.\n"));
        } else {
            if (type == kOwnType)
                writer.setValue("v", in);
            else
                writer.setValue("v", in, KRegType(type));
            QCOMPARE(writer.status(), out == QVariant("old") ? KRegSettings::FormatError : KRegSettings::NoError);
        }
        const QVariant read = KRegSettings(key).value("v"); // a fresh object reads the file
        QCOMPARE(read.typeId(), out.typeId());
        QCOMPARE(read, out);
        const Run query = ulxreg({"query", key.toUpper(), "/v", "V"});
        QCOMPARE(query.exitCode, 0);
        QCOMPARE(query.out, "\nHKEY_CURRENT_USER" + key.mid(17) + "\n    v    " + shown + "\n\n");
    }

    void queryListsKey()
    {
        KRegSettings s("HKCU\\Software\\Q");
        for (const auto &[n, v] : {std::pair<QString, QVariant>{"b", "text"}, {"A", 10}, {"Sub2/x", 1}, {"sub1/y", 2}})
            s.setValue(n, v);
        QCOMPARE(ulxreg({"add", "HKCU\\Software\\Q", "/ve", "/d", "dflt"}).exitCode, 0);
        QCOMPARE(KRegSettings("HKLM\\Software\\Q").allKeys(), QStringList{}); // hives are separate

        const Run plain = ulxreg({"query", "hkcu\\software\\q"});
        QCOMPARE(plain.exitCode, 0);
        QCOMPARE(plain.out, QStringLiteral("\nHKEY_CURRENT_USER\\Software\\Q\n"
                                           "    (Default)    REG_SZ    dflt\n"
                                           "    A    REG_DWORD    0xa\n"
                                           "    b    REG_SZ    text\n\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\sub1\n"
                                           "HKEY_CURRENT_USER\\Software\\Q\\Sub2\n\n"));
    }

    // KRegSettings::remove, and each ulxreg command: it does its work, or exits 1 with a
    // message and leaves the store as it was.
    void removeAndCommands_data()
    {
        QTest::addColumn<bool>("tool");
        QTest::addColumn<QStringList>("args"); // ulxreg's, or the group and the name given to remove()
        QTest::addColumn<QString>("error");    // part of ulxreg's stderr text; empty: the command succeeds
        QTest::addColumn<QStringList>("remaining"); // allKeys of the key afterwards
        const QString key = QStringLiteral("HKCU\\Software\\R\\K");
        const QStringList all{"Other/y", "Sub", "Sub/Deep/z", "Sub/x", "v1"};
        QTest::newRow("a value") << false << QStringList{"", "v1"} << "" << all.mid(0, 4);
        QTest::newRow("value and subkey of one name")
            << false << QStringList{"", "SUB"} << "" << QStringList{"Other/y", "v1"};
        QTest::newRow("empty name removes the opened key") << false << QStringList{"", ""} << "" << QStringList{};
        QTest::newRow("delete one value")
            << true << QStringList{"delete", key, "/v", "V1", "/f"} << "" << all.mid(0, 4);
        QTest::newRow("delete a subkey")
            << true << QStringList{"delete", key + "\\sub"} << "" << QStringList{"Other/y", "Sub", "v1"};
        QTest::newRow("delete all values") << true << QStringList{"delete", key, "/va"} << ""
                                           << QStringList{"Other/y", "Sub/Deep/z", "Sub/x"};
        QTest::newRow("delete the key") << true << QStringList{"delete", key, "/f"} << "" << QStringList{};
        QTest::newRow("no arguments") << true << QStringList{} << "No operation" << all;
        QTest::newRow("unknown hive")
            << true << QStringList{"query", "HKEY_CLASSES_ROOT\\x"} << "Invalid key name" << all;
        QTest::newRow("bad type") << true << QStringList{"add", key, "/v", "n", "/t", "REG_FOO", "/d", "1"}
                                  << "Invalid type \"REG_FOO\"" << all;
        QTest::newRow("DWORD too big")
            << true << QStringList{"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}
            << "Invalid data \"4294967296\" for REG_DWORD" << all;
        QTest::newRow("delete missing value") << true << QStringList{"delete", key, "/v", "missing", "/f"}
                                              << "unable to find" << all;
        QTest::newRow("value name with a key separator") << true << QStringList{"add", key, "/v", "Sub/x", "/d", "4"}
                                                         << "Invalid value name \"Sub/x\"" << all;
        QTest::newRow("delete hive root") << true << QStringList{"delete", "HKCU", "/f"} << "hive root" << all;
    }

    void removeAndCommands()
    {
        QFETCH(bool, tool);
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QFETCH(QStringList, remaining);
        KRegSettings k("HKCU\\Software\\R\\K");
        for (const auto &[n, v] : {std::pair{"v1", 1}, {"Sub", 2}, {"Sub/x", 3}, {"Sub/Deep/z", 4}, {"Other/y", 5}})
            k.setValue(n, v);
        if (tool) {
            const Run run = ulxreg(args);
            QCOMPARE(run.exitCode, error.isEmpty() ? 0 : 1);
            if (error.isEmpty())
                QCOMPARE(run.err, QString());
            else
                QVERIFY2(run.err.startsWith("ulxreg: ERROR: ") && run.err.contains(error), qPrintable(run.err));
        } else {
            k.beginGroup(args.at(0));
            k.remove(args.at(1));
            QCOMPARE(k.status(), KRegSettings::NoError);
            QCOMPARE(k.keyExists(), !args.at(1).isEmpty());
        }
        k.endGroup();
        QCOMPARE(k.allKeys(), remaining);
        QCOMPARE(k.keyExists(), !remaining.isEmpty());
    }

    void damagedStore_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("goodValueReadable");
        const QByteArray good = R"({"keys":{"Software":{"keys":{"D":{"values":{"good":{"type":"REG_DWORD","data":5})"
                                R"(}}}}}})";
        const auto withBad = [&good](const char *bad) { return good.left(good.size() - 6) + ',' + bad + "}}}}}}"; };
        QTest::newRow("truncated") << good.left(good.size() / 2) << false;
        QTest::newRow("unknown value type") << withBad(R"("bad":{"type":"REG_FOO","data":1})") << true;
    }

    // Each damage event is said once, its file kept under a name of its own, and the next write repairs the
    // store. Every ulxreg run that meets it says so too, also after another process has kept the copy.
    void damagedStore()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, goodValueReadable);
        const QString path = KRegStore::filePath(KRegHive::CurrentUser);
        const QRegularExpression warning("registry\\.json is damaged.*a copy is kept");
        QTest::failOnWarning(warning);
        const QVariant good = goodValueReadable ? QVariant(5) : QVariant(-7);
        const QList<QStringList> runs{{"query", "HKCU"}, {"add", "HKCU\\Software\\N"}};
        for (int i = 0; i < 2; ++i) {
            const QByteArray damage = content + QByteArray(i, ' ');
            QVERIFY(put(path, damage));
            QTest::ignoreMessage(QtWarningMsg, warning);
            KRegSettings s("HKCU\\Software\\D");
            QCOMPARE(s.value("bad", -7), QVariant(-7));
            QCOMPARE(s.value("good", -7), good);
            const KRegStore::Snapshot snapshot = KRegStore::read(KRegHive::CurrentUser);
            QVERIFY(snapshot.damaged);
            QFile copy(snapshot.damagedCopy);
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), damage);
            const Run run = ulxreg(runs.at(i));
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(run.err.startsWith("ulxreg: WARNING: ") && run.err.contains(path + " is damaged")
                         && run.err.count('\n') == 1,
                     qPrintable(run.err));

            s.setValue("fresh", "ok");
            QCOMPARE(s.status(), KRegSettings::NoError);
            QCOMPARE(s.value("fresh"), QVariant("ok"));
            QCOMPARE(s.value("good", -7), good);
            QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
        }
        QCOMPARE(QDir(ulx::paths::configDir()).entryList({"registry.json.damaged-*"}).size(), 2);
    }

    // The store's home follows the XDG rule: a value that is not absolute means the default, a ':'
    // path too (Qt would read it from its resources).
    void storeHomeIsAbsolute()
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        for (const char *value : {"config", ":config"}) {
            qputenv("XDG_CONFIG_HOME", value);
            QCOMPARE(ulx::paths::configDir(), QDir::homePath() + QStringLiteral("/.config/ulxcloudsvr"));
        }
        qputenv("XDG_CONFIG_HOME", saved);
    }

    void largeHiveIsWarnedOnce()
    {
        const QByteArray big(KRegStore::LargeHiveBytes, 'x');
        QVERIFY(put(KRegStore::filePath(KRegHive::CurrentUser),
                    R"({"keys":{"Software":{"values":{"big":{"type":"REG_SZ","data":")" + big + R"("}}}}})"));
        const QRegularExpression warning("registry\\.json holds \\d+ bytes, more than");
        QTest::failOnWarning(warning);
        QTest::ignoreMessage(QtWarningMsg, warning);
        KRegSettings s("HKCU\\Software");
        s.setValue("more", 1);
        QCOMPARE(s.value("big").toString().size(), big.size());
    }

    // An unknown hive, and a store whose directory cannot be made: writes fail, and a later
    // error does not replace the first.
    void accessErrors()
    {
        KRegSettings unknownHive("HKEY_CLASSES_ROOT\\x");
        QVERIFY(put(ulx::paths::configDir(), "not a directory")); // a plain file where the directory belongs
        KRegSettings unusableStore("HKCU\\Software\\W");
        for (KRegSettings *s : {&unknownHive, &unusableStore}) {
            s->setValue("v", 1);
            QCOMPARE(s->status(), KRegSettings::AccessError);
            QVERIFY(!s->contains("v"));
            s->setValue("v2", QVariant());
            QCOMPARE(s->status(), KRegSettings::AccessError);
        }
    }

    // Four ulxreg processes and two threads here write at once and lose no value; a reader
    // meanwhile never meets a torn file (it would read no value at all) nor sees their number fall.
    void writersAtOnceLoseNothing()
    {
        constexpr int kValues = 25;
        const QString key = QStringLiteral("HKCU\\Software\\Stress");
        KRegSettings stress(key);
        stress.setValue("pad", QString(300000, 'x')); // a large file makes each rewrite slow
        QProcess writers[4];
        const QString loop =
            QStringLiteral("for i in $(seq %1); do \"$0\" add '%2' /v p%3_$i /d $i >/dev/null || exit 1; done");
        for (int p = 0; p < 4; ++p)
            writers[p].start("sh", {"-c", loop.arg(kValues).arg(key).arg(p), KTestEnv::binPath("ulxreg")});
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
        qsizetype lastCount = 1;
        QElapsedTimer timer;
        timer.start();
        int reads = 0;
        for (; running() && timer.elapsed() < KTestEnv::scaled(60000); ++reads) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
            file.close();
            const qsizetype count = doc["keys"]["Software"]["keys"]["Stress"]["values"].toObject().size();
            QVERIFY2(count >= lastCount, qPrintable(QStringLiteral("%1 values after %2").arg(count).arg(lastCount)));
            lastCount = count;
        }
        for (auto &thread : threads)
            thread.join();
        for (QProcess &writer : writers) // ended, and with 0
            QVERIFY2(writer.state() == QProcess::NotRunning && writer.exitCode() == 0, writer.readAllStandardError());
        QVERIFY2(reads >= 10, qPrintable(QStringLiteral("only %1 reads during the writes").arg(reads)));
        QCOMPARE(stress.childKeys().size(), 6 * kValues + 1);
        QCOMPARE(stress.value("p3_" + QString::number(kValues)), QVariant(QString::number(kValues)));
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
