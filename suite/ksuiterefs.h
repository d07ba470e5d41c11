#pragma once

#include "platform/export.h"

// Keep the suite's Qt modules loaded in the process before any plugin needs
// them (plugins expect the network module to be there). Spelled as the suite spells them.
class ULX_EXPORT KQtNetworkLibRefrence
{
public:
    static bool refrence();
};

// The suite's web module has no counterpart in this installation: nothing to load.
class ULX_EXPORT KQtWebkitLibRefrence
{
public:
    static bool refrence();
};
