// Named mutexes and the file locks under them, between real processes: a lock of
// another process (mutexprobe, or util-linux flock(1) as another program of the
// suite or a person would hold it) is told from none and from our own, and excludes us.

#include "platform/namedmutex.h"
#include "tests/common/testenv.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace ulx;

Q_DECLARE_METATYPE(filelock::Kind)
Q_DECLARE_METATYPE(filelock::Mode)

class TestNamedMutex : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

    // A holder prints "held" once it has the lock and keeps it until its stdin closes.
    static bool startHolder(QProcess &holder, const QString &program, const QStringList &args)
    {
        holder.start(program, args);
        return holder.waitForReadyRead(KTestEnv::scaled(10000)) && holder.readLine().trimmed() == "held";
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        qputenv("ULX_GLOBAL_LOCK_DIR", QFile::encodeName(m_env.root() + QStringLiteral("/global")));
    }

    void heldAcrossProcesses_data()
    {
        QTest::addColumn<filelock::Kind>("kind");
        QTest::addColumn<filelock::Mode>("mode"); // of the other process's lock
        QTest::newRow("flock shared") << filelock::Kind::Flock << filelock::Mode::Shared;
        QTest::newRow("flock exclusive") << filelock::Kind::Flock << filelock::Mode::Exclusive;
        QTest::newRow("open-file shared") << filelock::Kind::OpenFileDescription << filelock::Mode::Shared;
        QTest::newRow("open-file exclusive") << filelock::Kind::OpenFileDescription << filelock::Mode::Exclusive;
    }

    void heldAcrossProcesses()
    {
        using namespace filelock;
        QFETCH(Kind, kind);
        QFETCH(Mode, mode);
        const QString path = m_env.root() + QStringLiteral("/%1.lock").arg(QTest::currentDataTag());
        const int fd = openLockFile(AT_FDCWD, QFile::encodeName(path));
        QVERIFY(fd >= 0);
        QVERIFY(!isHeldByOther(fd, kind));
        // A lock of our own, of either mode, is nobody else's.
        for (Mode own : {Mode::Shared, Mode::Exclusive}) {
            QVERIFY(lock(fd, kind, own, Wait::No));
            QVERIFY(!isHeldByOther(fd, kind));
            unlock(fd, kind);
        }

        QProcess holder;
        QVERIFY(startHolder(holder, KTestEnv::binPath(QStringLiteral("mutexprobe")),
                            {"hold", path, QString::number(int(kind)), QString::number(int(mode))}));
        QVERIFY(isHeldByOther(fd, kind));
        if (mode == Mode::Shared) { // ours beside it still leaves the other's
            QVERIFY(lock(fd, kind, Mode::Shared, Wait::No));
            QVERIFY(isHeldByOther(fd, kind));
            unlock(fd, kind);
        }
        QVERIFY(!lock(fd, kind, Mode::Exclusive, Wait::No));
        QCOMPARE(errno, EWOULDBLOCK);

        // The kernel drops the lock of a killed holder.
        holder.kill();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        QVERIFY(!isHeldByOther(fd, kind));
        QVERIFY(lock(fd, kind, Mode::Exclusive, Wait::No));
        ::close(fd);
    }

    void paths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path"); // relative to the test world
        QTest::newRow("user") << QStringLiteral("__#_NEXA_INSTANCE_EXIST_KEY_#__")
                              << QStringLiteral("run/ulxcloudsvr/corvanta/mutex/__#_NEXA_INSTANCE_EXIST_KEY_#__");
        QTest::newRow("global") << QStringLiteral("Global\\ulxsetup_C42D7A0A")
                                << QStringLiteral("global/ulxsetup_C42D7A0A");
        QTest::newRow("escapes") << QStringLiteral("a/b%c")
                                 << QStringLiteral("run/ulxcloudsvr/corvanta/mutex/a%2Fb%25c");
        QTest::newRow("global escapes") << QStringLiteral("Global\\../x") << QStringLiteral("global/..%2Fx");
        QTest::newRow("dot dot") << QStringLiteral("..") << QString();
        QTest::newRow("empty global") << QStringLiteral("Global\\") << QString();
    }

    void paths()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(namedmutex::filePath(name), path.isEmpty() ? QString() : m_env.root() + QLatin1Char('/') + path);
        if (name.startsWith(QLatin1String("Global\\")) && !path.isEmpty()) // shared like /tmp
            QVERIFY(QFileInfo(m_env.root() + QStringLiteral("/global")).permissions() & QFile::WriteOther);
    }

    // Names a file name cannot carry as they are stay mutexes of their own: `other` stays absent.
    void presenceAndExclusion_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("other");
        const QString longName(300, QLatin1Char('n'));
        QTest::newRow("user") << "_KHDID2MGR_3E67DFEF-DF4E-4CC6-9413-5F71C7C96C04" << "_KHDID2MGR";
        QTest::newRow("global") << "Global\\ulxpatch_C42D7A0A-2868-45FF-92EE-9B7AE7124588" << "ulxpatch_C42D7A0A";
        QTest::newRow("NUL does not cut the name") << QStringLiteral("nul") + QChar(0) + QStringLiteral("x") << "nul";
        QTest::newRow("300 bytes") << longName + "a" << longName + "b";
        QTest::newRow("long multi-byte") << QString(200, QChar(0x00E9)) << QString(199, QChar(0x00E9));
    }

    void presenceAndExclusion()
    {
        using namespace namedmutex;
        QFETCH(QString, name);
        QFETCH(QString, other);
        QVERIFY(!isPresent(name)); // no file
        {
            NamedMutex own(name);
            QVERIFY2(own.lock(), qPrintable(own.errorString()));
            QVERIFY(isPresent(name));
            QVERIFY(!isPresent(other));
        }
        QVERIFY(!isPresent(name)); // a file nobody holds

        QProcess holder;
        QVERIFY(startHolder(holder, QStringLiteral("flock"), {filePath(name), "sh", "-c", "echo held; read line"}));
        QVERIFY(isPresent(name));
        {
            NamedMutex refused(name); // and goes unlocked
            QVERIFY(!refused.lock(filelock::Wait::No));
            QVERIFY(!refused.errorString().isEmpty());
        }
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        NamedMutex mutex(name);
        QVERIFY(mutex.lock(filelock::Wait::No));
        QVERIFY(mutex.isLocked());
    }
};

QTEST_GUILESS_MAIN(TestNamedMutex)
#include "tst_namedmutex.moc"
