#pragma once

#include "feeds/contextproperties.h"

#include <QByteArray>

#include <array>

struct OnlineCounts
{
    static constexpr int fallback = 999;

    int total = 0;
    std::array<int, 10> servers {}; // in catalogue order
};

// Reads the statistics body: one member per server, each with "online". A
// missing or malformed count reads as the fallback; the total is their sum,
// clamped to the int range.
OnlineCounts parseOnline(const QByteArray &body);

// online, then online1 to online10.
ContextProperties onlineProperties(const OnlineCounts &counts);
