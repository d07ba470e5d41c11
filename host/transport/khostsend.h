#pragma once

#include <string>
#include <string_view>
#include <vector>

// The sending side of a channel: one request over one connection, one reply.
namespace ulx::hostsend {

enum class SendResult {
    Delivered,    // a full reply came back
    NotDelivered, // nobody serves (and nobody hands over), the peer dropped us, or a refusal
    TimedOut,     // the channel is served but did not answer in time
};

// Sends `payload` (at most 4096 bytes, even) as message `name` to channel `target`
// whose files lie in `runtimeDir`. While the channel's socket cannot be reached
// but its election lock or its hand-over lock is held, it tries again every few
// milliseconds until the time-out; with neither held it fails at once. The
// request is never sent twice. `problem` receives a reason for refusals that the
// caller may want to print.
SendResult sendRequest(const std::string &runtimeDir, std::u16string_view target, std::u16string_view name,
                       const void *payload, std::size_t payloadBytes, std::vector<unsigned char> *reply,
                       int timeoutMs, std::string *problem = nullptr);

} // namespace ulx::hostsend
