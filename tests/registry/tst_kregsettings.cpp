// KRegSettings and KRegStore in one process: names, groups, types, removal,
// damaged store files and access errors.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <latch>
#include <thread>

namespace {

const QString kKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");
const int kOwnType = int(KRegType::None); // setValue() without a type

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestKRegSettings : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

private slots:
    void init()
    {
        QVERIFY(m_env.isValid());
        QFile::remove(ulx::paths::configDir()); // the plain file accessErrors puts there
        QDir(ulx::paths::configDir()).removeRecursively();
    }

    void caseInsensitivePaths_data()
    {
        QTest::addColumn<QString>("writeKey");
        QTest::addColumn<QString>("writeName");
        QTest::addColumn<QString>("readKey");
        QTest::addColumn<QString>("readName");
        QTest::newRow("key case") << kKey << "Period"
                                  << "HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\OFFICE\\6.0\\UlxCloudSvr" << "Period";
        QTest::newRow("value name case") << kKey << "StartCount" << kKey << "STARTCOUNT";
        QTest::newRow("hive abbreviation") << kKey << "x" << "HKCU" + kKey.mid(17) << "x";
        QTest::newRow("slashes and doubled separators") << "HKCU\\Software\\\\T\\" << "x" << "HKCU/Software/T" << "x";
        QTest::newRow("non-ASCII names") << "HKCU\\Software\\Ärger" << "Größe" << "hkcu\\Software\\äRGER" << "GRÖßE";
    }

    void caseInsensitivePaths()
    {
        QFETCH(QString, writeKey);
        QFETCH(QString, writeName);
        QFETCH(QString, readKey);
        QFETCH(QString, readName);
        KRegSettings writer(writeKey);
        writer.setValue(writeName, "first");
        KRegSettings reader(readKey);
        QCOMPARE(reader.value(readName), QVariant("first"));

        // Writing through the other spelling replaces the one value; value and key keep their first spelling.
        reader.setValue(readName, "second");
        QCOMPARE(writer.value(writeName), QVariant("second"));
        QCOMPARE(reader.childKeys(), QStringList{writeName});
        KRegSettings parent(KRegKeyPath::parse(readKey).toString().section('\\', 0, -2));
        QCOMPARE(parent.childGroups(), QStringList{KRegKeyPath::parse(writeKey).keys().last()});
    }

    void groupsAreSubkeys_data()
    {
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("plainKey");
        QTest::addColumn<QString>("plainName");
        QTest::newRow("nested groups") << QStringList{"Application Settings", "b"} << "v"
                                       << kKey + "\\Application Settings\\b" << "v";
        QTest::newRow("group with separators") << QStringList{"a//b/"} << "v" << kKey + "\\A\\B" << "v";
        QTest::newRow("name with separator") << QStringList{} << "Common/ulxoffice/ICExceptExit"
                                             << kKey + "\\common\\ULXOFFICE" << "icexceptexit";
        QTest::newRow("group and name path") << QStringList{"x"} << "y\\z" << kKey + "\\x\\y" << "z";
    }

    void groupsAreSubkeys()
    {
        QFETCH(QStringList, groups);
        QFETCH(QString, name);
        QFETCH(QString, plainKey);
        QFETCH(QString, plainName);
        KRegSettings grouped(kKey);
        for (const QString &g : groups)
            grouped.beginGroup(g);
        KRegSettings plain(plainKey);
        grouped.setValue(name, 7);
        QCOMPARE(plain.value(plainName), QVariant(7));
        plain.setValue(plainName, 8);
        QCOMPARE(grouped.value(name), QVariant(8));

        // Leaving the groups (one endGroup too many is harmless) returns to the opened key.
        for (qsizetype i = 0; i <= groups.size(); ++i)
            grouped.endGroup();
        QVERIFY(!grouped.contains(plainName));
    }

    void typesRoundTrip_data()
    {
        QTest::addColumn<QVariant>("in");
        QTest::addColumn<int>("type"); // KRegType given to setValue()
        QTest::addColumn<QVariant>("out"); // its Qt type tells the stored type; invalid: refused
        const QVariant bytes(QByteArray("\x00\xff\x10z", 4));
        const QVariant big(qlonglong(9007199254740993)); // beyond a double's precision
        const QVariant list(QStringList{"a", "", "c d"});
        QTest::newRow("REG_SZ") << QVariant("hello, world") << kOwnType << QVariant("hello, world");
        QTest::newRow("REG_DWORD") << QVariant(42) << kOwnType << QVariant(42);
        QTest::newRow("REG_DWORD large uint") << QVariant(4000000000u) << kOwnType << QVariant(int(4000000000u));
        QTest::newRow("REG_DWORD bool") << QVariant(true) << kOwnType << QVariant(1);
        QTest::newRow("REG_QWORD") << big << kOwnType << big;
        QTest::newRow("REG_MULTI_SZ") << list << kOwnType << list;
        QTest::newRow("REG_BINARY") << bytes << kOwnType << bytes;
        QTest::newRow("REG_DWORD from text") << QVariant("0042") << int(KRegType::Dword) << QVariant(42);
        QTest::newRow("text not a DWORD") << QVariant("abc") << int(KRegType::Dword) << QVariant();
        QTest::newRow("invalid variant") << QVariant() << kOwnType << QVariant();
    }

    void typesRoundTrip()
    {
        QFETCH(QVariant, in);
        QFETCH(int, type);
        QFETCH(QVariant, out);
        KRegSettings writer("HKCU\\Software\\Types");
        if (type == kOwnType)
            writer.setValue("v", in);
        else
            writer.setValue("v", in, KRegType(type));
        QCOMPARE(writer.status(), out.isValid() ? KRegSettings::NoError : KRegSettings::FormatError);
        const QVariant read = KRegSettings("HKCU\\Software\\Types").value("v"); // a fresh object reads the file
        QCOMPARE(read.typeId(), out.typeId());
        QCOMPARE(read, out);
    }

    void removeSemantics_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("remaining"); // allKeys of the parent key afterwards
        const QStringList all{"K/Other/y", "K/Sub", "K/Sub/Deep/z", "K/Sub/x", "K/v1"};
        const auto without = [&all](const QStringList &gone) {
            QStringList left = all;
            for (const QString &g : gone)
                left.removeAll(g);
            return left;
        };
        QTest::newRow("a value") << "" << "v1" << without({"K/v1"});
        QTest::newRow("value and subkey of one name") << "" << "SUB" << without({"K/Sub", "K/Sub/Deep/z", "K/Sub/x"});
        QTest::newRow("empty name in a group removes it") << "Sub" << "" << without({"K/Sub/Deep/z", "K/Sub/x"});
        QTest::newRow("path to a value") << "" << "sub/X" << without({"K/Sub/x"});
        QTest::newRow("empty name removes the opened key") << "" << "" << QStringList{};
    }

    void removeSemantics()
    {
        QFETCH(QString, group);
        QFETCH(QString, name);
        QFETCH(QStringList, remaining);
        KRegSettings k("HKCU\\Software\\R\\K");
        for (const auto &[n, v] : {std::pair{"v1", 1}, {"Sub", 2}, {"Sub/x", 3}, {"Sub/Deep/z", 4}, {"Other/y", 5}})
            k.setValue(n, v);
        if (!group.isEmpty())
            k.beginGroup(group);
        k.remove(name);
        QCOMPARE(k.status(), KRegSettings::NoError);
        QCOMPARE(KRegSettings("HKCU\\Software\\R").allKeys(), remaining);
        QCOMPARE(k.keyExists(), !name.isEmpty());
    }

    void hivesAreSeparate()
    {
        KRegSettings("HKLM\\SOFTWARE\\Same").setValue("v", "machine");
        KRegSettings("HKCU\\SOFTWARE\\Same").setValue("v", "user");
        QCOMPARE(KRegSettings("HKEY_LOCAL_MACHINE\\Software\\Same").value("v"), QVariant("machine"));
        QCOMPARE(KRegSettings("HKEY_CURRENT_USER\\Software\\Same").value("v"), QVariant("user"));
    }

    void damagedStore_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("goodValueReadable");
        const QByteArray good = R"({"keys":{"Software":{"keys":{"D":{"values":{"good":{"type":"REG_DWORD","data":5})"
                                R"(}}}}}})";
        const auto withBad = [&good](const char *bad) { return good.left(good.size() - 6) + ',' + bad + "}}}}}}"; };
        QTest::newRow("truncated") << good.left(good.size() / 2) << false;
        QTest::newRow("subkey of the wrong type")
            << QByteArray(R"({"keys":{"Software":{"keys":{"D":"text","E":{}}}}})") << false;
        QTest::newRow("unknown value type") << withBad(R"("bad":{"type":"REG_FOO","data":1})") << true;
    }

    // Each damage event is said once, its file kept under a name of its own, and the next write repairs the store.
    void damagedStore()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, goodValueReadable);
        const QString path = KRegStore::filePath(KRegHive::CurrentUser);
        const QRegularExpression warning("registry\\.json is damaged.*a copy is kept");
        QTest::failOnWarning(warning);
        const QVariant good = goodValueReadable ? QVariant(5) : QVariant(-7);
        for (const QByteArray &damage : {content, content + ' '}) {
            writeFile(path, damage);
            QTest::ignoreMessage(QtWarningMsg, warning);
            KRegSettings s("HKCU\\Software\\D");
            QCOMPARE(s.value("bad", -7), QVariant(-7));
            QCOMPARE(s.value("good", -7), good);
            const KRegStore::Snapshot snapshot = KRegStore::read(KRegHive::CurrentUser);
            QVERIFY(snapshot.damaged);
            QCOMPARE(readFile(snapshot.damagedCopy), damage);

            s.setValue("fresh", "ok");
            QCOMPARE(s.status(), KRegSettings::NoError);
            QCOMPARE(s.value("fresh"), QVariant("ok"));
            QCOMPARE(s.value("good", -7), good);
            QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
        }
        QCOMPARE(QDir(ulx::paths::configDir()).entryList({"registry.json.damaged-*"}).size(), 2);
    }

    void largeHiveIsWarnedOnce()
    {
        const QByteArray big(KRegStore::LargeHiveBytes, 'x');
        writeFile(KRegStore::filePath(KRegHive::CurrentUser),
                  R"({"keys":{"Software":{"values":{"big":{"type":"REG_SZ","data":")" + big + R"("}}}}})");
        const QRegularExpression warning("registry\\.json holds \\d+ bytes, more than");
        QTest::failOnWarning(warning);
        QTest::ignoreMessage(QtWarningMsg, warning);
        KRegSettings s("HKCU\\Software");
        QCOMPARE(s.value("big").toString().size(), big.size());
        s.setValue("more", 1);
        QCOMPARE(s.value("more"), QVariant(1));
    }

    void accessErrors_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("blockStore");
        QTest::newRow("unknown hive") << "HKEY_CLASSES_ROOT\\x" << false;
        QTest::newRow("store directory unusable") << "HKCU\\Software\\W" << true;
    }

    void accessErrors()
    {
        QFETCH(QString, key);
        QFETCH(bool, blockStore);
        if (blockStore) // a plain file where the store's directory belongs
            writeFile(ulx::paths::configDir(), "not a directory");
        KRegSettings s(key);
        s.setValue("v", 1);
        QCOMPARE(s.status(), KRegSettings::AccessError);
        QVERIFY(!s.contains("v"));
        s.setValue("v2", QVariant()); // a later error does not replace the first
        QCOMPARE(s.status(), KRegSettings::AccessError);
    }

    void threadsWriteAtOnce()
    {
        constexpr int kThreads = 4, kValues = 50;
        std::latch start(kThreads);
        std::vector<std::thread> threads; // plain threads: visible to the thread sanitizer
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &start] {
                KRegSettings s("HKCU\\Software\\Threads");
                start.arrive_and_wait();
                for (int i = 0; i < kValues; ++i)
                    s.setValue(QStringLiteral("t%1_%2").arg(t).arg(i), t * 1000 + i);
            });
        }
        for (auto &thread : threads)
            thread.join();
        KRegSettings s("HKCU\\Software\\Threads");
        QCOMPARE(s.childKeys().size(), kThreads * kValues);
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kValues; ++i)
                QCOMPARE(s.value(QStringLiteral("t%1_%2").arg(t).arg(i)), QVariant(t * 1000 + i));
    }
};

QTEST_GUILESS_MAIN(TestKRegSettings)
#include "tst_kregsettings.moc"
