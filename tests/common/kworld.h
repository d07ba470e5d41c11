#pragma once

#include "tests/common/testenv.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <memory>

// What the tests of real service processes share: files, the service's log by
// category, and the service itself started in a world (a KTestEnv).
namespace ktest {

// The file's bytes (empty when it cannot be read).
QByteArray readFile(const QString &path);
QStringList readLines(const QString &path);
// Writes `bytes`, making the directories; `executable` gives the owner rwx.
bool writeFile(const QString &path, const QByteArray &bytes, bool executable = false);
// A shell script that appends its arguments, one start a line, to `record`.
bool writeRecordingScript(const QString &path, const QString &record);

// Starts `flock PATH sh` in `holder`, holding the lock on PATH until its stdin closes.
bool startLockHolder(QProcess &holder, const QString &path);

// The messages logged under `category` (the fifth field of a log line), from
// byte `from` of the log on.
QStringList logMessages(const KTestEnv &env, const QString &category, qsizetype from = 0);
// The messages ("LEVEL category text") logged by the process `pid`.
QStringList logLinesOf(const KTestEnv &env, qint64 pid);
// Waits up to scaled(`ms`) until `message` is logged under `category`.
bool waitForLog(const KTestEnv &env, const QString &category, const QString &message, int ms);

// A ulxcloudsvr process of a world; terminated (killed when it does not end) with it.
class KService
{
public:
    explicit KService(const KTestEnv &env) : m_env(env) {}
    ~KService() { stop(); }
    bool start(const QStringList &arguments, const QProcessEnvironment &env = {});
    // A second start: hands its line to the serving process and ends with 0.
    bool send(const QStringList &arguments, const QProcessEnvironment &env = {}) const;
    // Terminates the service; false unless it ended by itself with exit code 0.
    bool stop();
    QProcess *process() const { return m_process.get(); }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }

private:
    const KTestEnv &m_env;
    std::unique_ptr<QProcess> m_process;
};

} // namespace ktest
