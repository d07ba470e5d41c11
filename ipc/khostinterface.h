#pragma once

#include "ipc/ikcloudsvrhost.h"

// The transport of the host program this library runs in: looks up the host's
// exported GetHostInterface in the running program (the library does not link
// the host) and calls it. Null when the program exports none, or offers none.
IKCloudSvrHost *lookupHostInterface();
