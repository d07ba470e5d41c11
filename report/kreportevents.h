#pragma once

// The service's reports on its own health (information-collection events).
// Hang and IPC time-out go to the default info-collection endpoint ([Servers]
// DefaultInfoCollectSvr; InfoCollectSvr_IC for edition 6); live and exit to the
// context's server ([Servers] InfoCollectSvr). None waits for the network.
void reportHang(int thresholdSeconds, bool longBlock);
void reportIpcTimeout(int milliseconds);
// With the raw process command line: its "start_from" switch is the last field.
void reportLive(const char16_t *commandLine);
void reportExit(const char16_t *commandLine);
