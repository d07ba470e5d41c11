#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QObject>

// Keeps the service plugin's own key current: once per start (or per completed
// loading of the plugin manager) it records the suite's version and where the
// suite finds the plugin "ulxcloudsvrimp", in
// HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\plugins\ulxcloudsvrimp
// ("version", "lookpath"). Command lines are of no concern to it.
class KUpdateself : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    KUpdateself() = default;

    void init() override;
    void uninit() override {}
    void exec(const QString &) override {}

private Q_SLOTS:
    void onPluginMgrLoadFinished();
    void onPluginLoaded() {}
    void onPluginLoadFailed() {}

private:
    void record();
};
