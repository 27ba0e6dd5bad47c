#include "transfer/downloadsink.h"

#include "platform/filereplace.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

namespace {

// A body hashes on the caller's thread up to this size, on a thread of its
// own beyond it (starting a thread costs more than hashing a small file).
constexpr qint64 inlineHashBytes = 4 * 1024 * 1024;
// How much of a body may wait for the hashing thread before reading pauses.
constexpr qint64 hashQueueBytes = 2 * 1024 * 1024;
constexpr qint64 primeChunkSize = 256 * 1024;

std::atomic<long long> partHashingDelayMs { 0 };

} // namespace

void setPartHashingDelay(std::chrono::milliseconds perChunk)
{
    partHashingDelayMs = perChunk.count();
}

BodyDigest::BodyDigest(std::function<void()> wake) : m_wake(std::move(wake)) { }

BodyDigest::~BodyDigest()
{
    stopThread();
}

void BodyDigest::startThread()
{
    m_drained = m_queue.empty() && m_primePath.isEmpty();
    m_thread = std::thread([this] { run(); });
}

void BodyDigest::prime(const QString &path, qint64 bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_primePath = path;
    m_primeBytes = bytes;
    m_bytes += bytes;
    m_drained = false;
    if (!m_thread.joinable())
        startThread();
}

void BodyDigest::addData(const QByteArray &chunk)
{
    m_bytes += chunk.size();
    if (!m_thread.joinable()) {
        if (m_bytes <= inlineHashBytes) {
            m_hash->addData(chunk);
            return;
        }
        startThread();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(chunk);
        m_queuedBytes += chunk.size();
        m_drained = false;
    }
    m_queued.notify_one();
}

bool BodyDigest::primed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_primePath.isEmpty();
}

bool BodyDigest::failed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

bool BodyDigest::backlogged() const
{
    if (!m_thread.joinable())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool full = m_queuedBytes >= hashQueueBytes;
    if (full)
        m_wakeWhenBelow = true;
    return full;
}

void BodyDigest::finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
}

bool BodyDigest::ready() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished && (!m_thread.joinable() || m_drained);
}

QString BodyDigest::hexResult() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed)
        return QString();
    return QString::fromLatin1(m_hash->result().toHex());
}

void BodyDigest::reset()
{
    stopThread();
    m_hash->reset();
    m_bytes = 0;
    m_finished = false;
    m_failed = false;
    m_queue.clear();
    m_queuedBytes = 0;
    m_primePath.clear();
    m_primeBytes = 0;
    m_drained = true;
    m_stopping = false;
    m_wakeWhenBelow = false;
}

void BodyDigest::stopThread()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_queued.notify_one();
    m_thread.join();
}

void BodyDigest::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    bool primeDone = false;
    if (!m_primePath.isEmpty()) {
        const QString path = m_primePath;
        qint64 remaining = m_primeBytes;
        lock.unlock();
        QFile part(path);
        bool failed = !part.open(QIODevice::ReadOnly);
        QByteArray buffer(int(primeChunkSize), Qt::Uninitialized);
        const std::chrono::milliseconds delay(partHashingDelayMs.load());
        while (!failed && remaining > 0) {
            {
                std::unique_lock<std::mutex> check(m_mutex);
                if (delay.count() > 0)
                    m_queued.wait_for(check, delay, [this] { return m_stopping; });
                if (m_stopping)
                    return;
            }
            const qint64 read = part.read(buffer.data(), qMin(primeChunkSize, remaining));
            if (read <= 0) {
                failed = true;
                break;
            }
            m_hash->addData(buffer.constData(), int(read));
            remaining -= read;
        }
        lock.lock();
        m_failed = m_failed || failed;
        m_primePath.clear();
        primeDone = true;
    }
    for (;;) {
        bool wake = std::exchange(primeDone, false);
        if (m_queue.empty()) {
            m_drained = true;
            wake = wake || m_finished || m_wakeWhenBelow;
            m_wakeWhenBelow = false;
        } else if (m_wakeWhenBelow && m_queuedBytes < hashQueueBytes / 2) {
            m_wakeWhenBelow = false;
            wake = true;
        }
        if (wake) {
            lock.unlock();
            m_wake();
            lock.lock();
        }
        m_queued.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
        if (m_stopping)
            return;
        const QByteArray chunk = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        m_hash->addData(chunk);
        lock.lock();
        m_queuedBytes -= chunk.size();
    }
}

DownloadSink::DownloadSink(const QString &target) : m_target(target), m_file(partPath(target)) { }

DownloadSink::~DownloadSink()
{
    if (!m_done)
        discard(false);
}

QString DownloadSink::partPath(const QString &target)
{
    return target + QStringLiteral(".zanrok-download");
}

QString DownloadSink::notePath(const QString &target)
{
    return target + QStringLiteral(".zanrok-resume");
}

namespace {

QByteArray noteText(const DownloadSink::PartNote &note)
{
    return QJsonDocument(QJsonObject {
                                 { QStringLiteral("url"), note.url },
                                 { QStringLiteral("hash"), note.hash },
                                 { QStringLiteral("validator"), QString::fromLatin1(note.validator) },
                         })
            .toJson(QJsonDocument::Compact);
}

DownloadSink::PartNote readNote(const QString &path, bool &found)
{
    QFile file(path);
    found = file.open(QIODevice::ReadOnly);
    if (!found || file.size() > 64 * 1024)
        return {};
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    return { object.value(QStringLiteral("url")).toString(),
             object.value(QStringLiteral("hash")).toString(),
             object.value(QStringLiteral("validator")).toString().toLatin1() };
}

} // namespace

bool DownloadSink::open(const PartNote &note)
{
    // Refused up front like QSaveFile does: a folder, or a file we may not
    // replace, in the target's place.
    const QFileInfo existing(m_target);
    if (existing.isDir() || (existing.exists() && !existing.isWritable()))
        return false;

    const PartNote kept = readNote(notePath(m_target), m_noteMayExist);
    const bool resume = !kept.validator.isEmpty() && !note.hash.isEmpty() && kept.url == note.url
            && kept.hash == note.hash && QFileInfo(m_file.fileName()).isFile();
    if (resume && m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_size = m_file.size();
        m_keptValidator = kept.validator;
        m_resumable = m_size > 0;
    } else {
        removeNote();
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return false;
        m_size = 0;
    }
    if (existing.exists())
        m_file.setPermissions(existing.permissions());
    return true;
}

bool DownloadSink::write(const QByteArray &data)
{
    const qint64 written = m_file.write(data);
    if (written > 0)
        m_size += written;
    return written == data.size();
}

bool DownloadSink::truncate()
{
    removeNote();
    m_resumable = false;
    m_keptValidator.clear();
    m_size = 0;
    if (!m_file.resize(0))
        return false;
    m_file.seek(0);
    return true;
}

void DownloadSink::markResumable(const PartNote &note)
{
    if (m_resumable)
        return;
    QFile file(notePath(m_target));
    m_noteMayExist = true;
    m_resumable = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(noteText(note)) > 0;
}

bool DownloadSink::commit()
{
    m_done = true;
    m_file.close();
    removeNote();
    if (m_file.error() != QFileDevice::NoError || !replaceFile(m_file.fileName(), m_target)) {
        m_file.remove();
        return false;
    }
    return true;
}

void DownloadSink::discard(bool keepPart)
{
    m_done = true;
    m_file.close();
    if (keepPart && m_resumable && m_size > 0)
        return;
    m_file.remove();
    removeNote();
}

void DownloadSink::removeNote()
{
    if (!m_noteMayExist)
        return;
    QFile::remove(notePath(m_target));
    m_noteMayExist = false;
}
