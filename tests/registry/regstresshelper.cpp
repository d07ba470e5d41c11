// A child process for the store's multi-process tests.
//   regstresshelper write PREFIX COUNT PAYLOAD  sets COUNT values PREFIX_<i> under HKCU\Software\Stress,
//       each PAYLOAD characters ending in <i>; exits 2 when a write reports an error.
//   regstresshelper hold  takes the user hive's write lock, prints "locked" and waits to be killed.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"

#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "write" && argc == 5) {
        const int count = atoi(argv[3]), payload = atoi(argv[4]);
        KRegSettings settings(QStringLiteral("HKCU\\Software\\Stress"));
        for (int i = 0; i < count; ++i) {
            const QString number = QString::number(i);
            settings.setValue(QString::fromLocal8Bit(argv[2]) + '_' + number,
                              QString(qMax(0, payload - int(number.size())), 'x') + number);
        }
        return settings.status() == KRegSettings::NoError ? 0 : 2;
    }
    if (mode == "hold") {
        KRegStore::modify(KRegHive::CurrentUser, [](KRegNode &root) {
            root.ensure({"Software", "Stress"}).setValue(KRegValue{"held", KRegType::Dword, QVariant::fromValue(1u)});
            std::puts("locked");
            std::fflush(stdout);
            QThread::sleep(60);
            return KRegStore::Ok;
        });
        return 0;
    }
    std::fputs("usage: regstresshelper write PREFIX COUNT PAYLOAD | hold\n", stderr);
    return 1;
}
