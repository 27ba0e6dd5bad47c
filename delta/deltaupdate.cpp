#include "delta/deltaupdate.h"

#include "platform/fetchtimeout.h"
#include "delta/blockmatch.h"
#include "delta/faultpoint.h"
#include "transfer/pipelinednetworkmanager.h"
#include "transfer/transfer.h"
#include "platform/diagnostics.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>

#include <exception>
#include <mutex>

namespace {

constexpr qint64 readChunkSize = 256 * 1024;
// Above this share of the file to fetch, a whole download is as cheap and
// can be resumed in a later run.
constexpr double maxFetchedShare = 7.0 / 8.0;

// Scans and assemblies each keep both cores busy: several at once would
// only add up their memory. One at a time, and a waiting one still stops.
std::timed_mutex heavyWork;

std::unique_lock<std::timed_mutex> takeTurn(const std::atomic<bool> &stop)
{
    std::unique_lock<std::timed_mutex> turn(heavyWork, std::defer_lock);
    while (!stop && !turn.try_lock_for(std::chrono::milliseconds(50))) { }
    return turn;
}

} // namespace

QString sidecarUrl(const QString &fileUrl)
{
    // Neither may stand unescaped in a path or an authority.
    int end = fileUrl.indexOf(QLatin1Char('?'));
    if (end < 0)
        end = fileUrl.indexOf(QLatin1Char('#'));
    if (end < 0)
        end = fileUrl.size();
    return QString(fileUrl).insert(end, QStringLiteral(".zsync"));
}

struct DeltaUpdate::Request
{
    std::vector<ByteRange> pending;
    int tries = 0;
    QPointer<QNetworkReply> reply;
    std::optional<ByteRangesReader> reader;
    QTimer watchdog;
    SlowRetrievalGuard pace;
    QTimer retryTimer;
    int status = 0;
    bool headersSeen = false;
    bool timedOut = false;
    bool inFlight = false;
    bool done = false;
};

DeltaUpdate::DeltaUpdate(QNetworkAccessManager &manager, const QString &url, const QString &oldPath,
                         const QString &partPath, const QString &expectedMd5, qint64 expectedSize,
                         QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_url(url),
      m_oldPath(oldPath),
      m_partPath(partPath),
      m_expected(expectedMd5),
      m_expectedSize(expectedSize),
      m_part(partPath)
{
    m_sidecarWatchdog.setSingleShot(true);
    connect(&m_sidecarWatchdog, &QTimer::timeout, this, [this] {
        if (m_sidecarReply)
            m_sidecarReply->abort();
    });
}

DeltaUpdate::~DeltaUpdate()
{
    stopWork();
}

void DeltaUpdate::start()
{
    m_clock.start();
    QNetworkRequest request { QUrl(sidecarUrl(m_url)) };
    m_sidecarReply = m_manager.get(request);
    connect(m_sidecarReply, &QNetworkReply::metaDataChanged, this, [this] {
        m_sidecarPace.start([this] {
            qCInfo(lcLoader).noquote() << "the sidecar of" << m_url << "carries less than the least rate; cut";
            if (m_sidecarReply)
                m_sidecarReply->abort();
        });
    });
    connect(m_sidecarReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        m_sidecarWatchdog.start();
        m_sidecarPace.carried(received);
        if (received > maxSidecarBytes)
            guarded([this] { fallBack("the sidecar is too large"); });
    });
    connect(m_sidecarReply, &QNetworkReply::finished, this, [this] { guarded([this] { onSidecar(); }); });
    m_sidecarWatchdog.start(fetchInactivityTimeout());
}

void DeltaUpdate::onSidecar()
{
    QNetworkReply *reply = m_sidecarReply;
    m_sidecarReply = nullptr;
    m_sidecarWatchdog.stop();
    m_sidecarPace.stop();
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        qCInfo(lcLoader).noquote() << "no sidecar for" << m_url << "(" << (status ? QString::number(status) : reply->errorString()) << ")";
        return fallBack("no sidecar");
    }
    failIfChosen(DeltaStep::ReadSidecar);
    m_sidecar = parseSidecar(reply->readAll());
    if (!m_sidecar)
        return fallBack("the sidecar is malformed");
    // Not one block of the old copy to find.
    if (m_sidecar->blockSize > QFileInfo(m_oldPath).size())
        return fallBack("the sidecar's blocks are larger than the old file");
    if (!sidecarLengthFits(m_sidecar->length, m_expectedSize, QFileInfo(m_oldPath).size()))
        return fallBack("the sidecar describes a file of another length");
    m_worker = std::thread([this] {
        // Nothing may leave the thread (that would end the launcher): a fault
        // is reported like any other failed scan.
        try {
            if (const auto turn = takeTurn(m_stop); turn.owns_lock())
                m_scanned = BlockMatcher(*m_sidecar, &m_stop).scan(m_oldPath, m_stop, 2, &m_scanCounts);
        } catch (...) {
            m_scanned.reset();
            m_workerFault = true;
        }
        report(&DeltaUpdate::onScanned);
    });
}

void DeltaUpdate::onScanned()
{
    joinWorker();
    if (m_outcome != Outcome::Running)
        return;
    if (m_workerFault)
        return fallBack("the scan ran out of memory or threads");
    if (m_scanCounts.gaveUp) {
        qCInfo(lcLoader).noquote() << m_scanCounts.failedChecks << "of" << m_scanCounts.strongChecks
                                   << "strong checks of the old copy of" << m_url << "failed";
        return fallBack("the sidecar's rolling checksums match too often to be an honest sidecar's");
    }
    if (!m_scanned)
        return fallBack("the old file could not be read");
    m_found = std::move(*m_scanned);
    m_scanned.reset();
    const std::vector<ByteRange> missing = missingRanges(*m_sidecar, m_found);
    qint64 needed = 0;
    for (const ByteRange &range : missing)
        needed += range.size();
    qCInfo(lcLoader).noquote() << "scanned the old copy for" << m_url << "in" << m_clock.elapsed() << "ms:" << needed
                               << "of" << m_sidecar->length << "bytes to fetch in" << missing.size() << "ranges";
    if (double(needed) > maxFetchedShare * double(m_sidecar->length))
        return fallBack("too little of the old file is still there");
    m_needed = needed;
    if (!m_part.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return fallBack("the temporary file could not be opened");

    // Requests of a few ranges each, so that several are in flight and a
    // retry repeats little.
    const qint64 perRequest = qBound<qint64>(2 * 1024 * 1024, needed / maxRequestsInFlight + 1, 32 * 1024 * 1024);
    std::unique_ptr<Request> request;
    qint64 requestBytes = 0;
    for (ByteRange range : missing) {
        while (range.size() > 0) {
            if (!request || int(request->pending.size()) >= maxRangesPerRequest || requestBytes >= perRequest) {
                if (request)
                    m_requests.push_back(std::move(request));
                request = std::make_unique<Request>();
                requestBytes = 0;
            }
            const qint64 take = qMin(range.size(), perRequest - requestBytes);
            request->pending.push_back({ range.start, range.start + take });
            requestBytes += take;
            range.start += take;
        }
    }
    if (request)
        m_requests.push_back(std::move(request));
    emit progressed();
    fetchMore();
}

void DeltaUpdate::fetchMore()
{
    int inFlight = 0;
    bool allDone = true;
    for (const auto &request : m_requests) {
        inFlight += request->inFlight ? 1 : 0;
        allDone = allDone && request->done;
    }
    while (inFlight < maxRequestsInFlight && m_nextRequest < m_requests.size()) {
        issue(*m_requests[m_nextRequest++]);
        ++inFlight;
    }
    if (!allDone || m_worker.joinable())
        return;

    m_part.close();
    qCInfo(lcLoader).noquote() << "fetched" << m_fetched << "bytes of" << m_url << "in" << m_requests.size()
                               << "requests; assembling";
    m_worker = std::thread([this] {
        try {
            std::optional<AssembledDigests> digests;
            if (const auto turn = takeTurn(m_stop); turn.owns_lock())
                digests = assembleFile(*m_sidecar, m_found, m_oldPath, m_partPath, m_stop);
            m_assembled = bool(digests);
            m_matches = digests && digests->sha1 == m_sidecar->sha1
                    && (m_expected.isEmpty()
                        || downloadDigestMatches(QString::fromLatin1(digests->md5.toHex()), m_expected));
        } catch (...) {
            m_workerFault = true;
        }
        report(&DeltaUpdate::onAssembled);
    });
}

void DeltaUpdate::splitRanges(Request &request)
{
    for (std::size_t i = 1; i < request.pending.size(); ++i) {
        auto single = std::make_unique<Request>();
        single->pending = { request.pending[i] };
        m_requests.push_back(std::move(single));
    }
    request.pending.resize(1);
}

void DeltaUpdate::issue(Request &request)
{
    if (m_oneRangeEach && request.pending.size() > 1)
        splitRanges(request);
    ++request.tries;
    request.status = 0;
    request.headersSeen = false;
    request.timedOut = false;
    request.reader.reset();
    request.inFlight = true;

    QNetworkRequest get { QUrl(m_url) };
    get.setRawHeader("Range", rangeHeader(request.pending));
    // Ranges of the stored bytes, not of a compressed form.
    get.setRawHeader("Accept-Encoding", "identity");
    qint64 bytes = 0;
    for (const ByteRange &range : request.pending)
        bytes += range.size();
    get.setAttribute(expectedSizeAttribute, bytes);
    request.reply = m_manager.get(get);
    request.reply->setReadBufferSize(1024 * 1024);
    Request *r = &request;
    connect(request.reply, &QIODevice::readyRead, this, [this, r] { guarded([this, r] { drain(*r); }); });
    connect(request.reply, &QNetworkReply::metaDataChanged, this, [this, r] {
        r->pace.start([this, r] {
            qCInfo(lcLoader).noquote() << "a ranges answer of" << m_url << "carries less than the least rate; cut";
            r->timedOut = true;
            if (r->reply)
                r->reply->abort();
        });
    });
    connect(request.reply, &QNetworkReply::downloadProgress, this, [r](qint64 received) {
        r->watchdog.start();
        r->pace.carried(received);
    });
    connect(request.reply, &QNetworkReply::finished, this, [this, r] {
        guarded([this, r] {
            drain(*r);
            if (m_outcome == Outcome::Running && r->reply)
                concludeRequest(*r);
        });
    });
    request.watchdog.setSingleShot(true);
    request.watchdog.disconnect();
    connect(&request.watchdog, &QTimer::timeout, this, [r] {
        r->timedOut = true;
        if (r->reply)
            r->reply->abort();
    });
    request.watchdog.start(fetchInactivityTimeout());
}

void DeltaUpdate::drain(Request &request)
{
    QNetworkReply *reply = request.reply;
    if (!reply || m_outcome != Outcome::Running)
        return;
    if (!request.headersSeen && (reply->isFinished() || reply->bytesAvailable() > 0)) {
        request.headersSeen = true;
        request.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (request.status == 206 && !reply->hasRawHeader("Content-Encoding")) {
            request.reader = ByteRangesReader::forAnswer(reply->rawHeader("Content-Type"),
                                                         reply->rawHeader("Content-Range"), m_sidecar->length);
            if (!request.reader)
                return fallBack("the host's ranges answer is not usable");
        } else if (request.status >= 200 && request.status < 300) {
            if (request.pending.size() < 2)
                return fallBack("the host does not answer range requests");
            // Some hosts answer one range a request only: ask that way from now on.
            qCInfo(lcLoader).noquote() << m_url << "answers one range a request";
            m_oneRangeEach = true;
            request.reply = nullptr;
            request.watchdog.stop();
            request.pace.stop();
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
            request.inFlight = false;
            splitRanges(request);
            --m_nextRequest; // the request goes out again, with its first range
            std::swap(m_requests[m_nextRequest], *std::find_if(m_requests.begin(), m_requests.end(),
                                                                [&](const auto &r) { return r.get() == &request; }));
            return fetchMore();
        }
    }
    if (!request.reader) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    bool writeFailed = false;
    const auto piece = [&](qint64 offset, const char *data, qint64 size) {
        if (!m_part.seek(offset) || m_part.write(data, size) != size) {
            writeFailed = true;
            return false;
        }
        subtractRange(request.pending, { offset, offset + size });
        m_fetched += size;
        return true;
    };
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(readChunkSize);
        if (chunk.isEmpty())
            break;
        if (!request.reader->feed(chunk.constData(), chunk.size(), piece))
            return fallBack(writeFailed ? "the temporary file could not be written" : "the host's ranges answer is malformed");
    }
    emit progressed();
}

void DeltaUpdate::concludeRequest(Request &request)
{
    QNetworkReply *reply = request.reply;
    request.reply = nullptr;
    request.inFlight = false;
    request.watchdog.stop();
    request.pace.stop();
    const QNetworkReply::NetworkError error = reply->error();
    reply->disconnect(this);
    reply->deleteLater();
    if (request.pending.empty()) {
        request.done = true;
        return fetchMore();
    }
    // A cut or a short answer: the ranges not yet received are asked again.
    const bool passing = request.timedOut || error == QNetworkReply::NoError || isPassingFailure(error, request.status);
    if (!passing || request.tries >= Transfer::maxTries)
        return fallBack("the missing blocks could not be fetched");
    const auto delay = retryDelay(request.tries, std::nullopt, QRandomGenerator::global()->generateDouble());
    qCInfo(lcLoader).noquote() << "asking" << m_url << "again for" << request.pending.size() << "ranges in"
                               << delay.count() << "ms";
    Request *r = &request;
    request.retryTimer.setSingleShot(true);
    request.retryTimer.disconnect();
    connect(&request.retryTimer, &QTimer::timeout, this, [this, r] {
        if (m_outcome == Outcome::Running)
            guarded([this, r] { issue(*r); });
    });
    request.retryTimer.start(delay);
    request.inFlight = true; // holds its slot while it waits
}

void DeltaUpdate::onAssembled()
{
    joinWorker();
    if (m_outcome != Outcome::Running)
        return;
    if (m_workerFault)
        return fallBack("the assembly ran out of memory or threads");
    if (!m_assembled)
        return fallBack("the new file could not be assembled");
    if (!m_matches)
        return fallBack("the assembled file does not match its digests");
    qCInfo(lcLoader).noquote() << "brought" << m_url << "up to date with" << m_fetched << "bytes fetched in"
                               << m_clock.elapsed() << "ms";
    end(Outcome::Assembled);
}

template<typename Step>
void DeltaUpdate::guarded(Step &&step)
{
    // As in the transfer: memory that runs out, or a thread that cannot
    // start, ends the delta instead of unwinding through the event loop,
    // and the file comes whole.
    try {
        step();
    } catch (const std::exception &) {
        fallBack("it ran out of memory or threads");
    }
}

void DeltaUpdate::report(void (DeltaUpdate::*done)())
{
    // Called on the worker thread, which the owner waits for. The queued
    // call takes a little memory, which may be short just then: try again
    // until it goes or the owner no longer waits.
    while (!m_stop) {
        try {
            QMetaObject::invokeMethod(this, [this, done] { guarded([this, done] { (this->*done)(); }); },
                                      Qt::QueuedConnection);
            return;
        } catch (...) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

void DeltaUpdate::fallBack(const char *why)
{
    if (m_outcome != Outcome::Running)
        return;
    qCInfo(lcLoader).noquote() << "downloading" << m_url << "whole after" << m_clock.elapsed() << "ms:" << why;
    end(Outcome::FallBack);
}

void DeltaUpdate::abort()
{
    if (m_outcome != Outcome::Running)
        return;
    m_outcome = Outcome::Aborted;
    stopWork();
}

void DeltaUpdate::end(Outcome outcome)
{
    m_outcome = outcome;
    stopWork();
    emit finished();
}

void DeltaUpdate::stopWork()
{
    m_stop = true;
    auto drop = [this](QPointer<QNetworkReply> &reply) {
        if (!reply)
            return;
        QNetworkReply *r = reply;
        reply = nullptr;
        r->disconnect(this);
        r->abort();
        r->deleteLater();
    };
    drop(m_sidecarReply);
    m_sidecarWatchdog.stop();
    m_sidecarPace.stop();
    for (const auto &request : m_requests) {
        drop(request->reply);
        request->watchdog.stop();
        request->pace.stop();
        request->retryTimer.stop();
    }
    joinWorker();
    m_part.close();
}

void DeltaUpdate::joinWorker()
{
    if (m_worker.joinable())
        m_worker.join();
}
