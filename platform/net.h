#pragma once

namespace ulx::net {

// What the process needs before it uses sockets. On this system: a peer that
// closes its end must not kill the process with SIGPIPE on the next write, so
// SIGPIPE is ignored process-wide (once; later calls do nothing).
void startup();

} // namespace ulx::net
