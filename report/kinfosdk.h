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
// Joins the items with "#@+#" and lets the SDK send them.
void infoSdkSendByGet(const QString &endpoint, const QString &path, const QString &action, const QString &format,
                      const QStringList &items);

// The crash-report endpoint: Common\ulxoffice "crashserver", else [Servers] CrashReportSvr.
QString crashServer();
// Reports "ICExceptExit" and "ICCapturedCrash" of earlier runs once, then sets both to 0.
void reportExceptionalExit();
