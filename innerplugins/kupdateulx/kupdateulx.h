#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QObject>

// Starts the suite's update program through the framework's start-up object
// whenever a command line reaches it, in products with "UpdateAsInnerPlugin".
class KUpdateUlx : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    KUpdateUlx() = default;

    void init() override {}
    void uninit() override {}
    void exec(const QString &cmdLine) override;
};
