#pragma once

#include <QList>
#include <QtGlobal>

struct DiskSpaceVerdict
{
    qint64 needed = 0;
    bool fits = true;
};

// Whether files of `sizes` bytes fit in the `available` free bytes of a
// volume. Each takes its whole size beside the copy it replaces (a
// temporary file, or a delta's assembly, is complete before the old copy
// goes), rounded up to whole 4 KiB clusters. An unknown size (-1) counts
// nothing, an unknown free space (-1) fits.
DiskSpaceVerdict diskSpaceVerdict(const QList<qint64> &sizes, qint64 available);
