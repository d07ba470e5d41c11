#pragma once

#include "platform/export.h"
#include "platform/wintypes.h"

// The service's one entry, called by the host program with the process's raw
// command line (NUL-terminated UTF-16, without the program name). Returns 0
// when the service ends normally; a process that ends itself never returns.
extern "C" ULX_EXPORT int WINAPI EntryPoint(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR cmdLine,
                                            int showCmd);
