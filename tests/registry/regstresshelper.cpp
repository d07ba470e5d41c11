// A child process for the store's multi-process tests.
//   regstresshelper write PREFIX COUNT PAYLOAD  sets COUNT values PREFIX_<i> under
//       HKCU\Software\Stress, each a text of PAYLOAD characters ending in <i>;
//       exit 2 when a write reports an error.
//   regstresshelper hold  takes the user hive's write lock, prints "locked" and
//       waits to be killed with its change unsaved.

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"

#include <QString>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("write") && argc == 5) {
        const QString prefix = QString::fromLocal8Bit(argv[2]);
        const int count = QString::fromLocal8Bit(argv[3]).toInt();
        const int payload = QString::fromLocal8Bit(argv[4]).toInt();
        KRegSettings settings(QStringLiteral("HKCU\\Software\\Stress"));
        for (int i = 0; i < count; ++i) {
            const QString number = QString::number(i);
            settings.setValue(prefix + QLatin1Char('_') + number,
                              QString(qMax(0, payload - int(number.size())), QLatin1Char('x')) + number);
        }
        return settings.status() == KRegSettings::NoError ? 0 : 2;
    }
    if (mode == QLatin1String("hold")) {
        KRegStore::modify(KRegHive::CurrentUser, [](KRegNode &root) {
            root.ensure({QStringLiteral("Software"), QStringLiteral("Stress")})
                .setValue(KRegValue{QStringLiteral("held"), KRegType::Dword, QVariant::fromValue(1u)});
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
