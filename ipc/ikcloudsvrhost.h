#pragma once

#include "platform/wintypes.h"

#include <cstdint>

// The host executable's transport as the service sees it. Interfaces are in the
// Windows object style: abstract classes whose operations receive the object
// as their first (hidden) argument; they are never deleted through these pointers.

// A message buffer: a 4096-byte area holding NUL-terminated UTF-16 text and the
// byte count of that text including its terminator.
struct IKMemBuffer
{
    static constexpr std::uint32_t Capacity = 4096;

    // False (and nothing changed) when `bytes` exceeds the area.
    virtual BOOL STDMETHODCALLTYPE setSize(std::uint32_t bytes) = 0;
    virtual std::uint32_t STDMETHODCALLTYPE size() = 0;
    virtual void *STDMETHODCALLTYPE data() = 0;

protected:
    ~IKMemBuffer() = default;
};

// Called by the host, on the host's receive thread, for each message that
// reaches this process: context, message name, a reserved value, request, reply.
using KReceiveHandler = void(STDMETHODCALLTYPE *)(void *context, const char16_t *messageName,
                                                   std::uintptr_t reserved, IKMemBuffer *request,
                                                   IKMemBuffer *reply);
// Called by the host on the sending thread when a served channel does not answer
// in time. The four arguments (host, target, message name, time-out in ms) are informative.
using KTimeoutHandler = void(STDMETHODCALLTYPE *)(void *host, const char16_t *target,
                                                   const char16_t *messageName,
                                                   std::uintptr_t timeoutMs);

struct IKCloudSvrHost
{
    // The channel this process would serve ("UlxCloudSvr", "UlxCloudSvr_Uwp", ...).
    virtual const char16_t *STDMETHODCALLTYPE channelName() = 0;

    virtual void STDMETHODCALLTYPE registerReceiver(const char16_t *messageName, void *context,
                                                    KReceiveHandler handler) = 0;
    // Nonzero when this process serves its channel. The first call takes the
    // channel if nobody serves it.
    virtual BOOL STDMETHODCALLTYPE isChannelServer() = 0;
    virtual void STDMETHODCALLTYPE releaseChannel() = 0;
    // Nonzero when the message was delivered and answered. A target that nobody
    // serves fails at once; a served target that does not answer within
    // `timeoutMs` fails after calling `onTimeout` (when given).
    virtual BOOL STDMETHODCALLTYPE sendMessage(const char16_t *target, const char16_t *messageName,
                                               IKMemBuffer *request, IKMemBuffer *reply,
                                               std::uint32_t timeoutMs, KTimeoutHandler onTimeout) = 0;
    virtual void STDMETHODCALLTYPE finishStartUp() = 0;
    // The process is about to end itself: stop serving, wake nobody.
    virtual void STDMETHODCALLTYPE prepareExit(int reserved) = 0;

    // Number of messages refused (malformed, oversized, foreign peer, late) since start.
    virtual std::uint32_t STDMETHODCALLTYPE refusedCount() = 0;

protected:
    ~IKCloudSvrHost() = default;
};

// Exported by the host executable (looked up in the running program, not linked).
using GetHostInterfaceFn = BOOL (*)(IKCloudSvrHost **host);
inline constexpr const char *GetHostInterfaceSymbol = "GetHostInterface";
