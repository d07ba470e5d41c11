#pragma once

#include <QString>
#include <QStringList>

// The suite's info SDK, "libkinfosdk.so" in the suite's program directory, bound at
// run time: loaded at most once per process and never unloaded. Identifiers read
// "Default" when the library or its export is missing.
bool loadInfoSdk();
QString infoSdkGuid();
QString infoSdkHdid();
QString infoSdkUuid();
QString infoSdkVersion();
QString infoSdkDistSrc();
// The crash-report endpoint: Common\ulxoffice "crashserver", else [Servers] CrashReportSvr.
QString crashServer();
// Reports "ICExceptExit" and "ICCapturedCrash" of earlier runs once ("e_exit_host",
// through the outbox), then sets both to 0; without an endpoint, or when the report
// cannot be written, both stay for a later start.
void reportExceptionalExit();
