// A dynamic SDK that writes every call it gets, one line each, to the file
// $ULX_FAKE_DYNSDK_LOG. It lacks "kAppDynSetMetaData" on purpose.
#include <QByteArray>
#include <QFile>
#include <QString>

namespace {
void note(const QByteArray &line)
{
    const QString path = qEnvironmentVariable("ULX_FAKE_DYNSDK_LOG");
    QFile f(path);
    if (!path.isEmpty() && f.open(QIODevice::Append))
        f.write(line + '\n');
}
QByteArray text(const char16_t *s)
{
    return s ? QString::fromUtf16(s).toUtf8() : QByteArray("<null>");
}
} // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT bool kDynSdkInit() { note("kDynSdkInit"); return true; }
FAKE_EXPORT bool kDynSdkSetParamStr(int id, const char16_t *v) { note("kDynSdkSetParamStr " + QByteArray::number(id) + ' ' + text(v)); return true; }
FAKE_EXPORT bool kAppDynAddData(int id, const void *d, int size, int flag)
{
    note("kAppDynAddData " + QByteArray::number(id) + ' ' + QByteArray(static_cast<const char *>(d), size).toHex() + ' '
         + QByteArray::number(flag));
    return true;
}
FAKE_EXPORT bool kAppDynSetServer(const char16_t *url) { note("kAppDynSetServer " + text(url)); return true; }
FAKE_EXPORT bool kAppDynReset() { note("kAppDynReset"); return true; }
FAKE_EXPORT bool kAppDynStartReport() { note("kAppDynStartReport"); return true; }
