#pragma once

#include "platform/export.h"

#include <QObject>
#include <QPointer>

class KPluginManager;

// Refreshes the plugin manager's catalogue. Owned by its manager.
class ULX_EXPORT KPluginUpgradeManager : public QObject
{
    Q_OBJECT
public:
    ~KPluginUpgradeManager() override;

    // Reads the catalogue again from the event loop. Until then the manager's
    // loaded() is false; afterwards it is true and reloadFinished() is emitted.
    // Calls made before the reading has happened share it (one reloadFinished()).
    void reload();

Q_SIGNALS:
    void reloadFinished();

private:
    friend class KPluginManager;
    explicit KPluginUpgradeManager(KPluginManager *manager);

    QPointer<KPluginManager> m_manager;
};
