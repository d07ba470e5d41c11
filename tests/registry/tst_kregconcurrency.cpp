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

QString expectedText(int i, int payload)
{
    const QString number = QString::number(i);
    return QString(qMax(0, payload - int(number.size())), QLatin1Char('x')) + number;
}

// waitForFinished() answers false for a process that has already ended.
bool finished(QProcess &process, int ms)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(ms);
}

qsizetype stressValueCount()
{
    const KRegStore::Snapshot snapshot = KRegStore::read(KRegHive::CurrentUser);
    const KRegNode *node = snapshot.root.find({"Software", "Stress"});
    return node ? qsizetype(node->values().size()) : 0;
}

} // namespace

class TestKRegConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fourProcessesLoseNoWrite();
    void readerNeverSeesTornFile();
    void killedWriterReleasesLockAndLeavesOldContent();

private:
    KTestEnv m_env;
};

void TestKRegConcurrency::init()
{
    QVERIFY(m_env.isValid());
    QDir(ulx::paths::configDir()).removeRecursively();
}

void TestKRegConcurrency::fourProcessesLoseNoWrite()
{
    constexpr int kProcesses = 4;
    constexpr int kValues = 200;
    constexpr int kPayload = 16;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int p = 0; p < kProcesses; ++p)
        writers.push_back(startHelper(m_env, {"write", QStringLiteral("p%1").arg(p), QString::number(kValues),
                                              QString::number(kPayload)}));
    for (auto &writer : writers) {
        QVERIFY(finished(*writer, 120000));
        QCOMPARE(writer->exitStatus(), QProcess::NormalExit);
        QCOMPARE(writer->exitCode(), 0);
    }

    KRegSettings settings(kStress);
    QCOMPARE(settings.childKeys().size(), kProcesses * kValues);
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kValues; ++i)
            QCOMPARE(settings.value(QStringLiteral("P%1_%2").arg(p).arg(i)).toString(), expectedText(i, kPayload));
    }
    QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
}

void TestKRegConcurrency::readerNeverSeesTornFile()
{
    // Large values make every rewrite long enough for a reader to meet it half done.
    constexpr int kValues = 150;
    constexpr int kPayload = 600;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int p = 0; p < 2; ++p)
        writers.push_back(startHelper(m_env, {"write", QStringLiteral("w%1").arg(p), QString::number(kValues),
                                              QString::number(kPayload)}));

    const QString path = KRegStore::filePath(KRegHive::CurrentUser);
    int reads = 0;
    qsizetype lastCount = 0;
    const auto running = [&writers] {
        for (auto &w : writers) {
            if (w->state() != QProcess::NotRunning)
                return true;
        }
        return false;
    };
    QElapsedTimer timer;
    timer.start();
    while (running() && timer.elapsed() < 120000) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            QJsonParseError error{};
            QJsonDocument::fromJson(bytes, &error);
            if (error.error != QJsonParseError::NoError)
                QFAIL(qPrintable(QStringLiteral("torn read of %1 bytes: %2").arg(bytes.size()).arg(error.errorString())));
            ++reads;
        }
        // Values only ever get added, so a reader never sees their number fall.
        const qsizetype count = stressValueCount();
        QVERIFY2(count >= lastCount, qPrintable(QStringLiteral("%1 values after %2").arg(count).arg(lastCount)));
        lastCount = count;
        for (auto &w : writers)
            w->waitForFinished(0);
    }
    for (auto &writer : writers) {
        QVERIFY(finished(*writer, 120000));
        QCOMPARE(writer->exitCode(), 0);
    }
    QVERIFY2(reads >= 20, qPrintable(QStringLiteral("only %1 reads during the writes").arg(reads)));
    QCOMPARE(stressValueCount(), 2 * kValues);
    QVERIFY(!QFile::exists(path + ".damaged"));
}

void TestKRegConcurrency::killedWriterReleasesLockAndLeavesOldContent()
{
    KRegSettings settings(kStress);
    settings.setValue("before", 1);

    auto holder = startHelper(m_env, {"hold"});
    QVERIFY(holder->waitForReadyRead(30000));
    QCOMPARE(holder->readLine().trimmed(), QByteArray("locked"));

    // A write from here must wait for the lock...
    std::future<void> writer = std::async(std::launch::async, [] { KRegSettings(kStress).setValue("after", 2); });
    QCOMPARE(writer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);

    // ...and go ahead once the kernel drops the dead holder's lock.
    holder->kill();
    QVERIFY(finished(*holder, 10000));
    QCOMPARE(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);

    QCOMPARE(settings.value("before"), QVariant(1));
    QCOMPARE(settings.value("after"), QVariant(2));
    QVERIFY(!settings.contains("held"));
    QVERIFY(!KRegStore::read(KRegHive::CurrentUser).damaged);
}

QTEST_GUILESS_MAIN(TestKRegConcurrency)
#include "tst_kregconcurrency.moc"
