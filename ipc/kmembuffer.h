#pragma once

#include "ipc/ikcloudsvrhost.h"

#include <QString>

// The fixed-size message buffer: 4096 bytes of UTF-16 text and its byte count.
class _KSimpleMemBuffer final : public IKMemBuffer
{
public:
    _KSimpleMemBuffer();
    // The text with its NUL terminator; an empty text gives count 0. A text that
    // does not fit (more than 2047 code units) is not copied: the buffer stays
    // empty and tooLong() tells why.
    explicit _KSimpleMemBuffer(const QString &text);

    BOOL STDMETHODCALLTYPE setSize(std::uint32_t bytes) override;
    std::uint32_t STDMETHODCALLTYPE size() override;
    void *STDMETHODCALLTYPE data() override;

    bool tooLong() const { return m_tooLong; }

    // The NUL-terminated UTF-16 text at the start of `buffer`, bounded by its
    // byte count and area (a missing terminator never reads past the area).
    static QString text(IKMemBuffer *buffer);
    // Sets the buffer's count to (length + 1) * 2 and copies `text` with its NUL.
    // False when it does not fit; then nothing is copied.
    static bool setText(IKMemBuffer *buffer, const QString &text);
    // Takes a request's payload as it came off the channel (at most Capacity bytes):
    // copies it, and counts a terminator after it when it does not end in one.
    // False, with the buffer left empty, for a payload past the area.
    bool setPayload(const void *bytes, std::size_t count);

private:
    alignas(char16_t) unsigned char m_data[Capacity];
    std::uint32_t m_size = 0;
    bool m_tooLong = false;
};
