// The suite's dynamic reporting SDK on this platform. The caller sets parameters,
// metadata, the endpoint and the record's fields, then asks for a report; the
// record (reportcore/kdynrecord.h, "DYN1") is sent with one GET by the process's one
// sender (reportcore/knettransfer.h), so no call ever waits for the network and what
// is unsent at the end goes to the outbox with the process's other events. Every export returns true
// when it did its part.
#include "platform/export.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/kdynrecord.h"
#include "reportcore/kinforecord.h"
#include "reportcore/knettransfer.h"

#include <QString>

#include <mutex>

namespace {

constexpr int ParamGuidKey = 10;
constexpr int ParamGuidValue = 11;

struct Sdk
{
    std::mutex mutex;
    ulx::dynrecord::Record record;
    QString server;
};

Sdk &sdk()
{
    static Sdk *s = new Sdk; // the library is never unloaded; its thread ends with the process
    return *s;
}

QString text(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}

} // namespace

extern "C" {

ULX_EXPORT bool kDynSdkInit()
{
    // The process's sender starts with the first report.
    return true;
}

ULX_EXPORT bool kDynSdkSetParamStr(int id, const char16_t *value)
{
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    auto &params = s.record.params;
    for (auto &p : params) {
        if (p.first == id) {
            p.second = text(value);
            return true;
        }
    }
    params.append({id, text(value)});
    return true;
}

ULX_EXPORT bool kAppDynAddData(int id, const void *data, int size, int flag)
{
    if (size < 0 || (size > 0 && !data))
        return false;
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    s.record.fields.append({id, flag, QByteArray(static_cast<const char *>(data), size)});
    return true;
}

ULX_EXPORT bool kAppDynSetMetaData(const void *data, int size)
{
    if (size < 0 || (size > 0 && !data))
        return false;
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    s.record.meta = QByteArray(static_cast<const char *>(data), size);
    return true;
}

ULX_EXPORT bool kAppDynSetServer(const char16_t *url)
{
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    s.server = text(url);
    return true;
}

ULX_EXPORT bool kAppDynReset()
{
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    s.record.fields.clear();
    s.record.meta.clear();
    return true;
}

ULX_EXPORT bool kAppDynStartReport()
{
    Sdk &s = sdk();
    std::lock_guard lock(s.mutex);
    if (s.server.isEmpty())
        return false; // no endpoint configured: nothing leaves the machine
    ulx::dynrecord::Record record = s.record;
    QString key, value;
    for (const auto &p : std::as_const(record.params)) {
        if (p.first == ParamGuidKey)
            key = p.second;
        else if (p.first == ParamGuidValue)
            value = p.second;
    }
    if (!key.isEmpty() && !value.isEmpty())
        record.guid = KRegSettings(key).value(value).toString();
    const QByteArray url = s.server.toUtf8() + (s.server.contains(QLatin1Char('?')) ? "&" : "?") + "v="
        + ulx::dynrecord::Format + "&d=" + ulx::inforecord::encodeE1(ulx::dynrecord::serialize(record));
    if (url.size() > ulx::inforecord::MaxUrlBytes)
        return false;
    NetTransferService &sender = NetTransferService::instance();
    if (!sender.worker().enqueue(url))
        return false;
    sender.startWorker();
    return true;
}

} // extern "C"
