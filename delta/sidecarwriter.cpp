#include "delta/sidecarwriter.h"

#include "delta/blockmatch.h"

#include <QLocale>

#include <cmath>

int defaultSidecarBlockSize(qint64 length)
{
    return length < 100000000 ? 2048 : 4096;
}

SidecarHashLengths sidecarHashLengths(qint64 length, int blockSize)
{
    SidecarHashLengths lengths;
    lengths.seqMatches = length > blockSize ? 2 : 1;
    // Bits against a false match anywhere in the file, shared by the blocks
    // of one match. An empty file needs none beyond the floor below.
    const double fileBits = length > 0 ? std::log2(double(length)) : -1e9;
    const double blockCountBits = std::log2(1.0 + double(length / blockSize));
    const double perBlock = 8.0 * lengths.seqMatches;
    const double rsumBytes = std::ceil((fileBits + std::log2(double(blockSize)) - 8.6) / perBlock);
    lengths.rsumBytes = int(qBound(2.0, rsumBytes, 4.0));
    const double checksumBytes = std::ceil((20.0 + fileBits + blockCountBits) / perBlock);
    // A block must also be told apart alone, as the last one is.
    const int alone = int((7.9 + 20.0 + blockCountBits) / 8.0);
    lengths.checksumBytes = qMin(16, qMax(alone, int(qMax(0.0, checksumBytes))));
    return lengths;
}

SidecarWriter::SidecarWriter(qint64 length, int blockSize)
    : m_length(length), m_blockSize(blockSize), m_lengths(sidecarHashLengths(length, blockSize))
{
    const qint64 blocks = length / blockSize + (length % blockSize != 0 ? 1 : 0);
    m_sums.reserve(int(qMin<qint64>(blocks * (m_lengths.rsumBytes + m_lengths.checksumBytes), 1 << 30)));
}

void SidecarWriter::addBlock(const uchar *block)
{
    const quint32 rsum = RollingSum::of(block, m_blockSize).value();
    // Big-endian, and only the last rsumBytes of it, as the reader takes it.
    const uchar rsumBytes[4] = { uchar(rsum >> 24), uchar(rsum >> 16), uchar(rsum >> 8), uchar(rsum) };
    m_sums.append(reinterpret_cast<const char *>(rsumBytes) + 4 - m_lengths.rsumBytes, m_lengths.rsumBytes);
    m_md4.reset();
    m_md4.addData(reinterpret_cast<const char *>(block), m_blockSize);
    m_sums.append(m_md4.result().left(m_lengths.checksumBytes));
}

void SidecarWriter::addToSums(const char *data, qint64 size)
{
    if (!m_pending.isEmpty()) {
        const qint64 take = qMin<qint64>(size, m_blockSize - m_pending.size());
        m_pending.append(data, int(take));
        data += take;
        size -= take;
        if (m_pending.size() < m_blockSize)
            return;
        addBlock(reinterpret_cast<const uchar *>(m_pending.constData()));
        m_pending.clear();
    }
    for (; size >= m_blockSize; data += m_blockSize, size -= m_blockSize)
        addBlock(reinterpret_cast<const uchar *>(data));
    if (size > 0)
        m_pending.append(data, int(size));
}

QByteArray SidecarWriter::text(const QString &fileName, const QString &url, const QDateTime &modified)
{
    if (!m_pending.isEmpty()) {
        // The last block's sums are over the block padded with zeros.
        m_pending.append(QByteArray(m_blockSize - m_pending.size(), '\0'));
        addBlock(reinterpret_cast<const uchar *>(m_pending.constData()));
        m_pending.clear();
    }
    const QString mtime = QLocale::c().toString(modified.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss +0000"));
    QByteArray header;
    header += "zsync: 0.6.2\n";
    header += "Filename: " + fileName.toUtf8() + '\n';
    header += "MTime: " + mtime.toLatin1() + '\n';
    header += "Blocksize: " + QByteArray::number(m_blockSize) + '\n';
    header += "Length: " + QByteArray::number(m_length) + '\n';
    header += "Hash-Lengths: " + QByteArray::number(m_lengths.seqMatches) + ','
            + QByteArray::number(m_lengths.rsumBytes) + ',' + QByteArray::number(m_lengths.checksumBytes) + '\n';
    header += "URL: " + url.toUtf8() + '\n';
    header += "SHA-1: " + m_sha1.result().toHex() + "\n\n";
    return header + m_sums;
}
