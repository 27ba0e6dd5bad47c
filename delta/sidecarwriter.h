#pragma once

#include "delta/sidecar.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QString>

// The writing side of the sidecar that sidecar.h reads, byte for byte what
// zsyncmake writes for the same file and block size (its header's MTime line
// aside, which holds the time given).

// zsyncmake's own choice: 2 KiB blocks below 100,000,000 bytes, 4 KiB from there.
int defaultSidecarBlockSize(qint64 length);

// How many checksum bytes a block needs so that a false match stays rare for
// a file of this size: two blocks matched in a row when there are several,
// then just enough of the rolling sum and of the MD4.
struct SidecarHashLengths
{
    int seqMatches = 1;
    int rsumBytes = 2;
    int checksumBytes = 3;
};
SidecarHashLengths sidecarHashLengths(qint64 length, int blockSize);

// A file's sidecar taken as the file streams past, in order. Its two halves,
// the block sums and the SHA-1 of the whole, are fed separately so that they
// can run on two threads; each must see every byte once.
class SidecarWriter
{
public:
    // `blockSize` a power of two from 64 to 1 MiB.
    SidecarWriter(qint64 length, int blockSize);

    void addToSums(const char *data, qint64 size);
    void addToSha1(const char *data, qint64 size) { m_sha1.addData(data, int(size)); }

    // The sidecar, once every byte was added to both halves. `fileName` and
    // `url` go into the header as given (zsyncmake's default is the file's
    // name for both: the sidecar then works wherever it sits beside it).
    QByteArray text(const QString &fileName, const QString &url, const QDateTime &modified);

private:
    void addBlock(const uchar *block);

    qint64 m_length;
    int m_blockSize;
    SidecarHashLengths m_lengths;
    QByteArray m_pending; // a block not yet whole
    QByteArray m_sums;
    QCryptographicHash m_sha1 { QCryptographicHash::Sha1 };
    QCryptographicHash m_md4 { QCryptographicHash::Md4 };
};
