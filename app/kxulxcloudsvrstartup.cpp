#include "app/kxulxcloudsvrstartup.h"

KxUlxCloudSvrStartup::KxUlxCloudSvrStartup(const QString &name)
    : KxStartup(name, KxStartup::DoNothingWhenNoFiles, false)
{
}
