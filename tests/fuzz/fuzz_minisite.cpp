// A browse-the-web request on its way to the minisite program: wrapped as the
// plugin sends it, framed, read off the channel and taken as the program takes it,
// it arrives as sent (up to a U+0000) whenever it fits the channel's area.
#include "host/transport/kwireformat.h"
#include "innerplugins/minisite/kulxminisiteipc.h"
#include "ipc/kmembuffer.h"
#include "tests/fuzz/fuzzcheck.h"

#include <cstring>

using namespace ulx::hostwire;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QString info = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    _KMiniSimpleMemBuffer sent(info);
    if (!sent.data()) { // the transport refuses a buffer without an area
        require(info.isEmpty());
        return 0;
    }
    const auto frame = encodeRequest(u"_TRANSMISSION_", sent.data(), sent.size());
    require(frame.empty() == (sent.size() > IKMemBuffer::Capacity));
    if (frame.empty())
        return 0;
    KRequestReader reader;
    for (std::size_t used = 0; reader.status() == ReadStatus::NeedMore && used < frame.size();) {
        const std::size_t n = reader.room();
        require(n > 0);
        std::memcpy(reader.writePtr(), frame.data() + used, n);
        used += n;
        reader.commit(n);
    }
    require(reader.status() == ReadStatus::Complete);
    _KSimpleMemBuffer received;
    require(received.setPayload(reader.payload(), reader.payloadBytes()));
    const qsizetype nul = info.indexOf(QChar(0));
    require(_KSimpleMemBuffer::text(&received) == (nul < 0 ? info : info.left(nul)));
    return 0;
}
