// The settings store's hive file: whatever a file holds, what the store reads of
// it is written back so that it reads again whole, undamaged and unchanged.
#include "platform/registry/kregnode.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QString hive = QStringLiteral("HKEY_CURRENT_USER");
    bool damaged = false;
    const KRegNode root =
        KRegNode::fromFileContent(hive, QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &damaged);
    const QJsonObject written = root.toJson();
    bool damagedAgain = false;
    const KRegNode again =
        KRegNode::fromFileContent(hive, QJsonDocument(written).toJson(QJsonDocument::Compact), &damagedAgain);
    require(!damagedAgain && again.toJson() == written);
    return 0;
}
