// What a plugin package may put on disk: archives from the loopback test server
// through KPluginDownloader (real tar), package directories through
// KPluginInstaller. A refused package leaves nothing behind.
#include "suite/krt.h"
#include "suite/plugins/kplugindownloader.h"
#include "suite/plugins/kplugininstaller.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <sys/stat.h>

class TestPackages : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    QString m_plugins;
    const KPackageLimits m_limits{1 << 20, 20};

    // Runs one install to its end: empty on success, else its problem.
    template<class Installer>
    QString finish(Installer &installer)
    {
        installer.setLimits(m_limits);
        QSignalSpy spy(&installer, &Installer::finished);
        installer.start();
        if (!spy.wait(KTestEnv::scaled(20000)))
            return QStringLiteral("did not end");
        return spy.first().at(0).toBool() ? QString() : spy.first().at(1).toString();
    }

    QString download(const QString &route, const QString &target)
    {
        KPluginDownloader downloader(QUrl(m_server->url(QLatin1Char('/') + route)), -1, QString(), target,
                                     KTestEnv::scaled(5000));
        return finish(downloader);
    }

    QString copy(const QString &package, const QString &target)
    {
        KPluginInstaller installer(package, target, 1 << 20, 0);
        return finish(installer);
    }

    QStringList pluginsDir() const { return QDir(m_plugins).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System); }
    static uint modeOf(const QString &path)
    {
        struct stat st{};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_plugins = m_env->root() + QStringLiteral("/plugins");
        const QString fixtures = m_env->root() + QStringLiteral("/fixtures");
        QVERIFY(QDir().mkpath(fixtures) && QDir().mkpath(m_plugins));
        QProcess python;
        python.start(QStringLiteral("python3"), {QStringLiteral(ULX_PACKAGE_FIXTURES), fixtures});
        QVERIFY(python.waitForFinished(30000) && python.exitCode() == 0);
        QStringList routes{QStringLiteral("/endless=endless"), QStringLiteral("/unsized=endless:unsized")};
        for (const QString &name : QDir(fixtures).entryList(QDir::Files))
            routes << QStringLiteral("/%1=file:%2/%1").arg(name, fixtures);
        m_server = std::make_unique<KTestServer>(m_env->root(), routes);
        QVERIFY(m_server->isRunning());
    }

    // Each refused whole, with its reason, and nothing of it left in the plugins directory.
    void refusedArchives_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("problem");
        QTest::newRow("expands past the bytes") << "bomb.tar.gz" << "unpacks to more than 1048576 bytes";
        QTest::newRow("endless body") << "endless" << "announces 1099511627776 bytes, more than the 1048576 bytes";
        QTest::newRow("endless body, unsized") << "unsized" << "sent more than the 1048576 bytes a package may have";
        QTest::newRow("too many members") << "members.tar" << "has more than 20 members";
        QTest::newRow("device node") << "device.tar" << "has a character device: null";
        QTest::newRow("FIFO") << "fifo.tar" << "has a FIFO: pipe";
        QTest::newRow("hard link") << "hardlink.tar" << "has a hard link: b";
        QTest::newRow("absolute link") << "absolute.tar" << "has a link outside the plugin: etc -> /etc";
        QTest::newRow("link chain climbing out") << "chain.tar" << "has a link outside the plugin: b -> a/../..";
        QTest::newRow("member below a link") << "below.tar" << "has a member below a link: d/x";
    }

    void refusedArchives()
    {
        QFETCH(QString, route);
        QFETCH(QString, problem);
        const QString outcome = download(route, m_plugins + QStringLiteral("/refused"));
        QVERIFY2(outcome.contains(problem), qPrintable(outcome));
        QCOMPARE(pluginsDir(), QStringList());
    }

    // Installed as root or not: no set-ID or sticky bit, no group/other write; the
    // owner keeps his access and the link inside stays a link.
    void archiveModesMadeSafe()
    {
        const QString target = m_plugins + QStringLiteral("/modes");
        QCOMPARE(download(QStringLiteral("modes.tar"), target), QString());
        const QList<std::pair<QString, uint>> expected{{"", 0755}, {"/bin", 0755}, {"/bin/tool", 0755},
                                                       {"/data", 0644}, {"/lib/run", 0755}};
        for (const auto &[path, mode] : expected)
            QVERIFY2(modeOf(target + path) == mode, qPrintable(path + QString::number(modeOf(target + path), 8)));
        QCOMPARE(QFileInfo(target + QStringLiteral("/bin/run")).symLinkTarget(), target + QStringLiteral("/lib/run"));
        QCOMPARE(pluginsDir(), QStringList{QStringLiteral("modes")});
        QDir(target).removeRecursively();
    }

    // Package directories: the same rules for what is copied.
    void packageDirectories_data()
    {
        QTest::addColumn<QString>("entry"); // what goes beside the package's good file
        QTest::addColumn<QString>("problem");
        QTest::newRow("FIFO") << "fifo" << "fifo, which is neither a file nor a directory";
        QTest::newRow("link outside") << "link" << "link outside the plugin or to nothing: link";
        QTest::newRow("too many members") << "members" << "more than 20 members";
        QTest::newRow("too many bytes") << "bytes" << "more than 1048576 bytes";
        QTest::newRow("group-writable file") << "writable" << "";
    }

    void packageDirectories()
    {
        QFETCH(QString, entry);
        QFETCH(QString, problem);
        const QString package = m_env->root() + QStringLiteral("/package-") + entry;
        QVERIFY(ktest::writeFile(package + QStringLiteral("/good"), "g"));
        const QString path = package + QLatin1Char('/') + entry;
        if (entry == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (entry == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), path));
        else if (entry == QLatin1String("bytes"))
            QVERIFY(ktest::writeFile(path, QByteArray((1 << 20) + 1, 'b')));
        for (int i = 0; entry == QLatin1String("members") && i < 20; ++i)
            QVERIFY(ktest::writeFile(package + QStringLiteral("/m%1").arg(i), "m"));
        if (entry == QLatin1String("writable"))
            QVERIFY(ktest::writeFile(path, "w", true) && ::chmod(QFile::encodeName(path).constData(), 0777) == 0);

        const QString target = m_plugins + QStringLiteral("/copied");
        const QString outcome = copy(package, target);
        QVERIFY2(problem.isEmpty() ? outcome.isEmpty() : outcome.contains(problem), qPrintable(outcome));
        if (problem.isEmpty()) {
            QCOMPARE(modeOf(target + QStringLiteral("/writable")), 0755u);
            QDir(target).removeRecursively();
        }
        QCOMPARE(pluginsDir(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestPackages)
#include "tst_packages.moc"
