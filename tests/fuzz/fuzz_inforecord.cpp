// The info record's decoders: an S1 record that parses is the one serialisation of
// its pairs, E1 text that decodes encodes to text that decodes the same, and a
// line of any text decodes or says why not.
#include "reportcore/kinforecord.h"
#include "tests/fuzz/fuzzcheck.h"

using namespace ulx::inforecord;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<Pair> pairs;
    QString error;
    if (parseS1(bytes, &pairs, &error))
        require(serializeS1(pairs) == bytes);
    else
        require(!error.isEmpty());
    QByteArray decoded, again;
    if (decodeE1(bytes, &decoded))
        require(decodeE1(encodeE1(decoded), &again) && again == decoded);
    error.clear();
    if (!decodeLine(QString::fromUtf8(bytes), &pairs, &error))
        require(!error.isEmpty());
    return 0;
}
