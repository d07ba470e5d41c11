#include "ipc/kmembuffer.h"

#include <cstring>

_KSimpleMemBuffer::_KSimpleMemBuffer()
{
    std::memset(m_data, 0, sizeof m_data);
}

_KSimpleMemBuffer::_KSimpleMemBuffer(const QString &text)
    : _KSimpleMemBuffer()
{
    if (!text.isEmpty())
        m_tooLong = !setText(this, text);
}

BOOL _KSimpleMemBuffer::setSize(std::uint32_t bytes)
{
    if (bytes > Capacity)
        return 0;
    m_size = bytes;
    return 1;
}

std::uint32_t _KSimpleMemBuffer::size()
{
    return m_size;
}

void *_KSimpleMemBuffer::data()
{
    return m_data;
}

QString _KSimpleMemBuffer::text(IKMemBuffer *buffer)
{
    if (!buffer || !buffer->data())
        return QString();
    const auto *units = static_cast<const char16_t *>(buffer->data());
    const std::size_t maxUnits = std::min<std::uint32_t>(buffer->size(), Capacity) / sizeof(char16_t);
    std::size_t n = 0;
    while (n < maxUnits && units[n] != u'\0')
        ++n;
    return QString::fromUtf16(units, qsizetype(n));
}

bool _KSimpleMemBuffer::setText(IKMemBuffer *buffer, const QString &text)
{
    const qsizetype bytes = (text.size() + 1) * qsizetype(sizeof(char16_t));
    if (bytes > qsizetype(Capacity) || !buffer->setSize(std::uint32_t(bytes)))
        return false;
    std::memcpy(buffer->data(), text.utf16(), std::size_t(bytes)); // utf16() is NUL-terminated
    return true;
}

bool _KSimpleMemBuffer::setPayload(const void *bytes, std::size_t count)
{
    std::memset(m_data, 0, sizeof m_data);
    m_size = 0;
    if (count > Capacity)
        return false;
    if (count)
        std::memcpy(m_data, bytes, count);
    // The area is zeroed, so a terminator already follows the payload; the count
    // includes it. A full area has no room for one and then counts nothing: the
    // channel refuses such a payload unless it ends in one.
    const bool terminated = count >= 2 && m_data[count - 1] == 0 && m_data[count - 2] == 0;
    setSize(std::uint32_t(count == 0 || terminated ? count : count + 2));
    return true;
}
