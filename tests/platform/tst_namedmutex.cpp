// Named mutexes between real processes: a lock held with util-linux flock(1), as
// another program of the suite or a person would hold it, is seen as present, and
// NamedMutex excludes such a holder.

#include "platform/namedmutex.h"
#include "tests/common/testenv.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

using namespace ulx::namedmutex;

class TestNamedMutex : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

    // A `flock FILE sh` that holds the lock until its stdin closes.
    bool startHolder(QProcess &holder, const QString &path)
    {
        holder.start(QStringLiteral("flock"), {path, QStringLiteral("sh"), QStringLiteral("-c"),
                                               QStringLiteral("echo held; read line")});
        return holder.waitForReadyRead(KTestEnv::scaled(10000)) && holder.readLine().trimmed() == "held";
    }

private slots:
    void initTestCase() { qputenv("ULX_GLOBAL_LOCK_DIR", QFile::encodeName(m_env.root() + QStringLiteral("/global"))); }

    void paths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path"); // relative to the test world
        QTest::newRow("user") << QStringLiteral("__#_NEXA_INSTANCE_EXIST_KEY_#__")
                              << QStringLiteral("run/ulxcloudsvr/corvanta/mutex/__#_NEXA_INSTANCE_EXIST_KEY_#__");
        QTest::newRow("global") << QStringLiteral("Global\\ulxsetup_C42D7A0A") << QStringLiteral("global/ulxsetup_C42D7A0A");
        QTest::newRow("escapes") << QStringLiteral("a/b%c") << QStringLiteral("run/ulxcloudsvr/corvanta/mutex/a%2Fb%25c");
        QTest::newRow("global escapes") << QStringLiteral("Global\\../x") << QStringLiteral("global/..%2Fx");
        QTest::newRow("dot dot") << QStringLiteral("..") << QString();
        QTest::newRow("empty global") << QStringLiteral("Global\\") << QString();
    }

    void paths()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(filePath(name), path.isEmpty() ? QString() : m_env.root() + QLatin1Char('/') + path);
        if (name.startsWith(QLatin1String("Global\\")) && !path.isEmpty()) // shared like /tmp
            QCOMPARE(QFileInfo(m_env.root() + QStringLiteral("/global")).permissions() & QFile::WriteOther, QFile::WriteOther);
    }

    void presenceAndExclusion_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("user") << QStringLiteral("_KHDID2MGR_3E67DFEF-DF4E-4CC6-9413-5F71C7C96C04");
        QTest::newRow("global") << QStringLiteral("Global\\ulxpatch_C42D7A0A-2868-45FF-92EE-9B7AE7124588");
    }

    void presenceAndExclusion()
    {
        QFETCH(QString, name);
        QVERIFY(!isPresent(name)); // no file
        {
            NamedMutex own(name);
            QVERIFY(own.lock());
            QVERIFY(isPresent(name));
        }
        QVERIFY(!isPresent(name)); // a file nobody holds

        QProcess holder;
        QVERIFY(startHolder(holder, filePath(name)));
        QVERIFY(isPresent(name));
        NamedMutex mutex(name);
        QVERIFY(!mutex.lock(ulx::filelock::Wait::No));
        QVERIFY(!mutex.errorString().isEmpty());
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        QVERIFY(mutex.lock(ulx::filelock::Wait::No));
        QVERIFY(mutex.isLocked());
    }

    void unopenableFileIsPresent()
    {
        if (::geteuid() == 0)
            QSKIP("root opens every file; the refusal cannot be made here");
        const QString name = QStringLiteral("someone-elses");
        QFile file(filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(file.setPermissions({}));
        QVERIFY(isPresent(name));
    }
};

QTEST_GUILESS_MAIN(TestNamedMutex)
#include "tst_namedmutex.moc"
