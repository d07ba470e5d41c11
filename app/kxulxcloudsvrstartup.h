#pragma once

#include "suite/kxstartup.h"

// The service's start-up object: never opens documents, so the framework's
// document-process hooks do nothing here.
class KxUlxCloudSvrStartup : public KxStartup
{
public:
    explicit KxUlxCloudSvrStartup(const QString &name);

    void beforeCreateNewProgress() override {}
    void afterCreateNewProgress() override {}
    void onNoFilesToOpen() override {}
};
