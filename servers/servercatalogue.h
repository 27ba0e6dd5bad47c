#pragma once

#include <array>

// One game server of the network. Plain ASCII, fixed when the launcher is built.
struct ServerEntry
{
    const char *displayName;
    const char *identifier; // host + "_" + port, the server's folder and the game's argument
    const char *host;
    const char *port;
};

constexpr int serverCount = 10;
extern const std::array<ServerEntry, serverCount> serverCatalogue;

// The selected entry: entry 0 until the player picks another one. Written on
// the GUI thread only, and never while a load runs.
const ServerEntry &currentServer();

// Selects entry `index`; an index outside the catalogue changes nothing.
bool setCurrentServer(int index);
