#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// A test's stand-in for a slow disk: each 256 KiB of a kept part waits this
// long before it is hashed.
void setPartHashingDelay(std::chrono::milliseconds perChunk);

// The MD5 (or another digest) of a download's body, taken as it arrives. MD5 is slower than a
// fast link delivers, so past the first few MiB (or when a kept part must be
// hashed first) it runs on a thread of its own. It never blocks the caller:
// when too much waits, backlogged() says so and the caller stops reading
// until `wake` is called.
class BodyDigest
{
public:
    // `wake` is called on the hashing thread when the backlog has drained or
    // the result is ready; it must only post to the caller's thread.
    explicit BodyDigest(std::function<void()> wake);
    ~BodyDigest();
    BodyDigest(const BodyDigest &) = delete;
    BodyDigest &operator=(const BodyDigest &) = delete;

    // Another digest than MD5; before any data.
    void setAlgorithm(QCryptographicHash::Algorithm algorithm) { m_hash.emplace(algorithm); }
    qint64 bytes() const { return m_bytes; }
    // Hashes the first `bytes` of the file at `path` before anything added;
    // `wake` is called once that is done.
    void prime(const QString &path, qint64 bytes);
    // No file is waiting to be hashed.
    bool primed() const;
    // A primed file could not be read.
    bool failed() const;
    void addData(const QByteArray &chunk);
    bool backlogged() const;
    // No more data; ready() once everything added is hashed.
    void finish();
    bool ready() const;
    // The digest, or an empty text if a primed file could not be read.
    QString hexResult() const;
    // Back to an empty body.
    void reset();

private:
    void startThread();
    void run();
    void stopThread();

    std::function<void()> m_wake;
    std::optional<QCryptographicHash> m_hash { std::in_place, QCryptographicHash::Md5 };
    qint64 m_bytes = 0;
    bool m_finished = false;
    bool m_failed = false;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<QByteArray> m_queue;
    QString m_primePath;
    qint64 m_primeBytes = 0;
    qint64 m_queuedBytes = 0;
    bool m_drained = true; // everything handed over is hashed
    bool m_stopping = false;
    mutable bool m_wakeWhenBelow = false;
};

// A download's temporary file beside its target, renamed over the target once
// complete and checked; removed otherwise, unless it is kept as a part to
// resume, with a small note of what it is a part of beside it. Unlike
// QSaveFile it neither flushes the data to the disk before the rename nor
// makes the file unnamed first: both cost more than the transfer for small
// files. Every run hashes every file again, so a file torn by a power cut is
// found and downloaded anew.
class DownloadSink
{
public:
    // What a kept part belongs to: a part is resumed only for the same
    // address and digest, and only while the server's validator still holds.
    struct PartNote
    {
        QString url;
        QString hash;
        QByteArray validator; // ETag, or else Last-Modified
    };

    explicit DownloadSink(const QString &target);
    ~DownloadSink();
    DownloadSink(const DownloadSink &) = delete;
    DownloadSink &operator=(const DownloadSink &) = delete;

    static QString partPath(const QString &target);
    static QString notePath(const QString &target);

    // Opens the temporary file. A kept part whose note matches `note`, which
    // has a digest, is taken up (size() tells how much of it there is);
    // anything else there is truncated. Fails when the target cannot be
    // replaced.
    bool open(const PartNote &note);
    qint64 size() const { return m_size; }
    QString fileName() const { return m_file.fileName(); }
    QByteArray keptValidator() const { return m_keptValidator; }

    bool write(const QByteArray &data);
    // Back to an empty file (a fresh start of the body).
    bool truncate();
    // Records that the file is a part worth resuming: `note` is written beside it.
    void markResumable(const PartNote &note);
    bool resumable() const { return m_resumable; }
    // Closes the file and puts it in place of the target; on any failure
    // the temporary file is removed and the target stays as it was.
    bool commit();
    // Closes the file, keeping it with its note only if it is resumable and
    // `keepPart` allows; otherwise both are removed.
    void discard(bool keepPart);

private:
    void removeNote();

    QString m_target;
    QFile m_file;
    qint64 m_size = 0;
    QByteArray m_keptValidator;
    bool m_resumable = false;
    bool m_noteMayExist = false; // skips a needless look for it per small file
    bool m_done = false;
};
