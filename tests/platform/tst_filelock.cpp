// The file-lock seam between real processes: isHeldByOther tells a lock of
// another process from none and from the caller's own, for both kinds.

#include "platform/filelock.h"
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace ulx::filelock;

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Mode)

class TestFileLock : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

private slots:
    void heldAcrossProcesses_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Mode>("mode"); // of the other process's lock
        QTest::newRow("flock shared") << Kind::Flock << Mode::Shared;
        QTest::newRow("flock exclusive") << Kind::Flock << Mode::Exclusive;
        QTest::newRow("open-file shared") << Kind::OpenFileDescription << Mode::Shared;
        QTest::newRow("open-file exclusive") << Kind::OpenFileDescription << Mode::Exclusive;
    }

    void heldAcrossProcesses()
    {
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
        holder.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--hold"), path, QString::number(int(kind)), QString::number(int(mode))});
        QVERIFY(holder.waitForReadyRead(KTestEnv::scaled(10000)));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
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
};

int main(int argc, char **argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--hold") == 0) {
        const FileLock held(QString::fromLocal8Bit(argv[2]), Kind(atoi(argv[3])), Mode(atoi(argv[4])));
        if (!held.isLocked())
            return 1;
        std::puts("held");
        std::fflush(stdout);
        QThread::sleep(600);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestFileLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filelock.moc"
