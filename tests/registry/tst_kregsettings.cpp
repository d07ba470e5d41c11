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

    // Names match case-insensitively and keep their first spelling; groups and separators in names are subkeys.
    void names_data()
    {
        QTest::addColumn<QString>("writeKey");
        QTest::addColumn<QStringList>("groups"); // begun on the writer
        QTest::addColumn<QString>("writeName");
        QTest::addColumn<QString>("readKey");
        QTest::addColumn<QString>("readName");
        QTest::addColumn<bool>("shared"); // the two names denote one value
        const QString upper = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\OFFICE\\6.0\\UlxCloudSvr");
        QTest::newRow("key case") << kKey << QStringList{} << "Period" << upper << "Period" << true;
        QTest::newRow("value name case") << kKey << QStringList{} << "StartCount" << kKey << "STARTCOUNT" << true;
        QTest::newRow("hive abbreviation") << kKey << QStringList{} << "x" << "HKCU" + kKey.mid(17) << "x" << true;
        QTest::newRow("slashes and doubled separators")
            << "HKCU\\Software\\\\T\\" << QStringList{} << "x" << "HKCU/Software/T" << "x" << true;
        QTest::newRow("non-ASCII names")
            << "HKCU\\Software\\Ärger" << QStringList{} << "Größe" << "hkcu\\Software\\äRGER" << "GRÖßE" << true;
        QTest::newRow("nested groups") << kKey << QStringList{"Application Settings", "b"} << "v"
                                       << kKey + "\\Application Settings\\b" << "v" << true;
        QTest::newRow("group with separators") << kKey << QStringList{"a//b/"} << "v" << kKey + "\\A\\B" << "v" << true;
        QTest::newRow("name with separators") << kKey << QStringList{} << "Common/ulxoffice/ICExceptExit"
                                              << kKey + "\\common\\ULXOFFICE" << "icexceptexit" << true;
        QTest::newRow("group and name path") << kKey << QStringList{"x"} << "y\\z" << kKey + "\\x\\y" << "z" << true;
        QTest::newRow("hives are separate")
            << "HKLM\\SOFTWARE\\Same" << QStringList{} << "v" << "HKEY_CURRENT_USER\\Software\\Same" << "v" << false;
    }

    void names()
    {
        QFETCH(QString, writeKey);
        QFETCH(QStringList, groups);
        QFETCH(QString, writeName);
        QFETCH(QString, readKey);
        QFETCH(QString, readName);
        QFETCH(bool, shared);
        KRegSettings writer(writeKey);
        for (const QString &g : groups)
            writer.beginGroup(g);
        writer.setValue(writeName, "first");
        KRegSettings reader(readKey);
        QCOMPARE(reader.value(readName), shared ? QVariant("first") : QVariant());
        reader.setValue(readName, "second");
        QCOMPARE(writer.value(writeName), QVariant(shared ? "second" : "first"));
        if (!shared)
            return;
        const QStringList written = QStringList{writeKey, groups.join('/'), writeName}.join('/').split(
            QRegularExpression("[/\\\\]"), Qt::SkipEmptyParts);
        QCOMPARE(reader.childKeys(), QStringList{written.last()});
        KRegSettings parent(KRegKeyPath::parse(readKey).toString().section('\\', 0, -2));
        QCOMPARE(parent.childGroups(), QStringList{written.at(written.size() - 2)});

        // Leaving the groups (one endGroup too many is harmless) returns to the opened key.
        for (qsizetype i = 0; i <= groups.size(); ++i)
            writer.endGroup();
        QCOMPARE(writer.contains(writeName), groups.isEmpty());
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
            QFile copy(snapshot.damagedCopy);
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), damage);

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
};

QTEST_GUILESS_MAIN(TestKRegSettings)
#include "tst_kregsettings.moc"
