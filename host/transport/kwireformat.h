#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One channel message on the per-user socket. Integers are little-endian.
//
//   request: magic "ULXQ" | u16 version | u16 name bytes | u32 payload bytes | name | payload
//   reply:   magic "ULXR" | u16 version | u16 status | u32 payload bytes | payload
//
// The name is UTF-16LE without terminator (2..256 bytes, no NUL unit). The payload
// is the sender's buffer as it stands (0..4096 bytes, even); the receiving side adds
// the terminating NUL itself. One connection carries one request and one reply.
// Status 0: the request was dispatched and the payload is the handler's reply.
// Status 1: the server refused the request without dispatching it; the payload is
// the reason as UTF-16LE text without terminator. (Servers before the status was
// introduced always sent 0 there.)
namespace ulx::hostwire {

inline constexpr std::uint32_t RequestMagic = 0x51584C55; // "ULXQ" as bytes on the wire
inline constexpr std::uint32_t ReplyMagic = 0x52584C55;   // "ULXR"
inline constexpr std::uint16_t Version = 1;
inline constexpr std::size_t HeaderBytes = 12;
inline constexpr std::size_t MaxNameBytes = 256;
inline constexpr std::size_t MaxPayloadBytes = 4096;

// Empty when the name or payload is outside the bounds above.
std::vector<unsigned char> encodeRequest(std::u16string_view name, const void *payload,
                                         std::size_t payloadBytes);
enum ReplyStatus : std::uint16_t { Answered = 0, Refused = 1 };

// `payloadBytes` is clipped to MaxPayloadBytes.
std::vector<unsigned char> encodeReply(const void *payload, std::size_t payloadBytes,
                                       ReplyStatus status = Answered);
// A refusal carrying `reason` (ASCII).
std::vector<unsigned char> encodeRefusal(std::string_view reason);

// The payload size of a reply header, or -1 when the header is not a valid reply.
long long replyPayloadBytes(const unsigned char (&header)[HeaderBytes]);
// The status of a valid reply header (anything but Answered counts as a refusal).
ReplyStatus replyStatus(const unsigned char (&header)[HeaderBytes]);
// The reason text of a refusal's payload.
std::string refusalReason(const std::vector<unsigned char> &payload);

enum class ReadStatus { NeedMore, Complete, Malformed };

// Collects one request from a stream. It never asks for a byte beyond the frame
// and judges the header as soon as it is complete, so a peer that announces a
// huge message is refused after twelve bytes.
class KRequestReader
{
public:
    // Where the next bytes go and how many may be read now.
    unsigned char *writePtr() { return m_buf + m_filled; }
    std::size_t room() const { return m_expected - m_filled; }
    ReadStatus commit(std::size_t bytes);

    ReadStatus status() const { return m_status; }
    // Why the request was refused (a short constant text).
    const char *problem() const { return m_problem; }
    std::size_t received() const { return m_filled; }

    // Valid once Complete.
    std::u16string name() const;
    const unsigned char *payload() const { return m_buf + HeaderBytes + m_nameBytes; }
    std::size_t payloadBytes() const { return m_payloadBytes; }

private:
    ReadStatus refuse(const char *problem);
    ReadStatus checkHeader();

    unsigned char m_buf[HeaderBytes + MaxNameBytes + MaxPayloadBytes];
    std::size_t m_filled = 0;
    std::size_t m_expected = HeaderBytes;
    std::size_t m_nameBytes = 0;
    std::size_t m_payloadBytes = 0;
    ReadStatus m_status = ReadStatus::NeedMore;
    const char *m_problem = "";
};

} // namespace ulx::hostwire
