// Writes into a file system that is really full: a small tmpfs mounted in this
// test's own mount namespace (root only), filled to the last byte.

#include "onlineparams/konlineparamsmanager.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

class TestFullDisk : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    QString m_skip;

    // Mounts a 256 KiB tmpfs on `dir`, runs `before` in it, and fills it to the last byte.
    static bool mountFull(const QString &dir, const std::function<bool()> &before)
    {
        QDir().mkpath(dir);
        if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=256k,mode=0700") != 0 || !before())
            return false;
        const int fd = ::open(QFile::encodeName(dir + "/.filler").constData(), O_WRONLY | O_CREAT, 0600);
        const QByteArray block(4096, 'f');
        while (fd >= 0 && ::write(fd, block.constData(), size_t(block.size())) > 0) {
        }
        while (fd >= 0 && ::write(fd, "f", 1) > 0) {
        }
        return fd >= 0 && ::close(fd) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a full file system needs root");
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP("no private mount namespace here");
        m_env = std::make_unique<KTestEnv>();
    }

    // A spool that does not fit: no empty spool file is left to stand for the events,
    // and the loss is logged; the spool written before the disk filled stays.
    // Parameter files: the old files stay whole, the failure is counted.
    void nothingLostWhenFull()
    {
        const QString outbox = ulx::outbox::dir();
        QVERIFY(mountFull(outbox, [] { return ulx::outbox::spool({"http://h/before"}); }));
        const QStringList filled = QDir(outbox).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(!ulx::outbox::spool({"http://h/lost-1", "http://h/lost-2"}));
        QCOMPARE(QDir(outbox).entryList(QDir::Files | QDir::Hidden), filled);
        QCOMPARE(ktest::logMessages(*m_env, QStringLiteral("NetTransferService"))
                     .filter(QStringLiteral("cannot write a spool of 2 URLs")).size(), 1);
        QCOMPARE(ulx::outbox::claim(1000), QList<QByteArray>{"http://h/before"});

        const QString files = m_env->root() + QStringLiteral("/params");
        const QString body = m_env->root() + QStringLiteral("/body.json");
        QVERIFY(ktest::writeFile(body, "{\"params\":[]}"));
        KTestServer server(m_env->root() + QStringLiteral("/server"), {QStringLiteral("/params=file:") + body});
        QVERIFY(server.isRunning());
        QVERIFY(mountFull(files, [&files] {
            return ktest::writeFile(files + QStringLiteral("/online.json"), "old online")
                && ktest::writeFile(files + QStringLiteral("/local.json"), "old local");
        }));
        m_env->writeInstallConfig({{"Auth/Server/OnlineAllParamURL", server.url(QStringLiteral("/params"))},
                                   {"OnlineParams/OnlineParamPath", files + QStringLiteral("/online.json")},
                                   {"OnlineParams/LocalParamPath", files + QStringLiteral("/local.json")}});
        krt::reload();
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        QVERIFY(manager->start());
        KRegSettings settings(KOnlineParamsManager::settingsKey());
        QTRY_COMPARE_WITH_TIMEOUT(settings.value(QStringLiteral("write_online_config_fail_count")).toInt(), 2,
                                  KTestEnv::scaled(5000));
        manager->stopTimer();
        QCOMPARE(ktest::readFile(files + QStringLiteral("/online.json")), QByteArray("old online"));
        QCOMPARE(ktest::readFile(files + QStringLiteral("/local.json")), QByteArray("old local"));
        QVERIFY(!ktest::logMessages(*m_env, QStringLiteral("KOnlineParamsManager"))
                     .filter(QStringLiteral("the old file is kept")).isEmpty());
    }

    void cleanupTestCase()
    {
        if (m_env)
            for (const QString &dir : {ulx::outbox::dir(), m_env->root() + QStringLiteral("/params")})
                ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
    }
};

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
