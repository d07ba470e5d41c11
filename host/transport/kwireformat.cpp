#include "host/transport/kwireformat.h"

#include <QtEndian>

#include <cstring>

namespace ulx::hostwire {
namespace {

void putHeader(unsigned char *out, std::uint32_t magic, std::uint16_t second, std::uint32_t payloadBytes)
{
    qToLittleEndian<std::uint32_t>(magic, out);
    qToLittleEndian<std::uint16_t>(Version, out + 4);
    qToLittleEndian<std::uint16_t>(second, out + 6);
    qToLittleEndian<std::uint32_t>(payloadBytes, out + 8);
}

} // namespace

std::vector<unsigned char> encodeRequest(std::u16string_view name, const void *payload, std::size_t payloadBytes)
{
    const std::size_t nameBytes = name.size() * sizeof(char16_t);
    if (name.empty() || nameBytes > MaxNameBytes || payloadBytes > MaxPayloadBytes || payloadBytes % 2 != 0
        || (payloadBytes > 0 && !payload))
        return {};
    std::vector<unsigned char> frame(HeaderBytes + nameBytes + payloadBytes);
    putHeader(frame.data(), RequestMagic, std::uint16_t(nameBytes), std::uint32_t(payloadBytes));
    unsigned char *p = frame.data() + HeaderBytes;
    for (char16_t unit : name) {
        qToLittleEndian<std::uint16_t>(unit, p);
        p += 2;
    }
    if (payloadBytes)
        std::memcpy(p, payload, payloadBytes);
    return frame;
}

std::vector<unsigned char> encodeReply(const void *payload, std::size_t payloadBytes, ReplyStatus status)
{
    if (!payload)
        payloadBytes = 0;
    payloadBytes = std::min(payloadBytes, MaxPayloadBytes);
    std::vector<unsigned char> frame(HeaderBytes + payloadBytes);
    putHeader(frame.data(), ReplyMagic, status, std::uint32_t(payloadBytes));
    if (payloadBytes)
        std::memcpy(frame.data() + HeaderBytes, payload, payloadBytes);
    return frame;
}

std::vector<unsigned char> encodeRefusal(std::string_view reason)
{
    std::vector<unsigned char> text;
    for (char c : reason.substr(0, MaxPayloadBytes / 2)) {
        text.push_back(static_cast<unsigned char>(c));
        text.push_back(0);
    }
    return encodeReply(text.data(), text.size(), Refused);
}

ReplyStatus replyStatus(const unsigned char (&header)[HeaderBytes])
{
    return qFromLittleEndian<std::uint16_t>(header + 6) == Answered ? Answered : Refused;
}

std::string refusalReason(const std::vector<unsigned char> &payload)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < payload.size(); i += 2) {
        const std::uint16_t unit = qFromLittleEndian<std::uint16_t>(payload.data() + i);
        out.push_back(unit >= 0x20 && unit < 0x7f ? char(unit) : '?');
    }
    return out;
}

long long replyPayloadBytes(const unsigned char (&header)[HeaderBytes])
{
    if (qFromLittleEndian<std::uint32_t>(header) != ReplyMagic
        || qFromLittleEndian<std::uint16_t>(header + 4) != Version)
        return -1;
    const std::uint32_t bytes = qFromLittleEndian<std::uint32_t>(header + 8);
    return bytes > MaxPayloadBytes ? -1 : (long long)bytes;
}

ReadStatus KRequestReader::refuse(const char *problem)
{
    m_problem = problem;
    m_status = ReadStatus::Malformed;
    m_expected = m_filled; // no room: nothing more is read
    return m_status;
}

ReadStatus KRequestReader::checkHeader()
{
    if (qFromLittleEndian<std::uint32_t>(m_buf) != RequestMagic)
        return refuse("bad magic");
    if (qFromLittleEndian<std::uint16_t>(m_buf + 4) != Version)
        return refuse("unknown version");
    m_nameBytes = qFromLittleEndian<std::uint16_t>(m_buf + 6);
    const std::uint32_t payloadBytes = qFromLittleEndian<std::uint32_t>(m_buf + 8);
    if (m_nameBytes == 0 || m_nameBytes > MaxNameBytes || m_nameBytes % 2 != 0)
        return refuse("bad name length");
    if (payloadBytes > MaxPayloadBytes || payloadBytes % 2 != 0)
        return refuse("bad payload length");
    m_payloadBytes = payloadBytes;
    m_expected = HeaderBytes + m_nameBytes + m_payloadBytes;
    return ReadStatus::NeedMore;
}

ReadStatus KRequestReader::commit(std::size_t bytes)
{
    if (m_status != ReadStatus::NeedMore || bytes > room())
        return m_status == ReadStatus::NeedMore ? refuse("overrun") : m_status;
    const bool headerWasOpen = m_filled < HeaderBytes;
    m_filled += bytes;
    if (headerWasOpen && m_filled == HeaderBytes && checkHeader() == ReadStatus::Malformed)
        return m_status;
    if (m_filled < m_expected)
        return ReadStatus::NeedMore;

    const unsigned char *name = m_buf + HeaderBytes;
    for (std::size_t i = 0; i < m_nameBytes; i += 2) {
        if (qFromLittleEndian<std::uint16_t>(name + i) == 0)
            return refuse("NUL in name");
    }
    // A full area must carry its own terminator: there is no room to add one.
    if (m_payloadBytes == MaxPayloadBytes
        && qFromLittleEndian<std::uint16_t>(payload() + m_payloadBytes - 2) != 0)
        return refuse("unterminated payload");
    m_status = ReadStatus::Complete;
    return m_status;
}

std::u16string KRequestReader::name() const
{
    std::u16string out;
    out.reserve(m_nameBytes / 2);
    for (std::size_t i = 0; i < m_nameBytes; i += 2)
        out.push_back(char16_t(qFromLittleEndian<std::uint16_t>(m_buf + HeaderBytes + i)));
    return out;
}

} // namespace ulx::hostwire
