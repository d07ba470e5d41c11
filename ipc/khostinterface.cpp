#include "ipc/khostinterface.h"

#include <dlfcn.h>

IKCloudSvrHost *lookupHostInterface()
{
    // The main program's dynamic symbols (it is linked with -rdynamic for this).
    void *self = ::dlopen(nullptr, RTLD_NOW);
    if (!self)
        return nullptr;
    auto getHostInterface = reinterpret_cast<GetHostInterfaceFn>(::dlsym(self, GetHostInterfaceSymbol));
    ::dlclose(self);
    IKCloudSvrHost *host = nullptr;
    if (!getHostInterface || !getHostInterface(&host))
        return nullptr;
    return host;
}
