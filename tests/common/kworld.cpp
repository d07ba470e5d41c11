#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace ktest {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList readLines(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool writeFile(const QString &path, const QByteArray &bytes, bool executable)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    return !executable || f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool writeRecordingScript(const QString &path, const QString &record)
{
    return writeFile(path, "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(record) + "'\n", true);
}

bool startLockHolder(QProcess &holder, const QString &path)
{
    holder.start(QStringLiteral("flock"),
                 {path, QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("echo held; read line")});
    return holder.waitForReadyRead(KTestEnv::scaled(10000)) && holder.readLine().trimmed() == "held";
}

QStringList logMessages(const KTestEnv &env, const QString &category, qsizetype from)
{
    QStringList out;
    for (const QString &line : env.logText().mid(from).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.section(QLatin1Char(' '), 4, 4) == category)
            out << line.section(QLatin1Char(' '), 5);
    }
    return out;
}

QStringList logLinesOf(const KTestEnv &env, qint64 pid)
{
    QStringList out;
    for (const QString &line : env.logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.section(QLatin1Char(' '), 2, 2).toLongLong() == pid)
            out << line.section(QLatin1Char(' '), 3);
    }
    return out;
}

bool waitForLog(const KTestEnv &env, const QString &category, const QString &message, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!logMessages(env, category).contains(message) && t.elapsed() < KTestEnv::scaled(ms))
        QTest::qWait(25);
    return logMessages(env, category).contains(message);
}

bool KService::start(const QStringList &arguments, const QProcessEnvironment &env)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(env.isEmpty() ? m_env.environment() : env);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), arguments);
    return m_process->waitForStarted(KTestEnv::scaled(5000));
}

bool KService::send(const QStringList &arguments, const QProcessEnvironment &env) const
{
    QProcess client;
    client.setProcessEnvironment(env.isEmpty() ? m_env.environment() : env);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), arguments);
    return client.waitForFinished(KTestEnv::scaled(10000)) && client.exitStatus() == QProcess::NormalExit
        && client.exitCode() == 0;
}

bool KService::stop()
{
    bool ended = true;
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        ended = m_process->waitForFinished(KTestEnv::scaled(15000)) && m_process->exitStatus() == QProcess::NormalExit
            && m_process->exitCode() == 0;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(KTestEnv::scaled(5000));
        }
    }
    m_process.reset();
    return ended;
}

} // namespace ktest
