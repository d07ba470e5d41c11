#pragma once

#include "platform/export.h"

// Kept for the suite's entry sequence, which calls them first. Spelled as the suite
// spells them. Neither loads anything: the network stacks come with the first
// network request (platform/knetaccess.h), and there is no web module.
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
