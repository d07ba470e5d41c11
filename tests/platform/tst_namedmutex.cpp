// Named mutexes and the file locks under them, between real processes: a lock of another
// process (mutexprobe, or util-linux flock(1) as another program of the suite or a person
// would hold it) is told from none and from our own, and excludes us. And, with real
// throwaway users: another user can neither hold a user's own mutex nor, through a shared
// lock directory he owns, make a test read "absent" or two holders share a mutex.

#include "platform/namedmutex.h"
#include "tests/common/kotheruser.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace ulx;
using ktest::KOtherUser;

Q_DECLARE_METATYPE(filelock::Kind)
Q_DECLARE_METATYPE(filelock::Mode)

class TestNamedMutex : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    QTemporaryDir m_base;
    std::unique_ptr<KOtherUser> m_victim;
    std::unique_ptr<KOtherUser> m_intruder;

    QString shared() const { return m_base.path() + QStringLiteral("/shared"); }
    QString home() const { return m_base.path() + QStringLiteral("/home-victim"); }

    // Runs mutexprobe as the victim, with no XDG_RUNTIME_DIR (cron, su, ssh) and a home of
    // its own: what it prints first, and (once its stdin closed) what it logged.
    QString probe(const QString &verb, const QString &name, const QString &globalDir, QString *logged = nullptr)
    {
        QProcessEnvironment env = m_env.environment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"})
            env.insert(QLatin1String(var), home());
        env.insert(QStringLiteral("ULX_RUNTIME_FALLBACK_PARENT"), shared());
        env.insert(QStringLiteral("ULX_GLOBAL_LOCK_DIR"), globalDir);
        QProcess probe;
        probe.setProcessEnvironment(env);
        m_victim->start(probe, KTestEnv::binPath(QStringLiteral("mutexprobe")), {verb, name});
        probe.waitForReadyRead(KTestEnv::scaled(10000));
        const QString line = QString::fromLocal8Bit(probe.readLine().trimmed());
        probe.closeWriteChannel();
        probe.waitForFinished(KTestEnv::scaled(10000));
        if (logged)
            *logged = QString::fromLocal8Bit(probe.readAllStandardError());
        return line;
    }

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
        m_victim = std::make_unique<KOtherUser>();
        m_intruder = std::make_unique<KOtherUser>();
        QVERIFY(::chmod(QFile::encodeName(m_base.path()).constData(), 0755) == 0);
        QVERIFY(QDir().mkpath(shared()) && ::chmod(QFile::encodeName(shared()).constData(), 01777) == 0);
        QVERIFY(QDir().mkpath(home()));
        if (m_victim->unavailable().isEmpty())
            QVERIFY(::chown(QFile::encodeName(home()).constData(), m_victim->uid(), m_victim->gid()) == 0);
    }

    void cleanupTestCase()
    {
        m_base.remove(); // before the users go, so that no file outlives its owner
        m_victim.reset();
        m_intruder.reset();
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
        const QString user = QStringLiteral("run/ulxcloudsvr/corvanta/mutex/");
        QTest::newRow("user") << "__#_NEXA_INSTANCE_EXIST_KEY_#__" << user + "__#_NEXA_INSTANCE_EXIST_KEY_#__";
        QTest::newRow("global") << "Global\\ulxsetup_C42D7A0A" << "global/ulxsetup_C42D7A0A";
        QTest::newRow("escapes") << "a/b%c" << user + "a%2Fb%25c";
        QTest::newRow("global escapes") << "Global\\../x" << "global/..%2Fx";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("empty global") << "Global\\" << "";
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

    // A "Global\" mutex in a shared directory that root, the victim or another user made;
    // and a user's own mutex where another user made the victim's fallback runtime directory.
    void directories_data()
    {
        QTest::addColumn<bool>("global");
        QTest::addColumn<QString>("dirOwner"); // "", "root" or "intruder"
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<QString>("fileOwner"); // "", "root" (0644), "root 0600", "intruder" or "victim"
        QTest::addColumn<bool>("held");         // by the file's owner
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("locks");
        QTest::newRow("no directory") << true << "" << 0 << "" << false << false << true;
        QTest::newRow("root's, another's file held") << true << "root" << 01777 << "intruder" << true << true << false;
        QTest::newRow("root's, another's file free")
            << true << "root" << 01777 << "intruder" << false << false << true;
        QTest::newRow("root's 0755, root's file free") << true << "root" << 0755 << "root" << false << false << true;
        QTest::newRow("root's, a file the victim cannot open")
            << true << "root" << 01777 << "root 0600" << false << true << false;
        QTest::newRow("root's 0777 without sticky bit") << true << "root" << 0777 << "" << false << true << false;
        QTest::newRow("another's 01755") << true << "intruder" << 01755 << "" << false << true << false;
        QTest::newRow("another's 01777, no file") << true << "intruder" << 01777 << "" << false << true << false;
        QTest::newRow("another's 01777, his file free")
            << true << "intruder" << 01777 << "intruder" << false << true << false;
        QTest::newRow("another's 01777, own file free")
            << true << "intruder" << 01777 << "victim" << false << false << false;
        QTest::newRow("another's 01777, own file held")
            << true << "intruder" << 01777 << "victim" << true << true << false;
        QTest::newRow("user mutex in another's runtime directory, held")
            << false << "intruder" << 0777 << "intruder" << true << false << true;
    }

    void directories()
    {
        QFETCH(bool, global);
        QFETCH(QString, dirOwner);
        QFETCH(int, dirMode);
        QFETCH(QString, fileOwner);
        QFETCH(bool, held);
        QFETCH(bool, present);
        QFETCH(bool, locks);
        if (!m_victim->unavailable().isEmpty() || !m_intruder->unavailable().isEmpty())
            QSKIP(qPrintable(m_victim->unavailable() + m_intruder->unavailable()));
        static int serial = 0;
        const QString dir = global ? shared() + QStringLiteral("/locks%1").arg(++serial)
                                   : shared() + QStringLiteral("/ulxcloudsvr-%1/corvanta/mutex").arg(m_victim->uid());
        const QString name = QStringLiteral("ulxsetup");
        const QString file = dir + QLatin1Char('/') + name;
        if (dirOwner == QLatin1String("root"))
            QVERIFY(QDir().mkdir(dir) && ::chmod(QFile::encodeName(dir).constData(), mode_t(dirMode)) == 0);
        else if (dirOwner == QLatin1String("intruder"))
            QVERIFY(m_intruder->sh(QStringLiteral("umask 0; mkdir -p -m %1 '%2'")
                                   .arg(QString::number(dirMode, 8), dir)));
        const KOtherUser &owner = fileOwner == QLatin1String("victim") ? *m_victim : *m_intruder;
        if (fileOwner.startsWith(QLatin1String("root"))) {
            const mode_t mode = fileOwner == QLatin1String("root") ? 0644 : 0600;
            QVERIFY(QFile(file).open(QIODevice::WriteOnly) && ::chmod(QFile::encodeName(file).constData(), mode) == 0);
        }
        else if (!fileOwner.isEmpty())
            QVERIFY(owner.sh(QStringLiteral("umask 022; touch '%1'").arg(file)));
        QProcess holder;
        if (held)
            QVERIFY(owner.holdLock(holder, file));

        const QString probed = global ? QStringLiteral("Global\\") + name : name;
        const QString globalDir = global ? dir : QString();
        QString logged;
        QCOMPARE(probe(QStringLiteral("present"), probed, globalDir, &logged), present ? "present" : "absent");
        // A refused directory or file is told once, though asked twice; a file of root's that
        // the victim may not open is taken as held without a word.
        const bool told = present && !held && fileOwner != QLatin1String("root 0600");
        QCOMPARE(logged.count(QLatin1Char('\n')), told ? 1 : 0);
        QCOMPARE(QFileInfo::exists(dir), !dirOwner.isEmpty()); // the test made nothing
        QCOMPARE(probe(QStringLiteral("trylock"), probed, globalDir).startsWith(QLatin1String("locked ")), locks);
        holder.closeWriteChannel();
        holder.waitForFinished(KTestEnv::scaled(10000));
    }
};

QTEST_GUILESS_MAIN(TestNamedMutex)
#include "tst_namedmutex.moc"
