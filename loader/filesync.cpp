#include "loader/filesync.h"

#include "feeds/blockingget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#endif

namespace {

// Big enough for hashing at disk speed, small enough not to matter in memory.
constexpr qint64 hashChunkSize = 256 * 1024;
// Checked for a stop every this many chunks while hashing (not before the
// first: a stop check costs an event-loop pass, and most files are small).
constexpr int hashChunksBetweenChecks = 64;
// How much of a body may wait in the reply before the network is held back.
constexpr qint64 downloadBufferSize = 1024 * 1024;
constexpr qint64 downloadChunkSize = 256 * 1024;
// A body hashes on the loader thread up to this size, on a thread of its own
// beyond it (starting a thread costs more than hashing a small file).
constexpr qint64 inlineHashBytes = 4 * 1024 * 1024;
// How much of a body may wait for the hashing thread before receiving waits.
constexpr qint64 hashQueueBytes = 8 * 1024 * 1024;

bool hasUnsafeCharacter(const QString &file)
{
    for (const QChar c : file) {
        if (c == QLatin1Char(':') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

enum class DownloadOutcome { Complete, NetworkError, WriteError, DigestMismatch };

// The MD5 of a download's body, taken as it arrives. MD5 is slower than a
// fast link delivers, so past the first few MiB it runs on a thread of its
// own and overlaps receiving and writing instead of adding to them.
class BodyDigest
{
public:
    ~BodyDigest() { stop(true); }

    void addData(const QByteArray &chunk)
    {
        m_bytes += chunk.size();
        if (!m_thread.joinable()) {
            if (m_bytes <= inlineHashBytes) {
                m_hash.addData(chunk);
                return;
            }
            m_thread = std::thread([this] { run(); });
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drained.wait(lock, [this] { return m_queuedBytes < hashQueueBytes; });
        m_queue.push_back(chunk);
        m_queuedBytes += chunk.size();
        m_queued.notify_one();
    }

    QString hexResult()
    {
        stop(false);
        return QString::fromLatin1(m_hash.result().toHex());
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_queued.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
            if (m_queue.empty())
                return;
            const QByteArray chunk = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            m_hash.addData(chunk);
            lock.lock();
            m_queuedBytes -= chunk.size();
            m_drained.notify_one();
        }
    }

    // Waits for the thread to hash what is queued, or to drop it.
    void stop(bool discard)
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (discard)
                m_queue.clear();
            m_stopping = true;
        }
        m_queued.notify_one();
        m_thread.join();
    }

    QCryptographicHash m_hash { QCryptographicHash::Md5 };
    qint64 m_bytes = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::condition_variable m_drained;
    std::deque<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_stopping = false;
};

// A download's temporary file beside its target, renamed over the target once
// complete and checked; removed otherwise. Unlike QSaveFile it neither flushes
// the data to the disk before the rename nor makes the file unnamed first:
// both cost more than the transfer for small files. Every run hashes every
// file again, so a file torn by a power cut is found and downloaded anew, and
// a temporary file left by a killed launcher is overwritten by the next try.
class PendingFile
{
public:
    explicit PendingFile(const QString &target)
        : m_target(target), m_file(target + QStringLiteral(".zanrok-download"))
    {
    }
    ~PendingFile()
    {
        if (!m_committed && m_file.isOpen())
            m_file.remove();
    }

    bool open()
    {
        // Refused up front like QSaveFile does: a folder, or a file we may
        // not replace, in the target's place.
        const QFileInfo existing(m_target);
        if (existing.isDir() || (existing.exists() && !existing.isWritable()))
            return false;
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return false;
        if (existing.exists())
            m_file.setPermissions(existing.permissions());
        return true;
    }

    qint64 write(const QByteArray &data) { return m_file.write(data); }

    bool commit()
    {
        m_file.close();
        if (m_file.error() != QFileDevice::NoError)
            return false;
#ifdef Q_OS_WIN
        m_committed = MoveFileExW(
                reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(m_file.fileName()).utf16()),
                reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(m_target).utf16()),
                MOVEFILE_REPLACE_EXISTING);
#else
        m_committed = std::rename(QFile::encodeName(m_file.fileName()).constData(),
                                  QFile::encodeName(m_target).constData())
                == 0;
#endif
        if (!m_committed)
            m_file.remove();
        return m_committed;
    }

private:
    QString m_target;
    QFile m_file;
    bool m_committed = false;
};

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

bool isSafeRelativePath(const QString &file, const QString &baseFolder)
{
    if (file.isEmpty() || file.startsWith(QLatin1Char('/')) || hasUnsafeCharacter(file))
        return false;
    const QStringList segments = file.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        // Windows drops a name's trailing dots and blanks, so ".. " there
        // means ".." and "a." means "a".
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return false;
    }
    const QString base = QDir::cleanPath(QDir(baseFolder).absolutePath());
    const QString target = QDir::cleanPath(QDir(baseFolder).absoluteFilePath(file));
    return target.startsWith(base + QLatin1Char('/'));
}

QStringList parentFolderPrefixes(const QString &file)
{
    const QStringList parts = file.split(QLatin1Char('/'));
    QStringList prefixes;
    QString prefix;
    for (int k = 0; k + 1 < parts.size(); ++k) {
        prefix += QLatin1Char('/') + parts.at(k);
        prefixes.append(prefix);
    }
    return prefixes;
}

int serverFileProgress(int index, int count)
{
    return 10 + int(qint64(index) * 80 / count);
}

bool downloadDigestMatches(const QString &computedHex, const QString &published)
{
    return computedHex.compare(published, Qt::CaseInsensitive) == 0;
}

FileSync::FileSync(QNetworkAccessManager &manager, QEventLoop &loop,
                   std::function<bool()> stopRequested)
    : m_manager(manager), m_loop(loop), m_stopRequested(std::move(stopRequested))
{
}

SyncResult FileSync::sync(const FileEntry &entry, const QString &baseFolder,
                          const std::function<void(SyncStep)> &report)
{
    if (!isSafeRelativePath(entry.file, baseFolder))
        return { SyncResult::CreateFailed, QString() };

    const QString target = baseFolder + QLatin1Char('/') + entry.file;
    report(SyncStep::Started);
    if (QFileInfo::exists(target)) {
        report(SyncStep::Hashing);
        const QString digest = fileHash(target, QCryptographicHash::Md5,
                                        [this] { return !m_stopRequested(); });
        if (digest == entry.hash)
            return { SyncResult::UpToDate, QString() };
        // An outdated file stays until its replacement has fully arrived.
    }

    for (const QString &prefix : parentFolderPrefixes(entry.file)) {
        const QString folder = baseFolder + prefix;
        if (!QFileInfo::exists(folder))
            QDir().mkdir(folder);
    }

    report(SyncStep::Opening);
    PendingFile sink(target);
    if (!sink.open())
        return { SyncResult::CreateFailed, QString() };
    report(SyncStep::Opened);

    BodyDigest digest;
    qint64 received = 0;
    bool writeFailed = false;
    auto drain = [&](QNetworkReply *reply) {
        while (!writeFailed && reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(downloadChunkSize);
            if (chunk.isEmpty())
                break;
            digest.addData(chunk);
            received += chunk.size();
            if (sink.write(chunk) != chunk.size()) {
                writeFailed = true;
                reply->abort();
            }
        }
    };

    // No Accept-Encoding of our own: the network layer then negotiates
    // compression itself and hands over the decoded content.
    QNetworkRequest request{ QUrl(entry.url) };
    QNetworkReply *reply = blockingGet(m_manager, m_loop, request, [&](QNetworkReply *started) {
        started->setReadBufferSize(downloadBufferSize);
        QObject::connect(started, &QIODevice::readyRead, started,
                         [&drain, started] { drain(started); });
    });
    drain(reply);
    QObject::disconnect(reply, &QIODevice::readyRead, nullptr, nullptr);
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorString = reply->errorString();
    // A connection closed early is not always reported as an error.
    const QVariant promised = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool cut = !reply->hasRawHeader("Content-Encoding") && promised.isValid()
            && received != promised.toLongLong();
    // At once rather than deferred: this thread's loop runs nested inside the
    // run, so deferred deletions would pile up until the run ends.
    delete reply;

    if (error != QNetworkReply::NoError && !writeFailed) {
        if (m_stopRequested())
            return { SyncResult::Stopped, QString() };
        return { SyncResult::NetworkFailed, errorString };
    }
    if (writeFailed || cut
        || !downloadDigestMatches(digest.hexResult(), entry.hash)) {
        return { SyncResult::DownloadFailed, QString() };
    }
    report(SyncStep::Written);
    if (!sink.commit())
        return { SyncResult::DownloadFailed, QString() };
    return { SyncResult::Replaced, QString() };
}
