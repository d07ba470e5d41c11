#pragma once

#include "platform/export.h"

#include <QString>

// The framework's start-up object: knows how the installation updates itself.
class ULX_EXPORT KxStartup
{
public:
    enum DoSomeThingWhenNoFiles { DoNothingWhenNoFiles = 0, RepairWhenNoFiles = 1 };

    KxStartup(const QString &name, int whenNoFiles, bool createProcessForDocuments);
    virtual ~KxStartup();

    QString name() const { return m_name; }

    // True when an update is to be run now: the installation has an update program.
    virtual bool processUpdate(void *reserved);
    // Starts the installation's update program for `program` ("ulxupdate") with
    // the arguments of `cmdline` (split by the Windows rule); waits for it when
    // `wait`. True when it started (and, when waited for, exited with 0).
    virtual bool exeUpdate(const QString &program, const QString &cmdline, bool wait);

    // Hooks the framework calls while it decides to open documents in a new process.
    virtual bool isNeedCreateNewProgress();
    virtual void beforeCreateNewProgress();
    virtual void afterCreateNewProgress();
    virtual void onNoFilesToOpen();

protected:
    QString m_name;
    int m_whenNoFiles = DoNothingWhenNoFiles;
    bool m_createProcessForDocuments = false;
};
