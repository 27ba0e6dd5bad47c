#include "loader/diskspace.h"

#include <limits>

namespace {

constexpr qint64 clusterSize = 4096;

} // namespace

DiskSpaceVerdict diskSpaceVerdict(const QList<qint64> &sizes, qint64 available)
{
    constexpr qint64 most = std::numeric_limits<qint64>::max();
    qint64 needed = 0;
    for (qint64 size : sizes) {
        if (size <= 0)
            continue;
        const qint64 clusters = size / clusterSize + (size % clusterSize != 0 ? 1 : 0);
        // A sum past 64 bits fits no disk.
        needed = clusters > (most - needed) / clusterSize ? most : needed + clusters * clusterSize;
    }
    return { needed, available < 0 || needed <= available };
}
