#include "loader/hashahead.h"

#include <QFile>
#include <QFileInfo>

namespace {

// Big enough for hashing at disk speed, small enough not to matter in memory.
constexpr qint64 hashChunkSize = 256 * 1024;
// A stop is looked for every 4 MiB, never before a file's first chunk.
constexpr int hashChunksBetweenChecks = 16;
// Past this size the loader hears that the file exists before its digest is
// done, so the player sees which file is being checked.
constexpr qint64 announcedSize = 4 * 1024 * 1024;

} // namespace

QString fileHash(const QString &path, QCryptographicHash::Algorithm algorithm,
                 const std::function<bool()> &keepGoing)
{
    QFile file(path);
    qint64 remaining = file.size();
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(algorithm);
    QByteArray buffer(int(qMin(hashChunkSize, qMax<qint64>(remaining, 1))), Qt::Uninitialized);
    int chunks = 0;
    while (remaining > 0) {
        if (keepGoing && ++chunks % hashChunksBetweenChecks == 0 && !keepGoing())
            return QString();
        const qint64 read = file.read(buffer.data(), qMin<qint64>(buffer.size(), remaining));
        if (read <= 0)
            break;
        hash.addData(buffer.constData(), int(read));
        remaining -= read;
    }
    return QString::fromLatin1(hash.result().toHex());
}

HashAhead::HashAhead(int threads, std::function<void()> wake) : m_wake(std::move(wake))
{
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

HashAhead::~HashAhead()
{
    stop();
}

void HashAhead::submit(int index, const QString &path)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.emplace_back(index, path);
    }
    m_queued.notify_one();
}

std::vector<HashAhead::Result> HashAhead::takeResults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Result> results;
    results.swap(m_results);
    return results;
}

void HashAhead::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_queued.notify_all();
    for (std::thread &thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
}

void HashAhead::publish(Result result)
{
    bool first;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = m_results.empty();
        m_results.push_back(std::move(result));
    }
    // One wake-up per batch: the loader takes every waiting result at once.
    if (first)
        m_wake();
}

void HashAhead::work()
{
    const auto keepGoing = [this] { return !m_stopping.load(std::memory_order_relaxed); };
    for (;;) {
        std::pair<int, QString> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_queued.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        const QFileInfo info(job.second);
        if (!info.exists()) {
            publish({ job.first, false, true, QString() });
            continue;
        }
        if (info.size() > announcedSize)
            publish({ job.first, true, false, QString() });
        QString digest = fileHash(job.second, QCryptographicHash::Md5, keepGoing);
        if (!keepGoing())
            return;
        publish({ job.first, true, true, std::move(digest) });
    }
}
