#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QObject>
#include <QStringList>

// Hands command lines that carry start_from to the bubble plugin "kbubble"
// through the suite's plugin runner, once the runner is published and the plugin
// manager has loaded; forwards a document scene (doc_scene, Base64) to the
// push-bubble object.
class KBubble : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    KBubble() = default;

    void init() override {}
    void uninit() override {}
    void exec(const QString &cmdLine) override;

    QStringList pending() const { return m_pending; }

private Q_SLOTS:
    void onPluginInstanceObjectRegisted(const QString &name);
    void onPluginMgrLoaded();

private:
    void doRunBubble();

    QStringList m_pending;
};
