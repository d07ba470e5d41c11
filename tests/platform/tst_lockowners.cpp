// Named mutexes against other users of the machine, with real throwaway users:
// another user can neither hold a user's own mutex nor, through a shared lock
// directory he owns, make a test read "absent" or two holders share a mutex.

#include "platform/namedmutex.h"
#include "tests/common/kotheruser.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using ktest::KOtherUser;

namespace {
const QString HdidMutex = QStringLiteral("_KHDID2MGR_3E67DFEF-DF4E-4CC6-9413-5F71C7C96C04");
const QString SetupMutex = QStringLiteral("ulxsetup_C42D7A0A-2868-45FF-92EE-9B7AE7124588");
} // namespace

class TestLockOwners : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    QTemporaryDir m_base;
    std::unique_ptr<KOtherUser> m_victim;
    std::unique_ptr<KOtherUser> m_intruder;

    QString shared() const { return m_base.path() + QStringLiteral("/shared"); }

    // The victim's environment: no XDG_RUNTIME_DIR (cron, su, ssh), a home of its own.
    QProcessEnvironment victimEnv(const QString &globalDir = QString()) const
    {
        QProcessEnvironment env = m_env.environment();
        const QString home = m_base.path() + QStringLiteral("/home-victim");
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"})
            env.insert(QLatin1String(var), home);
        env.insert(QStringLiteral("ULX_RUNTIME_FALLBACK_PARENT"), shared());
        env.insert(QStringLiteral("ULX_GLOBAL_LOCK_DIR"), globalDir);
        return env;
    }

    void startProbe(QProcess &probe, const QString &verb, const QString &name, const QString &globalDir = QString())
    {
        probe.setProcessEnvironment(victimEnv(globalDir));
        m_victim->start(probe, KTestEnv::binPath(QStringLiteral("mutexprobe")), {verb, name});
        QVERIFY(probe.waitForStarted(KTestEnv::scaled(10000)));
    }

    // What the probe prints first, and (after its stdin closed) what it logged.
    QString answer(QProcess &probe, QString *logged = nullptr)
    {
        probe.waitForReadyRead(KTestEnv::scaled(10000));
        const QString line = QString::fromLocal8Bit(probe.readLine().trimmed());
        probe.closeWriteChannel();
        probe.waitForFinished(KTestEnv::scaled(10000));
        if (logged)
            *logged = QString::fromLocal8Bit(probe.readAllStandardError());
        return line;
    }

    void skipWithoutUsers()
    {
        if (!m_victim->unavailable().isEmpty())
            QSKIP(qPrintable(m_victim->unavailable()));
        if (!m_intruder->unavailable().isEmpty())
            QSKIP(qPrintable(m_intruder->unavailable()));
    }

private slots:
    void initTestCase()
    {
        m_victim = std::make_unique<KOtherUser>();
        m_intruder = std::make_unique<KOtherUser>();
        QVERIFY(::chmod(QFile::encodeName(m_base.path()).constData(), 0755) == 0);
        QVERIFY(QDir().mkpath(shared()) && ::chmod(QFile::encodeName(shared()).constData(), 01777) == 0);
        const QString home = m_base.path() + QStringLiteral("/home-victim");
        QVERIFY(QDir().mkpath(home));
        if (m_victim->unavailable().isEmpty())
            QVERIFY(::chown(QFile::encodeName(home).constData(), m_victim->uid(), m_victim->gid()) == 0);
    }

    void cleanupTestCase()
    {
        m_base.remove(); // before the users go, so that no file outlives its owner
        m_victim.reset();
        m_intruder.reset();
    }

    // Another user made the victim's fallback runtime directory and holds the
    // hardware identifier's mutex in it: the victim's mutex lies elsewhere.
    void userMutexOutOfOthersReach()
    {
        skipWithoutUsers();
        const QString squat = shared() + QStringLiteral("/ulxcloudsvr-%1").arg(m_victim->uid());
        QVERIFY(m_intruder->sh(QStringLiteral("umask 0; mkdir -p '%1/corvanta/mutex'").arg(squat)));
        QProcess holder;
        QVERIFY(m_intruder->holdLock(holder, squat + QStringLiteral("/corvanta/mutex/") + HdidMutex));

        QProcess present;
        startProbe(present, QStringLiteral("present"), HdidMutex);
        QCOMPARE(answer(present), QStringLiteral("absent"));
        QProcess probe;
        startProbe(probe, QStringLiteral("trylock"), HdidMutex);
        const QString line = answer(probe);
        QVERIFY2(line.startsWith(QLatin1String("locked ")) && !line.contains(squat + QLatin1Char('/')), qPrintable(line));
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
    }

    // A "Global\" mutex in a shared directory that root, the victim or another user made.
    void sharedDirectory_data()
    {
        QTest::addColumn<QString>("dirOwner"); // "", "root" or "intruder"
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<QString>("fileOwner"); // "", "root", "intruder" or "victim"
        QTest::addColumn<bool>("held");         // by the file's owner
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("locks");
        QTest::newRow("no directory") << "" << 0 << "" << false << false << true;
        QTest::newRow("root's, another's file held") << "root" << 01777 << "intruder" << true << true << false;
        QTest::newRow("root's, another's file free") << "root" << 01777 << "intruder" << false << false << true;
        QTest::newRow("root's 0755, root's file free") << "root" << 0755 << "root" << false << false << true;
        QTest::newRow("root's 0777 without sticky bit") << "root" << 0777 << "" << false << true << false;
        QTest::newRow("another's 01755") << "intruder" << 01755 << "" << false << true << false;
        QTest::newRow("another's 01777, no file") << "intruder" << 01777 << "" << false << true << false;
        QTest::newRow("another's 01777, his file free") << "intruder" << 01777 << "intruder" << false << true << false;
        QTest::newRow("another's 01777, own file free") << "intruder" << 01777 << "victim" << false << false << false;
        QTest::newRow("another's 01777, own file held") << "intruder" << 01777 << "victim" << true << true << false;
    }

    void sharedDirectory()
    {
        QFETCH(QString, dirOwner);
        QFETCH(int, dirMode);
        QFETCH(QString, fileOwner);
        QFETCH(bool, held);
        QFETCH(bool, present);
        QFETCH(bool, locks);
        skipWithoutUsers();
        static int serial = 0;
        const QString dir = shared() + QStringLiteral("/locks%1").arg(++serial);
        const QString file = dir + QLatin1Char('/') + SetupMutex;
        const QString mode = QString::number(dirMode, 8);
        if (dirOwner == QLatin1String("root"))
            QVERIFY(QDir().mkdir(dir) && ::chmod(QFile::encodeName(dir).constData(), mode_t(dirMode)) == 0);
        else if (dirOwner == QLatin1String("intruder"))
            QVERIFY(m_intruder->sh(QStringLiteral("mkdir -m %1 '%2'").arg(mode, dir)));
        if (fileOwner == QLatin1String("root"))
            QVERIFY(QFile(file).open(QIODevice::WriteOnly) && ::chmod(QFile::encodeName(file).constData(), 0644) == 0);
        else if (!fileOwner.isEmpty())
            QVERIFY((fileOwner == QLatin1String("victim") ? m_victim : m_intruder)->sh(QStringLiteral("umask 022; touch '%1'").arg(file)));
        QProcess holder;
        if (held)
            QVERIFY((fileOwner == QLatin1String("victim") ? m_victim : m_intruder)->holdLock(holder, file));

        QProcess probe;
        startProbe(probe, QStringLiteral("present"), QStringLiteral("Global\\") + SetupMutex, dir);
        QString logged;
        QCOMPARE(answer(probe, &logged), present ? QStringLiteral("present") : QStringLiteral("absent"));
        // A refused directory or file is told once, though asked twice.
        QCOMPARE(logged.count(QLatin1Char('\n')), present && !held ? 1 : 0);
        QCOMPARE(QFileInfo::exists(dir), !dirOwner.isEmpty()); // the test made nothing

        QProcess locker;
        startProbe(locker, QStringLiteral("trylock"), QStringLiteral("Global\\") + SetupMutex, dir);
        QCOMPARE(answer(locker).startsWith(QLatin1String("locked ")), locks);
        holder.closeWriteChannel();
        holder.waitForFinished(KTestEnv::scaled(10000));
    }
};

QTEST_GUILESS_MAIN(TestLockOwners)
#include "tst_lockowners.moc"
