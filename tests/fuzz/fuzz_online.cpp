// The statistics reader on any body: ten counts, their total clamped to the
// int range, published as online then online1 to online10.
#include "feeds/onlinestats.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const OnlineCounts counts = parseOnline(body);

    long long sum = 0;
    for (int value : counts.servers)
        sum += value;
    if (sum > std::numeric_limits<int>::max())
        FUZZ_CHECK(counts.total == std::numeric_limits<int>::max());
    else if (sum < std::numeric_limits<int>::min())
        FUZZ_CHECK(counts.total == std::numeric_limits<int>::min());
    else
        FUZZ_CHECK(counts.total == sum);

    const ContextProperties properties = onlineProperties(counts);
    FUZZ_CHECK(properties.size() == 11);
    FUZZ_CHECK(properties[0].first == QLatin1String("online"));
    FUZZ_CHECK(properties[0].second.toInt() == counts.total);
    for (int i = 0; i < 10; ++i)
        FUZZ_CHECK(properties[i + 1].second.toInt() == counts.servers[std::size_t(i)]);
    return 0;
}
