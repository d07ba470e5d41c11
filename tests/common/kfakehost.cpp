#include "tests/common/kfakehost.h"

#include "ipc/kmembuffer.h"

KFakeHost &KFakeHost::instance()
{
    static KFakeHost host;
    return host;
}

void KFakeHost::reset()
{
    offered = server = deliver = deliverToSelf = true;
    timeOut = false;
    calls.clear();
    lastTarget.clear();
    lastMessage.clear();
    lastRequest.clear();
    lastRequestSize = lastReplySize = 0;
    lastHadTimeoutHandler = false;
    context = nullptr;
    handler = nullptr;
}

void KFakeHost::registerReceiver(const char16_t *name, void *ctx, KReceiveHandler h)
{
    calls << QStringLiteral("registerReceiver:") + QString::fromUtf16(name) + (h ? QString() : QStringLiteral(":null"));
    context = ctx;
    handler = h;
}

BOOL KFakeHost::isChannelServer()
{
    calls << QStringLiteral("isChannelServer");
    return server ? 1 : 0;
}

BOOL KFakeHost::sendMessage(const char16_t *target, const char16_t *messageName, IKMemBuffer *request,
                            IKMemBuffer *reply, std::uint32_t timeoutMs, KTimeoutHandler onTimeout)
{
    calls << QStringLiteral("sendMessage");
    lastTarget = QString::fromUtf16(target);
    lastMessage = QString::fromUtf16(messageName);
    lastRequest = _KSimpleMemBuffer::text(request);
    lastRequestSize = request->size();
    lastReplySize = reply->size();
    lastHadTimeoutHandler = onTimeout != nullptr;
    if (timeOut) {
        if (onTimeout)
            onTimeout(this, target, messageName, timeoutMs);
        return 0;
    }
    if (!deliver)
        return 0;
    if (deliverToSelf && handler) {
        _KSimpleMemBuffer answer;
        handler(context, messageName, 0, request, &answer);
    }
    return 1;
}

extern "C" __attribute__((visibility("default"))) BOOL GetHostInterface(IKCloudSvrHost **host)
{
    KFakeHost &fake = KFakeHost::instance();
    if (!fake.offered || !host)
        return 0;
    *host = &fake;
    return 1;
}
