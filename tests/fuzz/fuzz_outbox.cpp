// A spool file as the outbox finds it: anything a crash, a full disk or another
// program left there. Read whole or in two pieces, it must give the same URLs, and
// only URLs the sender may send.
#include "reportcore/kinforecord.h"
#include "reportcore/koutbox.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> whole = ulx::outbox::parseSpool(bytes);
    for (const QByteArray &url : whole) {
        const QByteArray head = url.left(8).toLower();
        require(head.startsWith("http://") || head.startsWith("https://"));
        require(url.size() <= ulx::inforecord::MaxUrlBytes && !url.contains('\n'));
    }
    const qsizetype cut = size ? qsizetype(data[0]) * qsizetype(size) / 256 : 0;
    ulx::outbox::SpoolParser pieces(whole.size());
    pieces.feed(bytes.first(cut));
    pieces.feed(bytes.sliced(cut));
    pieces.finish();
    require(pieces.urls == whole);
    return 0;
}
