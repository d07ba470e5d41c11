#include "suite/ksuiterefs.h"

bool KQtNetworkLibRefrence::refrence()
{
    // The network stacks are not loaded at start: the platform layer's network
    // module (platform/knetaccess.h) maps them on the first request, so a process
    // that forwards its command line or serves nothing networked never pays for them.
    return false;
}

bool KQtWebkitLibRefrence::refrence()
{
    return false;
}
