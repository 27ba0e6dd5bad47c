#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

// One read of a file gives all a publication needs of it: its MD5 for the
// manifest and, for a large file, its sidecar (the SHA-1 of the whole and
// the block sums), the three on separate threads; and, where the file cannot
// be linked into place, its copy.
struct DigestJob
{
    QString readPath;
    qint64 size = 0;           // as listed: a file that reads otherwise changed meanwhile
    qint64 modifiedMs = 0;     // the sidecar's MTime
    int sidecarBlockSize = 0;  // 0: no sidecar
    QString sidecarName;       // its Filename and URL
    QString copyTo;            // empty: no copy
};

struct FileDigests
{
    QString md5;        // lower-case hex; empty on failure
    QByteArray sidecar; // when asked for
    QString error;      // why it failed
};

// `bytesDone` grows as the file is read, for progress.
FileDigests digestFile(const DigestJob &job, std::atomic<qint64> &bytesDone);
