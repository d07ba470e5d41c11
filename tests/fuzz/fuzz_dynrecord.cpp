// The DYN1 decoder: a record that parses serialises to a record that parses to the
// same, and shows as JSON; a line of any text decodes or says why not.
#include "reportcore/kdynrecord.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QJsonArray>

using namespace ulx::dynrecord;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    Record record, again;
    QString error;
    if (parse(bytes, &record, &error)) {
        require(parse(serialize(record), &again, &error) && again == record);
        require(toJson(record).value(QStringLiteral("fields")).toArray().size() == record.fields.size());
    } else {
        require(!error.isEmpty());
    }
    error.clear();
    if (!decodeLine(QString::fromUtf8(bytes), &record, &error))
        require(!error.isEmpty());
    return 0;
}
