#pragma once

// Sends the transport's log lines (category "ulx.host.transport") to the
// service's log through KxLogger, category "KHostTransport"; every other Qt
// message goes on to the handler installed before. The host program calls it
// once, before it constructs its transport. Kept apart from the transport
// itself, so that a program that does not call it never loads the suite library.
namespace KHostTransportLog {
void install();
}
