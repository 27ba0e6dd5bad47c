#include "delta/sidecar.h"

#include <QList>

quint32 Sidecar::rsum(qint64 block) const
{
    const auto *bytes = reinterpret_cast<const uchar *>(sums.constData() + block * stride());
    quint32 value = 0;
    for (int i = 0; i < rsumBytes; ++i)
        value = value << 8 | bytes[i];
    return value;
}

std::optional<Sidecar> parseSidecar(const QByteArray &data)
{
    if (data.size() > maxSidecarBytes)
        return std::nullopt;
    const int headerEnd = data.indexOf("\n\n");
    if (headerEnd < 0)
        return std::nullopt;
    Sidecar sidecar;
    bool haveLength = false;
    bool haveBlockSize = false;
    bool haveHashLengths = false;
    for (const QByteArray &line : data.left(headerEnd).split('\n')) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        bool ok = true;
        if (name == "zsync") {
            // Later format versions may mean something else by the same lines.
            ok = value.startsWith("0.");
        } else if (name == "Length") {
            sidecar.length = value.toLongLong(&ok);
            ok = ok && sidecar.length >= 0;
            haveLength = true;
        } else if (name == "Blocksize") {
            sidecar.blockSize = value.toInt(&ok);
            ok = ok && sidecar.blockSize >= 64 && sidecar.blockSize <= maxSidecarBlockSize;
            haveBlockSize = true;
        } else if (name == "Hash-Lengths") {
            const QList<QByteArray> parts = value.split(',');
            ok = parts.size() == 3;
            if (ok) {
                bool a = false, b = false, c = false;
                sidecar.seqMatches = parts[0].toInt(&a);
                sidecar.rsumBytes = parts[1].toInt(&b);
                sidecar.checksumBytes = parts[2].toInt(&c);
                ok = a && b && c && sidecar.seqMatches >= 1 && sidecar.seqMatches <= 2
                        && sidecar.rsumBytes >= 1 && sidecar.rsumBytes <= 4
                        && sidecar.checksumBytes >= 3 && sidecar.checksumBytes <= 16;
            }
            haveHashLengths = true;
        } else if (name == "SHA-1") {
            sidecar.sha1 = QByteArray::fromHex(value);
            ok = sidecar.sha1.size() == 20 && value.size() == 40;
        } else if (name == "Z-Map2" || name == "Recompress") {
            // Checksums of a compressed copy: not what the manifest points at.
            ok = false;
        }
        if (!ok)
            return std::nullopt;
    }
    if (!haveLength || !haveBlockSize || !haveHashLengths || sidecar.sha1.isEmpty())
        return std::nullopt;
    // Bounded before any product: offsets of blocks and of their sums then
    // stay far inside 64 bits.
    const qint64 blocks = sidecar.blockCount();
    if (blocks > maxSidecarBlocks)
        return std::nullopt;
    sidecar.sums = data.mid(headerEnd + 2);
    if (sidecar.sums.size() != blocks * sidecar.stride())
        return std::nullopt;
    return sidecar;
}

bool sidecarLengthFits(qint64 length, qint64 expectedSize, qint64 oldSize)
{
    if (expectedSize >= 0)
        return length == expectedSize;
    constexpr qint64 largest = Q_INT64_C(16) * 1024 * 1024 * 1024;
    constexpr qint64 beyondOldCopies = 64 * 1024 * 1024;
    // The old copy taken at most at the cap keeps the product inside 64 bits.
    return length <= largest && length <= 4 * qBound<qint64>(0, oldSize, largest) + beyondOldCopies;
}
