#include "platform/networkaddresses.h"

#include "buildconfig.h"

NetworkAddresses NetworkAddresses::builtIn()
{
    return { QString::fromUtf8(BuildConfig::siteUrl),
             QString::fromUtf8(BuildConfig::filesHttpsUrl),
             QString::fromUtf8(BuildConfig::filesHttpUrl),
             QString::fromLatin1(BuildConfig::manifestKeys).split(QLatin1Char(';'), Qt::SkipEmptyParts),
             BuildConfig::manifestMinTimestamp };
}
