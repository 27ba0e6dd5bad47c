#include "loader/progress.h"

int serverFileProgress(int index, int count)
{
    return 10 + int(qint64(index) * 80 / count);
}

int serverFileProgressWithin(int index, int count, qint64 received, qint64 total)
{
    const int from = serverFileProgress(index, count);
    const int to = serverFileProgress(index + 1, count);
    if (total <= 0 || received <= 0 || to - from <= 1)
        return from;
    const qint64 done = qMin(received, total);
    // Scaled in floating point: received × span would overflow past 2^63 / 80.
    const int step = int(double(done) / double(total) * (to - from));
    return qMin(from + step, to - 1);
}
