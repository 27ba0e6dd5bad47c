#pragma once

#include "transfer/byteranges.h"
#include "delta/sidecar.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <optional>
#include <vector>

class QFile;

// The rolling checksum of a window of bytes: `a` their sum and `b` their sum
// weighted by distance from the window's end, both modulo 2^16. Sliding the
// window by one byte costs two additions.
struct RollingSum
{
    quint16 a = 0;
    quint16 b = 0;

    static RollingSum of(const uchar *data, qint64 size);
    void roll(uchar out, uchar in, quint16 windowSize)
    {
        a = quint16(a + in - out);
        b = quint16(b + a - windowSize * out);
    }
    quint32 value() const { return quint32(a) << 16 | b; }
};

// Reads `size` bytes at `offset` of the file as if it went on with zeros
// past its end (how the last block's checksums were taken). False on a read
// error.
bool readPadded(QFile &file, qint64 fileSize, qint64 offset, char *data, qint64 size);

// What a scan has done so far, readable while it runs.
struct ScanCounts
{
    std::atomic<qint64> strongChecks { 0 }; // MD4s taken of the old file's windows
    std::atomic<qint64> failedChecks { 0 }; // those at positions where nothing matched
    std::atomic<bool> gaveUp { false };     // failed checks passed the bound below
};

// An honest sidecar's rolling checksums are long enough that few positions
// of an old file pass them by chance (zsyncmake picks their length so: some
// one in a hundred blocks of the old file). A hostile one with short sums
// makes every position pass, each then costing the MD4 of a block. The scan
// gives up once the failed checks pass this many per block of the old file,
// in the sidecar's block size: the wasted hashing then stays within a few
// reads of the old file, whatever length the sidecar claims.
constexpr qint64 failedChecksPerOldBlock = 4;

// Finds the blocks of a new file that an old file already holds, wherever
// they now sit: the old file is read once, in chunks, by `threads` threads
// that each take a share of it. Each MD4 is taken only after a look at the
// stop flag, so a stop ends the scan within a block's hashing.
class BlockMatcher
{
public:
    // Indexes the sidecar's blocks: seconds for millions of them, so a stop
    // ends it too, leaving the index incomplete.
    explicit BlockMatcher(const Sidecar &sidecar, const std::atomic<bool> *stop = nullptr);
    bool complete() const { return m_complete; }

    // Per block of the new file, where it starts in the old one (read as if
    // followed by zeros), or -1. Nothing when stopped (or the index is
    // incomplete), unreadable or given up (`counts` tells which).
    std::optional<std::vector<qint64>> scan(const QString &oldPath, const std::atomic<bool> &stop,
                                            int threads = 2, ScanCounts *counts = nullptr) const;

private:
    struct Group
    {
        quint64 key;
        quint32 first; // into m_blocks
        quint32 count;
    };
    class Part;

    static quint64 keyOf(quint32 first, quint32 second) { return quint64(first) << 32 | second; }
    bool maybeKey(quint64 key) const
    {
        const quint64 slot = (key * 0x9E3779B97F4A7C15ull) >> m_filterShift;
        return m_filter[slot >> 6] >> (slot & 63) & 1;
    }

    const Sidecar m_sidecar;
    std::vector<Group> m_groups; // by key; blocks with equal checksums share one
    std::vector<quint32> m_blocks;
    std::vector<quint32> m_groupOf; // per block that starts an entry
    std::vector<quint64> m_filter; // a bit per hashed key
    int m_filterShift = 0;
    bool m_complete = false;
};

// The byte ranges of the new file that no found block covers, neighbours
// merged.
std::vector<ByteRange> missingRanges(const Sidecar &sidecar, const std::vector<qint64> &found);

// Completes the new file at `outPath`, whose missing ranges are already
// written: copies the found blocks in from the old file and takes the SHA-1
// and MD5 of the whole result as it goes, on two threads. Nothing when
// stopped or on a read or write error.
struct AssembledDigests
{
    QByteArray sha1;
    QByteArray md5;
};
std::optional<AssembledDigests> assembleFile(const Sidecar &sidecar, const std::vector<qint64> &found,
                                             const QString &oldPath, const QString &outPath,
                                             const std::atomic<bool> &stop);
