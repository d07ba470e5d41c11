#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

// The one road from the service to HTTP(S). The network stacks (Qt Network, the TLS
// backend, the crypto library) live in the module "ulxnetwork" beside this library,
// which `networkAccess()` loads on its first call; a process that never asks for the
// network never maps any of them. Everything here is plain Qt Core, so the users of
// the network link nothing of it.
namespace ulx::net {

// One GET request.
struct KHttpRequest
{
    QUrl url;
    // A transfer that moves no byte for this long ends with TimeoutError; 0: never.
    int transferTimeoutMs = 0;
    // Follow redirects, except from https to http.
    bool followRedirects = false;
    // For https: a PEM file of certificates trusted beside the system's.
    QString caFile;
    // For https: certificate errors of this request are accepted.
    bool ignoreTlsErrors = false;
    // Bytes the reply buffers before it stops reading from the socket; 0: no limit.
    qint64 readBufferSize = 0;
};

// The answer to one request, driven by the event loop of the thread that asked.
// `finished` comes exactly once, also after `abort()`; the asker deletes the reply
// (deleteLater) once it is done with it.
class KHttpReply : public QObject
{
    Q_OBJECT
public:
    enum Error { NoError, OperationCanceledError, TimeoutError, OtherError };

    using QObject::QObject;

    virtual Error error() const = 0;
    virtual QString errorString() const = 0;
    // The HTTP status of the answer; 0 before the header or without an HTTP answer.
    virtual int httpStatus() const = 0;
    // The announced body length; -1 when none was announced.
    virtual qint64 contentLength() const = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray read(qint64 maxSize) = 0;
    virtual QByteArray readAll() = 0;
    virtual void abort() = 0;

Q_SIGNALS:
    void readyRead();
    void downloadProgress(qint64 received, qint64 total);
    void finished();
};

// A SHA-256 computation over pieces (the crypto library's, which uses the
// processor's hash instructions).
class KSha256
{
public:
    virtual ~KSha256() = default;
    virtual void addData(QByteArrayView piece) = 0;
    // The digest of everything added, as raw bytes.
    virtual QByteArray result() = 0;
};

// What the module offers.
class KNetworkAccess
{
public:
    virtual ~KNetworkAccess() = default;
    // Starts a GET; never null. The reply is a child of `parent` (may be null).
    virtual KHttpReply *get(const KHttpRequest &request, QObject *parent) = 0;
    // Null when the crypto library offers no SHA-256.
    virtual std::unique_ptr<KSha256> createSha256() = 0;
};

// The process's network access: loads the module on the first call (with the
// process-wide TLS default of the module: TLS 1.2 or later). Null when the module
// cannot be loaded; `problem` then says why. Later calls return the same answer.
// Main thread only.
KNetworkAccess *networkAccess(QString *problem = nullptr);

// Whether the module is loaded in this process (it never is before the first
// `networkAccess()` call).
bool networkAccessLoaded();

} // namespace ulx::net

// The module's one entry point, looked up by `networkAccess()`.
#define ULX_NETWORK_ACCESS_ENTRY "ulxNetworkAccess"
