#include "platform/knetaccess.h"

#include <QFileInfo>
#include <QLibrary>

#include <dlfcn.h>

namespace ulx::net {

namespace {

// The module lies beside this library, wherever the installation put both.
QString moduleFile()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&networkAccess), &info) == 0 || !info.dli_fname)
        return QStringLiteral("libulxnetwork.so");
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath() + QStringLiteral("/libulxnetwork.so");
}

struct Loaded
{
    bool tried = false;
    KNetworkAccess *access = nullptr;
    QString problem;
};

Loaded &loaded()
{
    static Loaded state;
    return state;
}

} // namespace

KNetworkAccess *networkAccess(QString *problem)
{
    Loaded &state = loaded();
    if (!state.tried) {
        state.tried = true;
        // Never unloaded: replies and the TLS backend's threads outlive any user.
        auto *library = new QLibrary(moduleFile());
        using Entry = KNetworkAccess *(*)();
        const auto entry = reinterpret_cast<Entry>(library->resolve(ULX_NETWORK_ACCESS_ENTRY));
        if (entry)
            state.access = entry();
        if (!state.access)
            state.problem = QStringLiteral("network module not loaded: ") + library->errorString();
    }
    if (problem)
        *problem = state.problem;
    return state.access;
}

bool networkAccessLoaded()
{
    return loaded().access != nullptr;
}

} // namespace ulx::net
