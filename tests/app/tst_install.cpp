// The service as installed: `cmake --install` into a temporary prefix gives a
// service that serves as it stands, started the way the autostart entry starts it.

#include "tests/common/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

class TestInstall : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env;

    static QString entry(const QString &path, const QString &key)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line.startsWith(key + QLatin1Char('=')))
                return line.mid(key.size() + 1);
        }
        return QString();
    }

private Q_SLOTS:
    void installedServiceServes()
    {
        const QString prefix = m_env.root() + QStringLiteral("/prefix");
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(ULX_CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(ULX_BUILD_DIR), QStringLiteral("--prefix"), prefix});
        QVERIFY(install.waitForFinished(KTestEnv::scaled(60000)));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());

        // The autostart entry and the user unit start the installed program the same way.
        const QString command = entry(prefix + QStringLiteral("/" ULX_INSTALL_SYSCONFDIR "/xdg/autostart/ulxcloudsvr.desktop"), QStringLiteral("Exec"));
        QCOMPARE(command, prefix + QStringLiteral("/" ULX_INSTALL_BINDIR "/ulxcloudsvr /start_from:logon"));
        QCOMPARE(entry(prefix + QStringLiteral("/lib/systemd/user/ulxcloudsvr.service"), QStringLiteral("ExecStart")), command);

        const QString privateDir = prefix + QStringLiteral("/" ULX_INSTALL_LIBDIR "/ulxcloudsvr");
        QVERIFY2(QFile::exists(privateDir + QStringLiteral("/ulxinstall.ini")),
                 "no installation configuration beside the libraries");
        QVERIFY(entry(privateDir + QStringLiteral("/ulxinstall.ini"), QStringLiteral("OfficeDir")).isEmpty());
        // The build's suite plugins are installed with it, when it has any.
        QCOMPARE(QDir(privateDir + QStringLiteral("/plugins")).exists(),
                 QDir(KTestEnv::binPath(QStringLiteral("plugins"))).exists());

        // Nothing of the build or of the test world leads the installed service.
        QProcessEnvironment env = m_env.environment();
        for (const char *name : {"ULX_INSTALL_CONFIG", "ULX_BIN_DIR", "LD_LIBRARY_PATH"})
            env.remove(QLatin1String(name));
        QStringList arguments = QProcess::splitCommand(command);
        QProcess service;
        service.setProcessEnvironment(env);
        service.setProcessChannelMode(QProcess::ForwardedChannels);
        service.start(arguments.takeFirst(), arguments);
        QVERIFY(service.waitForStarted(KTestEnv::scaled(5000)));
        const QString served = QStringLiteral(" %1 FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission "
                                              "/start_from:logon\n")
                                   .arg(service.processId());
        QTRY_VERIFY_WITH_TIMEOUT(m_env.logText().contains(served) || service.state() == QProcess::NotRunning,
                                 KTestEnv::scaled(10000));
        QCOMPARE(service.state(), QProcess::Running);
        QVERIFY(m_env.logText().contains(served));

        // Its libraries are the installed ones.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(service.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QString mapped = QString::fromLocal8Bit(maps.readAll());
        for (const char *library : {"libulxcloudsvrimp.so", "libulxsuite.so", "libulxplatform.so"})
            QVERIFY2(mapped.contains(privateDir + QLatin1Char('/') + QLatin1String(library)), library);
        QVERIFY(!mapped.contains(QStringLiteral(ULX_BUILD_DIR)));

        service.terminate();
        QVERIFY(service.waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(service.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
