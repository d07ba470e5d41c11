// The suite's info SDK on this platform. Identifiers come from the same places the
// service's info-collection context reads; events are built as information-collection
// records (the format marker names the record form, only "D1S1E1" is known) and sent
// by the process's one sender (reportcore/knettransfer.h), with its outbox.
#include "platform/export.h"
#include "reportcore/kinfocollect.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"

#include <QString>

#include <algorithm>

namespace {

void copyOut(const QString &text, char16_t *buffer)
{
    if (!buffer)
        return;
    const qsizetype n = std::min<qsizetype>(text.size(), 255);
    std::copy_n(reinterpret_cast<const char16_t *>(text.utf16()), n, buffer);
    buffer[n] = 0;
}

QString text(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}

} // namespace

extern "C" {

ULX_EXPORT void _kinfosdk_GUID(char16_t *buffer)
{
    copyOut(infoCollectContext().infoGuid(), buffer);
}

ULX_EXPORT void _kinfosdk_HDID(char16_t *buffer)
{
    copyOut(infoCollectContext().collectDetail5(), buffer);
}

ULX_EXPORT void _kinfosdk_UUID(char16_t *buffer)
{
    copyOut(infoCollectContext().collectDetail6(), buffer);
}

ULX_EXPORT void _kinfosdk_Version(char16_t *buffer)
{
    copyOut(krt::info::version(), buffer);
}

ULX_EXPORT void _kinfosdk_DistSrc(char16_t *buffer)
{
    copyOut(krt::product::distribNumber(), buffer);
}

ULX_EXPORT void _kinfosdk_SendInfoX_By_GET(const char16_t *endpoint, const char16_t *path, const char16_t *action,
                                           const char16_t *format, const char16_t *data)
{
    if (text(format) != QLatin1String("D1S1E1"))
        return;
    const QStringList fields = text(data).split(QStringLiteral("#@+#"));
    const QByteArray eventPath = text(path).toUtf8();
    const QString url = buildInfoUrl(text(endpoint), text(action), fields, eventPath.isEmpty() ? nullptr : eventPath.constData());
    if (!url.isEmpty())
        sendInfoUrl(url.toUtf8().constData());
}

} // extern "C"
