#include "tests/common/ktestserver.h"

#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

KTestServer::KTestServer(const QString &directory, const QStringList &routes, bool tls, int port, bool tls13Only)
    : m_directory(directory)
    , m_tls(tls)
{
    QDir().mkpath(directory);
    QStringList args{scriptPath(), QStringLiteral("--record"), directory + QStringLiteral("/requests.jsonl")};
    for (const QString &r : routes)
        args << QStringLiteral("--route") << r;
    if (tls)
        args << QStringLiteral("--tls") << directory;
    if (tls && tls13Only)
        args << QStringLiteral("--tls13-only");
    if (port > 0)
        args << QStringLiteral("--port") << QString::number(port);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"), args);
    if (!m_process.waitForStarted(10000))
        return;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000 && !m_process.canReadLine())
        m_process.waitForReadyRead(200);
    const QByteArray line = m_process.readLine().trimmed();
    if (line.startsWith("PORT "))
        m_port = line.mid(5).toInt();
}

KTestServer::~KTestServer()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString KTestServer::scriptPath()
{
    return QStringLiteral(ULX_TEST_SERVER_SCRIPT);
}

QString KTestServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http")).arg(m_port).arg(path);
}

QString KTestServer::caFile() const
{
    return m_directory + QStringLiteral("/cert.pem");
}

QList<QJsonObject> KTestServer::records() const
{
    QList<QJsonObject> out;
    QFile f(m_directory + QStringLiteral("/requests.jsonl"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

QList<QJsonObject> KTestServer::recordsAt(const QString &path) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &r : records()) {
        if (r.value(QStringLiteral("path")).toString() == path)
            out << r;
    }
    return out;
}

QMap<QString, QString> KTestServer::pairsOf(const QJsonObject &record)
{
    QMap<QString, QString> out;
    for (const QJsonValue &p : record.value(QStringLiteral("pairs")).toArray())
        out.insert(p.toArray().at(0).toString(), p.toArray().at(1).toString());
    return out;
}

QStringList KTestServer::eventValues(const QString &dm, const QString &action, int field) const
{
    QStringList out;
    for (const QJsonObject &r : records()) {
        const QJsonArray pairs = r.value(QStringLiteral("pairs")).toArray();
        if (pairs.size() > field && pairs.at(0).toArray().at(1).toString() == dm
            && pairs.at(1).toArray().at(1).toString() == action)
            out << pairs.at(field).toArray().at(1).toString();
    }
    return out;
}

bool KTestServer::waitForRecords(int count, int ms) const
{
    QElapsedTimer t;
    t.start();
    while (records().size() < count) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QList<QJsonObject> KTestServer::decode(const QStringList &lines)
{
    QProcess p;
    p.start(QStringLiteral("python3"), {scriptPath(), QStringLiteral("--decode")});
    p.waitForStarted(10000);
    p.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    p.closeWriteChannel();
    p.waitForFinished(20000);
    QList<QJsonObject> out;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}
