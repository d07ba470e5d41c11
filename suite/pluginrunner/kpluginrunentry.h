#pragma once

#include <QString>

// The run entry of a suite plugin library, called by the suite's plugin runner
// ("kpluginrunner") with the command line the plugin is run with. True: the
// plugin ran.
extern "C" {
typedef bool (*KPluginRunFunction)(const QString &params);
}
#define ULX_PLUGIN_RUN_SYMBOL "ulxPluginRun"
