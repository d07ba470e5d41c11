// The channel's frame reader, fed as a socket would in reads of 1..16 bytes (the
// first input byte): it ends Complete with a request that encodes back to exactly
// the bytes it took, or refuses; it never waits with no room left.
#include "host/transport/kwireformat.h"
#include "tests/fuzz/fuzzcheck.h"

#include <algorithm>
#include <cstring>

using namespace ulx::hostwire;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t step = data[0] % 16 + 1;
    const std::vector<unsigned char> stream(data + 1, data + size);
    KRequestReader reader;
    std::size_t used = 0;
    ReadStatus status = ReadStatus::NeedMore;
    while (status == ReadStatus::NeedMore && used < stream.size()) {
        const std::size_t n = std::min({step, reader.room(), stream.size() - used});
        require(n > 0);
        std::memcpy(reader.writePtr(), stream.data() + used, n);
        used += n;
        status = reader.commit(n);
    }
    if (status == ReadStatus::Complete) {
        const auto frame = encodeRequest(reader.name(), reader.payload(), reader.payloadBytes());
        require(frame == std::vector<unsigned char>(stream.begin(), stream.begin() + used));
    }
    if (stream.size() >= HeaderBytes) { // the same bytes read as a reply
        unsigned char header[HeaderBytes];
        std::memcpy(header, stream.data(), HeaderBytes);
        require(replyPayloadBytes(header) <= (long long)MaxPayloadBytes);
        require(refusalReason({stream.begin() + HeaderBytes, stream.end()}).size() == (stream.size() - HeaderBytes) / 2);
    }
    return 0;
}
