// The crash dumper's dumps directory: bounds on count and bytes (cores as sparse
// files: their sizes count, the disk stays free), and nothing but dumps touched.
#include "suite/crashdumper/kdumpstore.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestDumpStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One dump after the other as the dumper writes them; "000-mine" is another
    // program's directory that sorts before every dump.
    void boundsHoldAfterEachDump_data()
    {
        QTest::addColumn<QList<int>>("coreMiB"); // of each dump, oldest first; 0: no core
        QTest::addColumn<QStringList>("left");   // dumps left, with "+core" when the core stays
        QTest::newRow("three 230 MiB cores") << QList<int>{230, 230, 230} << QStringList{"2+core", "3+core"};
        QTest::newRow("a core alone over the bound") << QList<int>{10, 600} << QStringList{"2"};
        QTest::newRow("six dumps without core") << QList<int>(6, 0) << QStringList{"2", "3", "4", "5", "6"};
    }

    void boundsHoldAfterEachDump()
    {
        QFETCH(QList<int>, coreMiB);
        QFETCH(QStringList, left);
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/000-mine")));
        for (int i = 0; i < coreMiB.size(); ++i) {
            ulx::dumpstore::prepare(root);
            const QString name = QStringLiteral("20261206-1000%1-000-%2").arg(i, 2, 10, QChar('0')).arg(i + 1);
            const QString dump = root + QLatin1Char('/') + name;
            QVERIFY(ktest::writeFile(dump + QStringLiteral("/stacks.txt"), "stacks"));
            if (coreMiB.at(i) > 0) {
                QFile core(dump + QStringLiteral("/core.%1").arg(i + 1));
                QVERIFY(core.open(QIODevice::WriteOnly) && core.resize(qint64(coreMiB.at(i)) << 20));
            }
            ulx::dumpstore::settle(root, name);
        }
        QStringList found;
        for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (name == QLatin1String("000-mine"))
                continue;
            const bool core = !QDir(root + QLatin1Char('/') + name).entryList({QStringLiteral("core*")}).isEmpty();
            QVERIFY(QFile::exists(root + QLatin1Char('/') + name + QStringLiteral("/stacks.txt")));
            found << name.section(QLatin1Char('-'), -1) + (core ? QStringLiteral("+core") : QString());
        }
        QCOMPARE(found, left);
        QVERIFY(QFileInfo(root + QStringLiteral("/000-mine")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestDumpStore)
#include "tst_dumpstore.moc"
