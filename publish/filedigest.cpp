#include "publish/filedigest.h"

#include "delta/sidecarwriter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

constexpr int chunkSize = 1024 * 1024; // a multiple of every block size

// A consumer of the file's chunks on a thread of its own; a few chunks may
// wait for it, then the reader waits.
class Lane
{
public:
    explicit Lane(std::function<void(const QByteArray &)> consume) : m_consume(std::move(consume)) { }
    ~Lane() { finish(); }

    void push(const QByteArray &chunk)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_roomLeft.wait(lock, [this] { return m_queue.size() < maxWaiting; });
        m_queue.push_back(chunk);
        m_waiting.notify_one();
    }

    void finish()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_waiting.notify_one();
        m_thread.join();
    }

private:
    static constexpr size_t maxWaiting = 8;

    void run()
    {
        for (;;) {
            QByteArray chunk;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_waiting.wait(lock, [this] { return m_done || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                chunk = std::move(m_queue.front());
                m_queue.pop_front();
            }
            m_roomLeft.notify_one();
            m_consume(chunk);
        }
    }

    std::function<void(const QByteArray &)> m_consume;
    std::mutex m_mutex;
    std::condition_variable m_waiting;
    std::condition_variable m_roomLeft;
    std::deque<QByteArray> m_queue;
    bool m_done = false;
    std::thread m_thread { [this] { run(); } }; // last: starts once the rest is built
};

} // namespace

FileDigests digestFile(const DigestJob &job, std::atomic<qint64> &bytesDone)
{
    FileDigests digests;
    QFile file(job.readPath);
    if (!file.open(QIODevice::ReadOnly)) {
        digests.error = QStringLiteral("cannot be read: %1").arg(file.errorString());
        return digests;
    }
    QFile copy(job.copyTo);
    if (!job.copyTo.isEmpty() && !copy.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        digests.error = QStringLiteral("cannot be copied to %1: %2").arg(job.copyTo, copy.errorString());
        return digests;
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    std::optional<SidecarWriter> sidecar;
    std::optional<Lane> sums;
    std::optional<Lane> sha1;
    if (job.sidecarBlockSize > 0) {
        sidecar.emplace(job.size, job.sidecarBlockSize);
        sums.emplace([&](const QByteArray &chunk) { sidecar->addToSums(chunk.constData(), chunk.size()); });
        sha1.emplace([&](const QByteArray &chunk) { sidecar->addToSha1(chunk.constData(), chunk.size()); });
    }

    qint64 total = 0;
    QByteArray chunk;
    for (;;) {
        // The lanes keep their chunks, so each gets its own; otherwise one
        // buffer serves the whole file.
        if (sidecar || chunk.isEmpty())
            chunk = QByteArray(chunkSize, Qt::Uninitialized);
        const qint64 got = file.read(chunk.data(), chunkSize);
        if (got < 0) {
            digests.error = QStringLiteral("cannot be read: %1").arg(file.errorString());
            return digests;
        }
        if (got == 0)
            break;
        total += got;
        if (total > job.size)
            break;
        if (sidecar) {
            const QByteArray read = got < chunkSize ? chunk.left(int(got)) : chunk;
            sums->push(read);
            sha1->push(read);
        }
        md5.addData(chunk.constData(), int(got));
        if (copy.isOpen() && copy.write(chunk.constData(), got) != got) {
            digests.error = QStringLiteral("cannot be copied to %1: %2").arg(job.copyTo, copy.errorString());
            return digests;
        }
        bytesDone += got;
    }
    if (sidecar) {
        sums->finish();
        sha1->finish();
    }
    if (total != job.size || QFileInfo(job.readPath).lastModified().toMSecsSinceEpoch() != job.modifiedMs) {
        digests.error = QStringLiteral("changed while it was read; publish again once it is complete");
        return digests;
    }
    // A copy is on the disk before anything points at it.
    if (copy.isOpen() && (!copy.flush() || ::fdatasync(copy.handle()) != 0 || !copy.setFileTime(QDateTime::fromMSecsSinceEpoch(job.modifiedMs),
                                                               QFileDevice::FileModificationTime))) {
        digests.error = QStringLiteral("cannot be copied to %1: %2").arg(job.copyTo, copy.errorString());
        return digests;
    }
    if (sidecar) {
        digests.sidecar = sidecar->text(job.sidecarName, job.sidecarName,
                                        QDateTime::fromMSecsSinceEpoch(job.modifiedMs));
    }
    digests.md5 = QString::fromLatin1(md5.result().toHex());
    return digests;
}
