#include "innerplugins/minisite/kulxminisiteipc.h"

#include "ipc/khostinterface.h"

#include <cstdlib>
#include <cstring>

_KMiniSimpleMemBuffer::_KMiniSimpleMemBuffer(const QString &text)
{
    if (text.isEmpty())
        return;
    const std::uint64_t bytes = 2 * (std::uint64_t(text.size()) + 1);
    if (bytes > 0xFFFFFFFFu || !setSize(std::uint32_t(bytes)))
        return;
    std::memcpy(m_data, text.utf16(), std::size_t(text.size()) * 2);
}

_KMiniSimpleMemBuffer::~_KMiniSimpleMemBuffer()
{
    std::free(m_data);
}

BOOL STDMETHODCALLTYPE _KMiniSimpleMemBuffer::setSize(std::uint32_t bytes)
{
    std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    const std::size_t rounded = (std::size_t(bytes) + 1) & ~std::size_t(1);
    if (rounded == 0)
        return 1;
    m_data = std::calloc(rounded, 1);
    if (!m_data)
        return 0;
    m_size = bytes;
    return 1;
}

KUlxMinisiteIpc::KUlxMinisiteIpc(QObject *parent)
    : QObject(parent)
    , m_host(lookupHostInterface())
{
}

bool KUlxMinisiteIpc::sendMessage(const QString &target, const QString &request, const QString &reply)
{
    m_host = lookupHostInterface();
    if (!m_host)
        return false;
    _KMiniSimpleMemBuffer requestBuffer(request);
    _KMiniSimpleMemBuffer replyBuffer(reply);
    return m_host->sendMessage(reinterpret_cast<const char16_t *>(target.utf16()), u"_TRANSMISSION_", &requestBuffer,
                               &replyBuffer, 2000, nullptr)
           != 0;
}
