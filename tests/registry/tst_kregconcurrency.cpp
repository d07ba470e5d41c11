// The store under several real processes: no lost writes, no torn files for
// readers, and a writer that dies holding the lock loses only its own change.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"
#include "platform/xdgpaths.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <future>
#include <memory>
#include <vector>

namespace {

const QString kStress = QStringLiteral("HKCU\\Software\\Stress");

std::unique_ptr<QProcess> startHelper(const KTestEnv &env, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env.environment());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(KTestEnv::binPath(QStringLiteral("regstresshelper")), args);
    return process;
}

// waitForFinished() answers false for a process that has already ended.
bool finished(QProcess &process, int ms = KTestEnv::scaled(120000))
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(ms);
}

qsizetype stressValueCount()
{
    const std::optional<KRegNode> node = KRegStore::readKey(KRegKeyPath::parse(kStress));
    return node ? qsizetype(node->values().size()) : 0;
}

} // namespace

class TestKRegConcurrency : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

private slots:
    void init()
    {
        QVERIFY(m_env.isValid());
        QDir(ulx::paths::configDir()).removeRecursively();
    }

    // Four writers at once lose no value, and a reader meanwhile never meets a half-written file.
    void fourProcessesLoseNoWriteAndReaderSeesNoTornFile()
    {
        constexpr int kProcesses = 4, kValues = 200, kPayload = 300; // large values make each rewrite slow
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int p = 0; p < kProcesses; ++p)
            writers.push_back(startHelper(m_env, {"write", QStringLiteral("p%1").arg(p), QString::number(kValues),
                                                  QString::number(kPayload)}));
        const auto running = [&writers] {
            return std::any_of(writers.begin(), writers.end(), [](auto &w) {
                w->waitForFinished(0);
                return w->state() != QProcess::NotRunning;
            });
        };
        const QString path = KRegStore::filePath(KRegHive::CurrentUser);
        int reads = 0;
        qsizetype lastCount = 0;
        QElapsedTimer timer;
        timer.start();
        while (running() && timer.elapsed() < KTestEnv::scaled(120000)) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                QJsonParseError error{};
                QJsonDocument::fromJson(bytes, &error);
                QVERIFY2(error.error == QJsonParseError::NoError,
                         qPrintable(QString("torn read of %1 bytes: %2").arg(bytes.size()).arg(error.errorString())));
                ++reads;
            }
            // Values only ever get added, so a reader never sees their number fall.
            const qsizetype count = stressValueCount();
            QVERIFY2(count >= lastCount, qPrintable(QStringLiteral("%1 values after %2").arg(count).arg(lastCount)));
            lastCount = count;
        }
        for (auto &writer : writers) {
            QVERIFY(finished(*writer));
            QCOMPARE(writer->exitStatus(), QProcess::NormalExit);
            QCOMPARE(writer->exitCode(), 0);
        }
        QVERIFY2(reads >= 20, qPrintable(QStringLiteral("only %1 reads during the writes").arg(reads)));

        KRegSettings settings(kStress);
        QCOMPARE(settings.childKeys().size(), kProcesses * kValues);
        for (int p = 0; p < kProcesses; ++p) {
            for (int i = 0; i < kValues; ++i) {
                const QString n = QString::number(i);
                QCOMPARE(settings.value(QStringLiteral("P%1_%2").arg(p).arg(i)).toString(),
                         QString(kPayload - n.size(), 'x') + n);
            }
        }
        QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
    }

    void killedWriterReleasesLockAndLeavesOldContent()
    {
        KRegSettings settings(kStress);
        settings.setValue("before", 1);
        auto holder = startHelper(m_env, {"hold"});
        QVERIFY(holder->waitForReadyRead(KTestEnv::scaled(30000)));
        QCOMPARE(holder->readLine().trimmed(), QByteArray("locked"));

        // A write from here waits for the lock, and goes ahead once the kernel drops the dead holder's lock.
        std::future<void> writer = std::async(std::launch::async, [] { KRegSettings(kStress).setValue("after", 2); });
        QCOMPARE(writer.wait_for(std::chrono::milliseconds(KTestEnv::scaled(300))), std::future_status::timeout);
        holder->kill();
        QVERIFY(finished(*holder, KTestEnv::scaled(10000)));
        QCOMPARE(writer.wait_for(std::chrono::milliseconds(KTestEnv::scaled(10000))), std::future_status::ready);
        QCOMPARE(settings.allKeys(), (QStringList{"after", "before"}));
        QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
    }
};

QTEST_GUILESS_MAIN(TestKRegConcurrency)
#include "tst_kregconcurrency.moc"
