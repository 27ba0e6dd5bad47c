#pragma once

#include <QtGlobal>

// Progress of the server-files phase for the entry at `index` of `count`:
// from 10 up to below 90.
int serverFileProgress(int index, int count);

// The same while that entry downloads: from its own value towards the next
// entry's (90 after the last) in proportion to the bytes received, never
// reaching the next value before the next entry starts. An unknown total
// (negative) keeps the entry's own value.
int serverFileProgressWithin(int index, int count, qint64 received, qint64 total);
