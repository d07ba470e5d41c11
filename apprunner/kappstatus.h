#pragma once

#include <QMetaType>

// The state of one run-app task, as the progress window shows it.
enum KAppStatus : int {
    AppStatusInit = 0,        // created, nothing known yet
    AppStatusUnavailable = 1, // unknown to the plugin manager and not on this machine
    AppStatusNotLocal = 2,    // known, not installed (also after a cancelled download)
    AppStatusDownloading = 3,
    AppStatusReady = 4,       // installed: can be started
    AppStatusFailed = 5,      // the download failed
};
Q_DECLARE_METATYPE(KAppStatus)
