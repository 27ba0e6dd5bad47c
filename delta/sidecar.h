#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// A file's block checksums as zsyncmake publishes them beside it (a
// ".zsync" sidecar): a text header of "Name: value" lines up to an empty
// line, then for each block the last `rsumBytes` bytes of its rolling
// checksum and the first `checksumBytes` bytes of its MD4, the last block
// padded with zeros. `seqMatches` 2 means each block is only ever
// recognised together with the one after it, which makes short checksums
// safe.
struct Sidecar
{
    qint64 length = 0;
    int blockSize = 0;
    int seqMatches = 1;
    int rsumBytes = 4;
    int checksumBytes = 16;
    QByteArray sha1; // of the whole file, 20 bytes
    QByteArray sums;

    // Rounded up without a sum that could pass the largest length.
    qint64 blockCount() const { return length / blockSize + (length % blockSize != 0 ? 1 : 0); }
    qint64 blockLength(qint64 block) const { return qMin<qint64>(blockSize, length - block * blockSize); }
    quint32 rsumMask() const { return rsumBytes == 4 ? 0xffffffffu : (1u << (8 * rsumBytes)) - 1; }
    // The block's stored rolling checksum, as (a << 16 | b) masked.
    quint32 rsum(qint64 block) const;
    const char *checksum(qint64 block) const { return sums.constData() + block * stride() + rsumBytes; }
    int stride() const { return rsumBytes + checksumBytes; }
};

// Sidecars larger than this are not taken (one for a 16 GiB file is ~30 MiB).
constexpr qint64 maxSidecarBytes = 64 * 1024 * 1024;
// Nor ones of more blocks than a 16 GiB file has at zsyncmake's 4 KiB: the
// scan's index takes some 50 bytes a block.
constexpr qint64 maxSidecarBlocks = 4 * 1024 * 1024;
// Nor blocks over a MiB: each candidate position costs the MD4 of a block,
// and a block of many MiB would make a scan hours long (zsyncmake's are 2
// or 4 KiB).
constexpr int maxSidecarBlockSize = 1024 * 1024;

// Whether a sidecar that describes a file of `length` bytes may be used: it
// must be the manifest's size when there is one (`expectedSize`, else -1);
// without one, at most 16 GiB and 4 × the old copy + 64 MiB, which bounds
// what an assembly writes.
bool sidecarLengthFits(qint64 length, qint64 expectedSize, qint64 oldSize);

// The sidecar in `data`, or nothing when it is not a complete, well-formed
// one for an uncompressed file this loader can check.
std::optional<Sidecar> parseSidecar(const QByteArray &data);
