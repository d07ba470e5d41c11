#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QObject>
#include <QStringList>

// Hands command lines that carry start_from (other than "tavinseload") to the
// message-push plugin "messagepush" through the suite's plugin runner, while the
// plugin setting "messagepush"/"autorun" is on (default true).
class Messagepush : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    Messagepush() = default;

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
