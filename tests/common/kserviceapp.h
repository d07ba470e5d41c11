#pragma once

#include "suite/kapplication.h"

#include <memory>

// The service's application object, for tests that run the service's libraries in
// their own process.
inline std::unique_ptr<KxApplication> makeServiceApp()
{
    static int argc = 1;
    static char arg0[] = "ulxtest";
    static char *argv[] = {arg0, nullptr};
    return std::make_unique<KxApplication>(argc, argv, QStringLiteral("tavi"), QStringLiteral("Office"));
}
