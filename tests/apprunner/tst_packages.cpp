// What a plugin package may put on disk: archives from the loopback test server through KPluginDownloader
// (real tar), package directories through KPluginInstaller. A refused package leaves nothing behind.
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
        QCOMPARE(QProcess::execute(QStringLiteral("python3"), {QStringLiteral(ULX_PACKAGE_FIXTURES), fixtures}), 0);
        QStringList routes{QStringLiteral("/endless=endless"), QStringLiteral("/unsized=endless:unsized")};
        for (const QString &name : QDir(fixtures).entryList(QDir::Files))
            routes << QStringLiteral("/%1=file:%2/%1").arg(name, fixtures);
        m_server = std::make_unique<KTestServer>(m_env->root(), routes);
        QVERIFY(m_server->isRunning());
    }

    void packages_data()
    {
        QTest::addColumn<QString>("source");  // a route of the test server, or "dir:" and what a package directory adds
        QTest::addColumn<QString>("problem"); // empty: installed
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
        QTest::newRow("modes made safe") << "modes.tar" << "";
        QTest::newRow("directory: FIFO") << "dir:fifo" << "fifo, which is neither a file nor a directory";
        QTest::newRow("directory: link outside") << "dir:link" << "link outside the plugin or to nothing: link";
        QTest::newRow("directory: too many members") << "dir:members" << "more than 20 members";
        QTest::newRow("directory: too many bytes") << "dir:bytes" << "more than 1048576 bytes";
        QTest::newRow("directory: group-writable file") << "dir:writable" << "";
    }

    // Each refused whole, with its reason, and nothing of it left in the plugins directory. Installed as root or
    // not: no set-ID or sticky bit, no group/other write; the owner keeps his access, a link inside stays a link.
    void packages()
    {
        QFETCH(QString, source);
        QFETCH(QString, problem);
        const QString target = m_plugins + QStringLiteral("/target");
        const QString entry = source.mid(4);
        const QString package = m_env->root() + QStringLiteral("/package-") + entry;
        const QString path = package + QLatin1Char('/') + entry;
        if (source.startsWith(QLatin1String("dir:")))
            QVERIFY(ktest::writeFile(package + QStringLiteral("/good"), "g"));
        if (entry == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (entry == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), path));
        else if (entry == QLatin1String("bytes"))
            QVERIFY(ktest::writeFile(path, QByteArray((1 << 20) + 1, 'b')));
        else if (entry == QLatin1String("writable"))
            QVERIFY(ktest::writeFile(path, "w", true) && ::chmod(QFile::encodeName(path).constData(), 0777) == 0);
        for (int i = 0; entry == QLatin1String("members") && i < 20; ++i)
            QVERIFY(ktest::writeFile(package + QStringLiteral("/m%1").arg(i), "m"));

        QString outcome;
        if (source.startsWith(QLatin1String("dir:"))) {
            KPluginInstaller installer(package, target, 1 << 20, 0);
            outcome = finish(installer);
        } else {
            const QUrl url(m_server->url(QLatin1Char('/') + source));
            KPluginDownloader downloader(url, -1, QString(), target, KTestEnv::scaled(5000));
            outcome = finish(downloader);
        }
        QVERIFY2(problem.isEmpty() ? outcome.isEmpty() : outcome.contains(problem), qPrintable(outcome));
        QList<std::pair<QString, uint>> modes{{"/writable", 0755}};
        if (source == QLatin1String("modes.tar")) {
            modes = {{"", 0755}, {"/bin", 0755}, {"/bin/tool", 0755}, {"/data", 0644}, {"/lib/run", 0755}};
            QCOMPARE(QFileInfo(target + QStringLiteral("/bin/run")).symLinkTarget(), target + QStringLiteral("/lib/run"));
        }
        for (const auto &[file, mode] : modes)
            QVERIFY2(!problem.isEmpty() || modeOf(target + file) == mode, qPrintable(file));
        const QDir::Filters all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        QCOMPARE(QDir(m_plugins).entryList(all), problem.isEmpty() ? QStringList{QStringLiteral("target")} : QStringList());
        QDir(target).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestPackages)
#include "tst_packages.moc"
