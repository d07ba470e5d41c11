// KRegSettings and KRegStore in one process: registry-style names, groups,
// value types, removal, enumeration, damaged store files and write failures.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <latch>
#include <thread>

#include <sys/stat.h>

namespace {

const QString kKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The store file's inode: every real write replaces the file, so a new inode.
ino_t inodeOf(const QString &path)
{
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
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

private slots:
    void init();

    void caseInsensitivePaths_data();
    void caseInsensitivePaths();
    void groupsAreSubkeys_data();
    void groupsAreSubkeys();
    void typesRoundTrip_data();
    void typesRoundTrip();
    void explicitType();
    void unchangedValueIsNotRewritten_data();
    void unchangedValueIsNotRewritten();
    void removeSemantics_data();
    void removeSemantics();
    void hivesAreSeparate();
    void damagedStore_data();
    void damagedStore();
    void writeFailures_data();
    void writeFailures();
    void threadsWriteAtOnce();

private:
    KTestEnv m_env;
};

void TestKRegSettings::init()
{
    QVERIFY(m_env.isValid());
    QFile::remove(ulx::paths::configDir()); // left by a failed run of writeFailures
    QDir(ulx::paths::configDir()).removeRecursively();
}

void TestKRegSettings::caseInsensitivePaths_data()
{
    QTest::addColumn<QString>("writeKey");
    QTest::addColumn<QString>("writeName");
    QTest::addColumn<QString>("readKey");
    QTest::addColumn<QString>("readName");

    QTest::newRow("key case") << kKey << "Period"
                              << "HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\OFFICE\\6.0\\UlxCloudSvr" << "Period";
    QTest::newRow("value name case") << kKey << "StartCount" << kKey << "STARTCOUNT";
    QTest::newRow("hive abbreviation") << kKey << "x"
                                       << "HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr" << "x";
    QTest::newRow("slashes and doubled separators") << "HKCU\\Software\\\\T\\" << "x"
                                                    << "HKCU/Software/T" << "x";
    QTest::newRow("non-ASCII names") << "HKCU\\Software\\Ärger" << "Größe"
                                     << "HKCU\\Software\\äRGER" << "GRÖßE";
    QTest::newRow("machine hive abbreviation") << "HKEY_LOCAL_MACHINE\\SYSTEM\\Class" << "Id"
                                               << "hklm\\system\\class" << "id";
}

void TestKRegSettings::caseInsensitivePaths()
{
    QFETCH(QString, writeKey);
    QFETCH(QString, writeName);
    QFETCH(QString, readKey);
    QFETCH(QString, readName);

    KRegSettings writer(writeKey);
    writer.setValue(writeName, QStringLiteral("first"));
    QCOMPARE(writer.status(), KRegSettings::NoError);

    KRegSettings reader(readKey);
    QCOMPARE(reader.value(readName), QVariant(QStringLiteral("first")));
    QVERIFY(reader.contains(readName));

    // Writing through the other spelling replaces the one value, which keeps its
    // first spelling, and the key keeps its own.
    reader.setValue(readName, QStringLiteral("second"));
    QCOMPARE(writer.value(writeName), QVariant(QStringLiteral("second")));
    QCOMPARE(reader.childKeys(), QStringList{writeName});
    const QStringList writeKeys = KRegKeyPath::parse(writeKey).keys();
    KRegSettings parent(KRegKeyPath::parse(readKey).toString().section('\\', 0, -2));
    QCOMPARE(parent.childGroups(), QStringList{writeKeys.last()});
}

void TestKRegSettings::groupsAreSubkeys_data()
{
    QTest::addColumn<QStringList>("groups");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("plainKey");
    QTest::addColumn<QString>("plainName");
    QTest::addColumn<QString>("group"); // group() inside the groups

    QTest::newRow("one group") << QStringList{"Application Settings"} << "Period" << kKey + "\\Application Settings"
                               << "Period" << "Application Settings";
    QTest::newRow("nested groups") << QStringList{"a", "b"} << "v" << kKey + "\\a\\b" << "v" << "a/b";
    QTest::newRow("group with separators") << QStringList{"a//b/"} << "v" << kKey + "\\A\\B" << "v" << "a/b";
    QTest::newRow("group with backslash") << QStringList{"a\\b"} << "v" << kKey + "\\a\\b" << "V" << "a/b";
    QTest::newRow("name with separator") << QStringList{} << "Common/ulxoffice/ICExceptExit"
                                         << kKey + "\\common\\ULXOFFICE" << "icexceptexit" << "";
    QTest::newRow("group and name path") << QStringList{"x"} << "y/z" << kKey + "\\x\\y" << "z" << "x";
    QTest::newRow("empty group changes nothing") << QStringList{""} << "v" << kKey << "v" << "";
}

void TestKRegSettings::groupsAreSubkeys()
{
    QFETCH(QStringList, groups);
    QFETCH(QString, name);
    QFETCH(QString, plainKey);
    QFETCH(QString, plainName);
    QFETCH(QString, group);

    KRegSettings grouped(kKey);
    for (const QString &g : groups)
        grouped.beginGroup(g);
    QCOMPARE(grouped.group(), group);
    KRegSettings plain(plainKey);

    grouped.setValue(name, 7);
    QCOMPARE(plain.value(plainName), QVariant(7));
    QVERIFY(plain.keyExists());

    plain.setValue(plainName, 8);
    QCOMPARE(grouped.value(name), QVariant(8));

    // Leaving the groups returns to the opened key, where the value is not.
    for (qsizetype i = 0; i <= groups.size(); ++i) // one endGroup too many is harmless
        grouped.endGroup();
    QCOMPARE(grouped.group(), QString());
    if (plainKey.compare(kKey, Qt::CaseInsensitive) != 0)
        QVERIFY(!grouped.contains(plainName));
}

void TestKRegSettings::typesRoundTrip_data()
{
    QTest::addColumn<QVariant>("in");
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QVariant>("out");

    QTest::newRow("text") << QVariant("hello, world") << "REG_SZ" << QVariant("hello, world");
    QTest::newRow("empty text") << QVariant(QString("")) << "REG_SZ" << QVariant(QString(""));
    QTest::newRow("int") << QVariant(42) << "REG_DWORD" << QVariant(42);
    QTest::newRow("negative int") << QVariant(-1) << "REG_DWORD" << QVariant(-1);
    QTest::newRow("large uint") << QVariant(4000000000u) << "REG_DWORD" << QVariant(int(quint32(4000000000u)));
    QTest::newRow("bool") << QVariant(true) << "REG_DWORD" << QVariant(1);
    QTest::newRow("qlonglong") << QVariant(qlonglong(1) << 40) << "REG_QWORD" << QVariant(qlonglong(1) << 40);
    QTest::newRow("qlonglong beyond double precision")
        << QVariant(qlonglong(9007199254740993)) << "REG_QWORD" << QVariant(qlonglong(9007199254740993));
    QTest::newRow("string list") << QVariant(QStringList{"a", "", "c d"}) << "REG_MULTI_SZ"
                                 << QVariant(QStringList{"a", "", "c d"});
    QTest::newRow("list of texts") << QVariant(QVariantList{"x", "y"}) << "REG_MULTI_SZ"
                                   << QVariant(QStringList{"x", "y"});
    QTest::newRow("bytes") << QVariant(QByteArray("\x00\xff\x10z", 4)) << "REG_BINARY"
                           << QVariant(QByteArray("\x00\xff\x10z", 4));
    QTest::newRow("double as text") << QVariant(1.5) << "REG_SZ" << QVariant("1.5");
}

void TestKRegSettings::typesRoundTrip()
{
    QFETCH(QVariant, in);
    QFETCH(QString, storedType);
    QFETCH(QVariant, out);

    KRegSettings("HKCU\\Software\\Types").setValue("v", in);

    // A fresh object reads from the file; the type is what the file records.
    KRegSettings reader("HKCU\\Software\\Types");
    const QVariant read = reader.value("v");
    QCOMPARE(read.typeId(), out.typeId());
    QCOMPARE(read, out);

    const KRegStore::Snapshot snapshot = KRegStore::read(KRegHive::CurrentUser);
    QVERIFY(!snapshot.damaged);
    const KRegNode *node = snapshot.root.find({"Software", "Types"});
    QVERIFY(node && node->value("v"));
    QCOMPARE(kregTypeName(node->value("v")->type), storedType);
}

void TestKRegSettings::explicitType()
{
    KRegSettings s("HKCU\\Software\\Explicit");
    s.setValue("n", "0042", KRegType::Dword);
    QCOMPARE(s.value("n"), QVariant(42));
    s.setValue("q", 7, KRegType::Qword);
    QCOMPARE(s.value("q").typeId(), int(QMetaType::LongLong));
    QCOMPARE(s.status(), KRegSettings::NoError);
    s.setValue("bad", "abc", KRegType::Dword);
    QCOMPARE(s.status(), KRegSettings::FormatError);
    QVERIFY(!s.contains("bad"));
}

void TestKRegSettings::unchangedValueIsNotRewritten_data()
{
    QTest::addColumn<QVariant>("first");
    QTest::addColumn<QString>("secondName");
    QTest::addColumn<QVariant>("second");
    QTest::addColumn<bool>("rewritten");

    QTest::newRow("same DWORD") << QVariant(1) << "v" << QVariant(1u) << false;
    QTest::newRow("same text, other spelling of the name") << QVariant("a") << "V" << QVariant("a") << false;
    QTest::newRow("other data") << QVariant(1) << "v" << QVariant(2) << true;
    QTest::newRow("same number, other type") << QVariant(1) << "v" << QVariant("1") << true;
    QTest::newRow("list to text") << QVariant(QStringList{"a"}) << "v" << QVariant("a") << true;
}

void TestKRegSettings::unchangedValueIsNotRewritten()
{
    QFETCH(QVariant, first);
    QFETCH(QString, secondName);
    QFETCH(QVariant, second);
    QFETCH(bool, rewritten);

    KRegSettings s("HKCU\\Software\\Same");
    s.setValue("v", first);
    const QString path = KRegStore::filePath(KRegHive::CurrentUser);
    const ino_t before = inodeOf(path);
    QVERIFY(before != 0);
    s.setValue(secondName, second);
    QCOMPARE(s.status(), KRegSettings::NoError);
    QCOMPARE(inodeOf(path) != before, rewritten);
    // Either way the store holds the second value, in the second value's type.
    const QVariant read = KRegSettings("HKCU\\Software\\Same").value("v");
    const QVariant expected = KRegValue::fromVariant("v", second).type == KRegType::Dword ? QVariant(second.toInt()) : second;
    QCOMPARE(read.typeId(), expected.typeId());
    QCOMPARE(read, expected);
}

void TestKRegSettings::removeSemantics_data()
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
    QTest::newRow("empty name in a group removes the group") << "Sub" << "" << without({"K/Sub/Deep/z", "K/Sub/x"});
    QTest::newRow("path to a value") << "" << "sub/X" << without({"K/Sub/x"});
    QTest::newRow("value in a group") << "Other" << "y" << without({"K/Other/y"});
    QTest::newRow("missing value") << "" << "nothing" << all;
    QTest::newRow("missing group") << "Nothing" << "" << all;
    QTest::newRow("empty name removes the opened key") << "" << "" << QStringList{};
}

void TestKRegSettings::removeSemantics()
{
    QFETCH(QString, group);
    QFETCH(QString, name);
    QFETCH(QStringList, remaining);

    KRegSettings k("HKCU\\Software\\R\\K");
    k.setValue("v1", 1);
    k.setValue("Sub", 2);
    k.setValue("Sub/x", 3);
    k.setValue("Sub/Deep/z", 4);
    k.setValue("Other/y", 5);

    if (!group.isEmpty())
        k.beginGroup(group);
    k.remove(name);
    QCOMPARE(k.status(), KRegSettings::NoError);

    QCOMPARE(KRegSettings("HKCU\\Software\\R").allKeys(), remaining);
    if (name.isEmpty())
        QVERIFY(!k.keyExists());
}

void TestKRegSettings::hivesAreSeparate()
{
    KRegSettings("HKLM\\SOFTWARE\\Same").setValue("v", "machine");
    KRegSettings("HKCU\\SOFTWARE\\Same").setValue("v", "user");
    QCOMPARE(KRegSettings("HKEY_LOCAL_MACHINE\\Software\\Same").value("v"), QVariant("machine"));
    QCOMPARE(KRegSettings("HKEY_CURRENT_USER\\Software\\Same").value("v"), QVariant("user"));
    QVERIFY(QFile::exists(KRegStore::filePath(KRegHive::LocalMachine)));
    QVERIFY(KRegStore::filePath(KRegHive::LocalMachine) != KRegStore::filePath(KRegHive::CurrentUser));

    // The organisation/application form lives in the user's hive under Software.
    KRegSettings("corvanta", "Office").setValue("Lang", "en");
    QCOMPARE(KRegSettings("HKCU\\Software\\Corvanta\\office").value("lang"), QVariant("en"));
    QCOMPARE(KRegSettings("corvanta", "Office").keyPath(), QStringLiteral("HKEY_CURRENT_USER\\Software\\corvanta\\Office"));
    QCOMPARE(KRegSettings("corvanta", "").keyPath(),
             QStringLiteral("HKEY_CURRENT_USER\\Software\\corvanta\\OrganizationDefaults"));
}

void TestKRegSettings::damagedStore_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("goodValueReadable");

    const QByteArray good = R"({"keys":{"Software":{"keys":{"D":{"values":{"good":{"type":"REG_DWORD","data":5}}}}}}})";
    QTest::newRow("truncated") << good.left(good.size() / 2) << false;
    QTest::newRow("garbage") << QByteArray("\x01\x02garbage\xff{{", 12) << false;
    QTest::newRow("top level array") << QByteArray("[1,2,3]") << false;
    QTest::newRow("keys of the wrong type") << QByteArray(R"({"keys":5})") << false;
    QTest::newRow("subkey of the wrong type")
        << QByteArray(R"({"keys":{"Software":{"keys":{"D":"text","E":{}}}}})") << false;
    QTest::newRow("unknown value type")
        << QByteArray(R"({"keys":{"Software":{"keys":{"D":{"values":{"good":{"type":"REG_DWORD","data":5},)"
                      R"("bad":{"type":"REG_FOO","data":1}}}}}}})")
        << true;
    QTest::newRow("binary not hex")
        << QByteArray(R"({"keys":{"Software":{"keys":{"D":{"values":{"good":{"type":"REG_DWORD","data":5},)"
                      R"("bad":{"type":"REG_BINARY","data":"zz"}}}}}}})")
        << true;
}

void TestKRegSettings::damagedStore()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, goodValueReadable);

    const QString path = KRegStore::filePath(KRegHive::CurrentUser);
    writeFile(path, content);

    KRegSettings s("HKCU\\Software\\D");
    QCOMPARE(s.value("bad", -7), QVariant(-7));
    QCOMPARE(s.value("good", -7), goodValueReadable ? QVariant(5) : QVariant(-7));
    QVERIFY(KRegStore::read(KRegHive::CurrentUser).damaged);

    // The next write succeeds, keeps the damaged file aside and leaves a clean store.
    s.setValue("fresh", "ok");
    QCOMPARE(s.status(), KRegSettings::NoError);
    QCOMPARE(s.value("fresh"), QVariant("ok"));
    QCOMPARE(readFile(path + ".damaged"), content);
    const KRegStore::Snapshot after = KRegStore::read(KRegHive::CurrentUser);
    QVERIFY(!after.damaged);
    QCOMPARE(s.value("good", -7), goodValueReadable ? QVariant(5) : QVariant(-7));
    QVERIFY(QJsonDocument::fromJson(readFile(path)).isObject());
}

void TestKRegSettings::writeFailures_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("blockStore");
    QTest::addColumn<int>("status");

    QTest::newRow("unknown hive") << "HKEY_CLASSES_ROOT\\x" << QVariant(1) << false << int(KRegSettings::AccessError);
    QTest::newRow("store directory unusable") << "HKCU\\Software\\W" << QVariant(1) << true
                                              << int(KRegSettings::AccessError);
    QTest::newRow("map has no registry form") << "HKCU\\Software\\W" << QVariant(QVariantMap{{"a", 1}}) << false
                                              << int(KRegSettings::FormatError);
    QTest::newRow("invalid variant") << "HKCU\\Software\\W" << QVariant() << false << int(KRegSettings::FormatError);
}

void TestKRegSettings::writeFailures()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(bool, blockStore);
    QFETCH(int, status);

    if (blockStore) // a plain file where the store's directory belongs
        writeFile(ulx::paths::configDir(), "not a directory");

    KRegSettings s(key);
    s.setValue("v", value);
    QCOMPARE(int(s.status()), status);
    QVERIFY(!s.contains("v"));
    QCOMPARE(s.value("v", "default"), QVariant("default"));
    // The first error stays, as later successful calls do not clear it.
    s.setValue("v2", 1);
    QCOMPARE(int(s.status()), status);

    if (blockStore)
        QFile::remove(ulx::paths::configDir());
}

void TestKRegSettings::threadsWriteAtOnce()
{
    constexpr int kThreads = 4;
    constexpr int kValues = 50;
    // Plain threads: their start and join are visible to the thread sanitizer.
    std::latch start(kThreads);
    std::vector<std::thread> threads;
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
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kValues; ++i)
            QCOMPARE(s.value(QStringLiteral("t%1_%2").arg(t).arg(i)), QVariant(t * 1000 + i));
    }
}

QTEST_GUILESS_MAIN(TestKRegSettings)
#include "tst_kregsettings.moc"
