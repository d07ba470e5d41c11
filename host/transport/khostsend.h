#pragma once

#include <string>
#include <string_view>
#include <vector>

// The sending side of a channel: one request over one connection, one reply.
namespace ulx::hostsend {

enum class SendResult {
    Delivered,    // a full reply came back
    NotDelivered, // nobody serves (and nobody hands over), or the peer dropped us
    Refused,      // the server answered with a refusal and did not dispatch the request
    TimedOut,     // the channel is served but did not answer in time
};

// Sends `payload` (at most 4096 bytes, even) as message `name` to channel `target`,
// served in the first of `runtimeDirs` where its socket answers or its election
// or hand-over lock is held. While the socket cannot be reached but one of those
// locks is held, it tries again every few milliseconds until the time-out; with
// neither held anywhere it fails at once. The request is never sent twice.
// `problem` receives the reason of any outcome but Delivered.
SendResult sendRequest(const std::vector<std::string> &runtimeDirs, std::u16string_view target,
                       std::u16string_view name, const void *payload, std::size_t payloadBytes,
                       std::vector<unsigned char> *reply, int timeoutMs, std::string *problem = nullptr);

} // namespace ulx::hostsend
