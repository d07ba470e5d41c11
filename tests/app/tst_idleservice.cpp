// What an idle serving process keeps: real ulxcloudsvr processes, offscreen and
// under Xvfb started as a GNOME session with an input method would start them.
// Idle, no thread of the process wakes (the watchdog's first probe is a minute
// away, and the working-set trims come every second here unless they rest);
// every thread it starts carries a name of its own; no platform theme, input
// method or image-format plugin is loaded.

#include "platform/registry/kregsettings.h"
#include "tests/common/kworld.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

// Voluntary context switches of each thread, by "tid name".
QMap<QString, qint64> switchesOf(qint64 pid)
{
    QMap<QString, qint64> result;
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray status = ktest::readFile(tasks + tid + QStringLiteral("/status"));
        QString name;
        qint64 count = 0;
        for (const QByteArray &line : status.split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed());
            else if (line.startsWith("voluntary_ctxt_switches:"))
                count = line.mid(24).trimmed().toLongLong();
        }
        result.insert(tid + QLatin1Char(' ') + name, count);
    }
    return result;
}

} // namespace

class TestIdleService : public QObject
{
    Q_OBJECT
private:
    KTestEnv m_env;
    QProcess m_xvfb;
    QString m_display;

    // An X server of this test's own; empty when none can start here.
    QString display()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (m_display.isEmpty() && !xvfb.isEmpty() && m_xvfb.state() == QProcess::NotRunning) {
            m_xvfb.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp")});
            while (!m_xvfb.canReadLine() && m_xvfb.waitForReadyRead(KTestEnv::scaled(10000))) {}
            if (m_xvfb.canReadLine())
                m_display = QLatin1Char(':') + QString::fromLatin1(m_xvfb.readLine().trimmed());
        }
        return m_display;
    }

private Q_SLOTS:
    void initTestCase()
    {
        KRegSettings app(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
        app.beginGroup(QStringLiteral("Application Settings"));
        app.setValue(QStringLiteral("ReduceProcessWSSec"), 1);
    }

    void cleanupTestCase()
    {
        m_xvfb.terminate();
        m_xvfb.waitForFinished(5000);
    }

    void idle_data()
    {
        QTest::addColumn<bool>("x11");
        QTest::newRow("offscreen") << false;
        QTest::newRow("X11, GNOME session with ibus") << true;
    }

    void idle()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("ThreadSanitizer adds a thread of its own that wakes");
#endif
        QFETCH(bool, x11);
        QProcessEnvironment env = m_env.environment();
        if (x11) {
            if (display().isEmpty())
                QSKIP("Xvfb cannot start here (scripts/deps.sh installs it)");
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
            env.insert(QStringLiteral("DISPLAY"), m_display);
            env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
            env.insert(QStringLiteral("QT_IM_MODULE"), QStringLiteral("ibus"));
        }
        ktest::KService service(m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:idle")}, env));
        QVERIFY(ktest::waitForLog(m_env, QStringLiteral("KxUlxCloudSvrApplication"),
                                  QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /start_from:idle"), 20000));
        const qint64 pid = service.pid();

        // Two trims after the start's own command line, then they rest.
        QTest::qWait(KTestEnv::scaled(3000));
        const QMap<QString, qint64> before = switchesOf(pid);
        QTest::qWait(KTestEnv::scaled(2500));
        const QMap<QString, qint64> after = switchesOf(pid);
        QStringList woken, unnamed;
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            if (it.value() != before.value(it.key(), 0))
                woken << QStringLiteral("%1: %2").arg(it.key()).arg(it.value() - before.value(it.key(), 0));
            if (it.key() != QStringLiteral("%1 ulxcloudsvr").arg(pid) && it.key().endsWith(QLatin1String(" ulxcloudsvr")))
                unnamed << it.key();
        }
        QVERIFY2(woken.isEmpty(), qPrintable(woken.join(QStringLiteral(", "))));
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));

        const QString maps = QString::fromUtf8(ktest::readFile(QStringLiteral("/proc/%1/maps").arg(pid)));
        for (const char *kind : {"/platformthemes/", "/platforminputcontexts/", "/imageformats/"})
            QVERIFY2(!maps.contains(QLatin1String(kind)), kind);
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestIdleService)
#include "tst_idleservice.moc"
