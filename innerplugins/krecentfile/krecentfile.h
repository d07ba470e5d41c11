#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QObject>
#include <QStringList>

// Hands command lines that carry start_from to the recent-file plugin
// "krecentfile" through the suite's plugin runner.
class KRecentFile : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    KRecentFile() = default;

    void init() override {}
    void uninit() override {}
    void exec(const QString &cmdLine) override;

    QStringList pending() const { return m_pending; }

private Q_SLOTS:
    void onPluginInstanceObjectRegisted(const QString &name);

private:
    void onPluginRunnerRegisted();

    QStringList m_pending;
};
