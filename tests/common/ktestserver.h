#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// The loopback test server (testserver.py) as a child of the test: records every
// request (with its record decoded by the script's own decoder) and answers per
// path ("/hang=hang", "/late=late:3000", "/e=status:500", ...; see the script).
class KTestServer
{
public:
    // `directory` holds the record file (and the certificate with `tls`).
    // A `port` of 0 lets the system choose; a given one lets a test bring a collector back.
    // `tls13Only` (with `tls`) refuses every handshake below TLS 1.3.
    KTestServer(const QString &directory, const QStringList &routes = {}, bool tls = false, int port = 0,
                bool tls13Only = false);
    ~KTestServer();

    bool isRunning() const { return m_port > 0; }
    int port() const { return m_port; }
    // "http(s)://127.0.0.1:<port>" + path.
    QString url(const QString &path) const;
    // The certificate clients must trust (TLS only).
    QString caFile() const;
    // Every request so far, in arrival order.
    QList<QJsonObject> records() const;
    // Those whose path is exactly `path`.
    QList<QJsonObject> recordsAt(const QString &path) const;
    // The decoded "pairs" of a record as a map (for records whose fields are unique).
    static QMap<QString, QString> pairsOf(const QJsonObject &record);
    // Of the events whose first two pairs are `dm` and `action`, the value of pair `field`, in arrival order.
    QStringList eventValues(const QString &dm, const QString &action, int field = 6) const;
    // Waits up to `ms` (not scaled here) until at least `count` requests arrived.
    bool waitForRecords(int count, int ms) const;

    // The script's own decoder, for cross-checks: one JSON object per input line.
    static QList<QJsonObject> decode(const QStringList &lines);
    static QString scriptPath();

private:
    QString m_directory;
    bool m_tls;
    QProcess m_process;
    int m_port = 0;
};
