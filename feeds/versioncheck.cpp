#include "feeds/versioncheck.h"

#include "buildconfig.h"

QString launcherVersion()
{
    return QString::fromUtf8(BuildConfig::launcherVersion);
}

bool isOtherVersionPublished(const QByteArray &versionFileBody)
{
    return QString::fromUtf8(versionFileBody) != launcherVersion();
}
