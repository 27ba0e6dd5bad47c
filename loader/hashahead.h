#pragma once

#include <QCryptographicHash>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The lowercase hexadecimal digest of the file's content, or an empty string
// when it cannot be opened (or `keepGoing` said stop halfway). Reads in
// bounded chunks, so a file of any size hashes in little memory.
QString fileHash(const QString &path, QCryptographicHash::Algorithm algorithm,
                 const std::function<bool()> &keepGoing = {});

// Looks at existing files ahead of the loader on threads of its own: whether
// each target exists and, if so, its MD5. Files are taken in the order they
// are submitted; results come back in the order they finish.
class HashAhead
{
public:
    struct Result
    {
        int index;
        bool exists;
        bool hashed; // false: only the existence is known so far (a large file is being hashed)
        QString digest;
    };

    // `wake` is called on a worker thread whenever results wait to be taken.
    HashAhead(int threads, std::function<void()> wake);
    ~HashAhead();
    HashAhead(const HashAhead &) = delete;
    HashAhead &operator=(const HashAhead &) = delete;

    void submit(int index, const QString &path);
    std::vector<Result> takeResults();
    // Drops what is queued and waits for the workers, which leave a file
    // they are hashing within a chunk.
    void stop();

private:
    void work();
    void publish(Result result);

    std::function<void()> m_wake;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<std::pair<int, QString>> m_jobs;
    std::vector<Result> m_results;
    std::atomic<bool> m_stopping { false };
    std::vector<std::thread> m_threads;
};
