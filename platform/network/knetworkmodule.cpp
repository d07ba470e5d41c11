#include "platform/export.h"
#include "platform/knetaccess.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

#include <openssl/evp.h>

// The network module: Qt Network, its TLS backend and the crypto library behind the
// Core-only interface of platform/knetaccess.h. Loaded once per process on first
// use and never unloaded.
namespace {

using ulx::net::KHttpReply;
using ulx::net::KHttpRequest;

class KQtHttpReply final : public KHttpReply
{
public:
    KQtHttpReply(QNetworkReply *reply, QObject *parent)
        : KHttpReply(parent)
        , m_reply(reply)
    {
        reply->setParent(this);
        connect(reply, &QNetworkReply::readyRead, this, &KHttpReply::readyRead);
        connect(reply, &QNetworkReply::downloadProgress, this, &KHttpReply::downloadProgress);
        connect(reply, &QNetworkReply::finished, this, &KHttpReply::finished);
    }

    Error error() const override
    {
        switch (m_reply->error()) {
        case QNetworkReply::NoError:
            return NoError;
        case QNetworkReply::OperationCanceledError:
            return OperationCanceledError;
        case QNetworkReply::TimeoutError:
            return TimeoutError;
        default:
            return OtherError;
        }
    }
    QString errorString() const override { return m_reply->errorString(); }
    int httpStatus() const override
    {
        return m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    qint64 contentLength() const override
    {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        return length.isValid() ? length.toLongLong() : -1;
    }
    qint64 bytesAvailable() const override { return m_reply->bytesAvailable(); }
    QByteArray read(qint64 maxSize) override { return m_reply->read(maxSize); }
    QByteArray readAll() override { return m_reply->readAll(); }
    void abort() override { m_reply->abort(); }

private:
    QNetworkReply *m_reply;
};

class KOpenSslSha256 final : public ulx::net::KSha256
{
public:
    KOpenSslSha256()
        : m_context(EVP_MD_CTX_new())
    {
    }
    ~KOpenSslSha256() override { EVP_MD_CTX_free(m_context); }
    bool start() { return m_context && EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) == 1; }
    void addData(QByteArrayView piece) override
    {
        EVP_DigestUpdate(m_context, piece.data(), std::size_t(piece.size()));
    }
    QByteArray result() override
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_context, digest, &length);
        return QByteArray(reinterpret_cast<const char *>(digest), int(length));
    }

private:
    EVP_MD_CTX *m_context;
};

class KQtNetworkAccess final : public ulx::net::KNetworkAccess
{
public:
    KQtNetworkAccess()
    {
        // The oldest protocol the service accepts is TLS 1.2; newer ones stay on,
        // so a server that speaks only TLS 1.3 is reached as well.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        if (tls.protocol() != QSsl::TlsV1_2OrLater) {
            tls.setProtocol(QSsl::TlsV1_2OrLater);
            QSslConfiguration::setDefaultConfiguration(tls);
        }
    }

    KHttpReply *get(const KHttpRequest &request, QObject *parent) override
    {
        QNetworkRequest r(request.url);
        r.setTransferTimeout(request.transferTimeoutMs);
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       request.followRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy
                                               : QNetworkRequest::ManualRedirectPolicy);
        if (!request.caFile.isEmpty() && request.url.scheme() == QLatin1String("https")) {
            QSslConfiguration tls = r.sslConfiguration();
            tls.addCaCertificates(request.caFile);
            r.setSslConfiguration(tls);
        }
        QNetworkReply *reply = m_manager.get(r);
        if (request.readBufferSize > 0)
            reply->setReadBufferSize(request.readBufferSize);
        if (request.ignoreTlsErrors)
            QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        return new KQtHttpReply(reply, parent);
    }

    std::unique_ptr<ulx::net::KSha256> createSha256() override
    {
        auto hash = std::make_unique<KOpenSslSha256>();
        if (!hash->start())
            return nullptr;
        return hash;
    }

private:
    QNetworkAccessManager m_manager;
};

} // namespace

extern "C" ULX_EXPORT ulx::net::KNetworkAccess *ulxNetworkAccess()
{
    // Lives until the process ends: replies may still be in flight at exit.
    static auto *access = new KQtNetworkAccess;
    return access;
}
