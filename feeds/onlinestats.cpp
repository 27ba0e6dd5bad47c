#include "feeds/onlinestats.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>

namespace {

// The statistics carry their own keys; entry 7 is "Hightower" there.
const char *const statsKeys[] = { "Ashford",  "BlueRidge", "CedarFalls", "DarkWater",
                                  "EastGate", "Fairhaven", "Greystone",  "Hightower",
                                  "Ironwood", "JadePoint" };

} // namespace

OnlineCounts parseOnline(const QByteArray &body)
{
    const QJsonObject root = QJsonDocument::fromJson(body).object();
    OnlineCounts counts;
    long long sum = 0;
    for (std::size_t i = 0; i < counts.servers.size(); ++i) {
        const int value = root.value(QLatin1String(statsKeys[i]))
                                  .toObject()
                                  .value(QLatin1String("online"))
                                  .toInt(OnlineCounts::fallback);
        counts.servers[i] = value;
        sum += value;
    }
    counts.total = int(std::clamp<long long>(sum, std::numeric_limits<int>::min(),
                                             std::numeric_limits<int>::max()));
    return counts;
}

ContextProperties onlineProperties(const OnlineCounts &counts)
{
    ContextProperties properties;
    properties.append({ QStringLiteral("online"), counts.total });
    for (std::size_t i = 0; i < counts.servers.size(); ++i)
        properties.append({ QStringLiteral("online") + QString::number(i + 1), counts.servers[i] });
    return properties;
}
