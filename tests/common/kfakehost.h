#pragma once

#include "ipc/ikcloudsvrhost.h"

#include <QString>
#include <QStringList>

// A host transport inside the test process, exported as GetHostInterface by
// test programs that link it (ENABLE_EXPORTS). It records every call and, as a
// real host may, delivers a message to this process's own receiver during sendMessage.
class KFakeHost final : public IKCloudSvrHost
{
public:
    static KFakeHost &instance();
    void reset();

    // What the next calls answer.
    bool offered = true;       // GetHostInterface yields the host
    bool server = true;        // isChannelServer()
    bool deliver = true;       // sendMessage() succeeds
    bool deliverToSelf = true; // ...and calls our own receiver with the request
    bool timeOut = false;      // sendMessage() calls the time-out handler and fails

    // What was called, in order ("isChannelServer", "registerReceiver:_TRANSMISSION_", ...).
    QStringList calls;
    QString lastTarget;
    QString lastMessage;
    QString lastRequest;
    std::uint32_t lastRequestSize = 0;
    std::uint32_t lastReplySize = 0;
    bool lastHadTimeoutHandler = false;

    void *context = nullptr;
    KReceiveHandler handler = nullptr;

    const char16_t *STDMETHODCALLTYPE channelName() override { return u"UlxCloudSvr"; }
    void STDMETHODCALLTYPE registerReceiver(const char16_t *name, void *ctx, KReceiveHandler h) override;
    BOOL STDMETHODCALLTYPE isChannelServer() override;
    void STDMETHODCALLTYPE releaseChannel() override { calls << QStringLiteral("releaseChannel"); }
    BOOL STDMETHODCALLTYPE sendMessage(const char16_t *target, const char16_t *messageName, IKMemBuffer *request,
                                       IKMemBuffer *reply, std::uint32_t timeoutMs, KTimeoutHandler onTimeout) override;
    void STDMETHODCALLTYPE finishStartUp() override { calls << QStringLiteral("finishStartUp"); }
    void STDMETHODCALLTYPE prepareExit(int) override { calls << QStringLiteral("prepareExit"); }
    std::uint32_t STDMETHODCALLTYPE refusedCount() override { return 0; }
};
