#include "servers/servercatalogue.h"

#include <atomic>

const std::array<ServerEntry, serverCount> serverCatalogue { {
    { "Ashford", "ashford.zanrok.net_22005", "ashford.zanrok.net", "22005" },
    { "BlueRidge", "blueridge.zanrok.net_22005", "blueridge.zanrok.net", "22005" },
    { "CedarFalls", "cedarfalls.zanrok.net_22005", "cedarfalls.zanrok.net", "22005" },
    { "DarkWater", "darkwater.zanrok.net_22005", "darkwater.zanrok.net", "22005" },
    { "EastGate", "eastgate.zanrok.net_22005", "eastgate.zanrok.net", "22005" },
    { "Fairhaven", "fairhaven.zanrok.net_22005", "fairhaven.zanrok.net", "22005" },
    { "Greystone", "greystone.zanrok.net_22005", "greystone.zanrok.net", "22005" },
    { "HighTower", "hightower.zanrok.net_22005", "hightower.zanrok.net", "22005" },
    { "Ironwood", "ironwood.zanrok.net_22005", "ironwood.zanrok.net", "22005" },
    { "JadePoint", "jadepoint.zanrok.net_22005", "jadepoint.zanrok.net", "22005" },
} };

namespace {
std::atomic<const ServerEntry *> selected { &serverCatalogue[0] };
}

const ServerEntry &currentServer()
{
    return *selected.load();
}

bool setCurrentServer(int index)
{
    if (index < 0 || index >= serverCount)
        return false;
    selected = &serverCatalogue[std::size_t(index)];
    return true;
}
