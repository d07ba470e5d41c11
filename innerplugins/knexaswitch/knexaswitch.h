#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QDate>
#include <QObject>
#include <QUrl>

namespace ulx::net {
class KHttpReply;
}

// Fetches the integrated shell's beta switch and stores, in "beep" of the plugin
// settings "knexabeep", today's date, the server's date and the beta's end, each as
// a date code. Only while the local "switch" there is "true", only when the
// installation names an endpoint ([Servers] NexaSwitchSvr), one request at a time.
class KNexaSwitch : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    KNexaSwitch() = default;
    ~KNexaSwitch() override;

    void init() override {}
    void uninit() override {}
    void exec(const QString &cmdLine) override;

    // The request for this endpoint base ("http://host[:port]") and the context's values.
    static QUrl requestUrl(const QString &endpoint);
    // Julian day XOR 0x3C5A96E1, four bytes high to low, "hh:hh:hh:hh".
    static QString dateCode(const QDate &date);
    // A transfer that has not finished after this long counts as failed (default 30 s).
    static void setTransferTimeoutMs(int ms);
    bool isRequesting() const { return m_reply != nullptr; }

private Q_SLOTS:
    void httpFinished();

private:
    void release();

    ulx::net::KHttpReply *m_reply = nullptr;
};
