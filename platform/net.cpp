#include "platform/net.h"

#include <csignal>
#include <mutex>

namespace ulx::net {

void startup()
{
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

} // namespace ulx::net
