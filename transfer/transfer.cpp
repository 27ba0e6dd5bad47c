#include "transfer/transfer.h"

#include "platform/diagnostics.h"
#include "platform/fetchtimeout.h"
#include "transfer/byteranges.h"
#include "transfer/pipelinednetworkmanager.h"

#include <QLocale>
#include <QNetworkAccessManager>
#include <QRandomGenerator>

#include <atomic>
#include <exception>

namespace {

// How much of a body may wait in the reply before the network is held back.
constexpr qint64 readBufferSize = 1024 * 1024;
constexpr qint64 readChunkSize = 256 * 1024;

std::atomic<long long> backoffBaseMs { 500 };
std::atomic<long long> timeWithoutProgressMs { 60000 };

} // namespace

void setRetryBackoffBase(std::chrono::milliseconds base)
{
    backoffBaseMs = base.count();
}

void setTimeWithoutProgress(std::chrono::milliseconds limit)
{
    timeWithoutProgressMs = limit.count();
}

bool isPassingFailure(QNetworkReply::NetworkError error, int httpStatus)
{
    switch (httpStatus) {
    case 408: case 429: case 500: case 502: case 503: case 504:
        return true;
    default:
        if (httpStatus >= 400)
            return false;
    }
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // the inactivity timeout
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError: // a reset connection, among others
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProtocolFailure: // a malformed answer, perhaps a pipeline's
        return true;
    default:
        return false;
    }
}

std::chrono::milliseconds retryDelay(int failedTries, std::optional<std::chrono::seconds> retryAfter,
                                     double jitter)
{
    const double base = double(backoffBaseMs.load()) * double(1 << qBound(0, failedTries - 1, 4));
    auto delay = std::chrono::milliseconds(qint64(base * (0.8 + 0.4 * qBound(0.0, jitter, 1.0))));
    if (retryAfter) {
        const auto asked = std::chrono::milliseconds(std::min(*retryAfter, std::chrono::seconds(30)));
        delay = std::max(delay, asked);
    }
    return delay;
}

std::optional<std::chrono::seconds> parseRetryAfter(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qlonglong seconds = text.toLongLong(&ok);
    if (ok)
        return seconds >= 0 ? std::optional(std::chrono::seconds(seconds)) : std::nullopt;
    // "Sun, 06 Nov 1994 08:49:37 GMT"; the day name adds nothing.
    const int comma = text.indexOf(',');
    const QDateTime when = QLocale::c().toDateTime(
            QString::fromLatin1(text.mid(comma + 1).trimmed()).remove(QStringLiteral(" GMT")),
            QStringLiteral("dd MMM yyyy HH:mm:ss"));
    if (!when.isValid())
        return std::nullopt;
    QDateTime utc = when;
    utc.setTimeSpec(Qt::UTC);
    return std::chrono::seconds(qMax<qint64>(0, now.secsTo(utc)));
}

qint64 contentRangeStart(const QByteArray &value)
{
    const auto range = parseContentRange(value);
    return range ? range->first.start : -1;
}

bool downloadDigestMatches(const QString &computedHex, const QString &published)
{
    return computedHex.compare(published, Qt::CaseInsensitive) == 0;
}

Transfer::Transfer(QNetworkAccessManager &manager, const QString &url, const QString &target,
                   const QString &expectedMd5, qint64 expectedSize, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_url(url),
      m_target(target),
      m_expected(expectedMd5),
      m_expectedSize(expectedSize),
      m_sink(target),
      m_digest([this] {
          // Called on the hashing thread: one posted call at a time.
          if (!m_digestWake.exchange(true)) {
              QMetaObject::invokeMethod(this, [this] {
                  m_digestWake = false;
                  guarded([this] {
                      if (m_reply)
                          drain();
                      else if (m_awaitingPrime)
                          issue();
                      else if (m_awaitingDigest && m_digest.ready())
                          checkDigest();
                  });
              }, Qt::QueuedConnection);
          }
      })
{
    m_watchdog.setSingleShot(true);
    m_retryTimer.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        if (m_reply)
            m_reply->abort();
    });
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { guarded([this] { issue(); }); });
}

Transfer::~Transfer()
{
    // The hashing thread must be gone before anything it might post to.
    m_digest.reset();
    releaseReply();
}

bool Transfer::open()
{
    if (!m_sink.open(note()))
        return false;
    // A part past the file's end cannot be the start of it.
    if (m_expectedSize >= 0 && m_sink.size() > m_expectedSize && !m_sink.truncate())
        return false;
    m_largestPart = m_sink.size();
    return true;
}

void Transfer::start()
{
    guarded([this] { issue(); });
}

void Transfer::startAfresh()
{
    guarded([this] {
        restartBody();
        issue();
    });
}

void Transfer::commitPrepared()
{
    if (m_outcome != Outcome::Running)
        return;
    if (!m_sink.commit())
        return finish(Outcome::CreateFailed, false);
    finish(Outcome::Completed, false);
}

qint64 Transfer::received() const
{
    return m_offset + m_progressReceived;
}

qint64 Transfer::total() const
{
    return m_progressTotal < 0 ? -1 : m_offset + m_progressTotal;
}

void Transfer::abort(bool keepPart)
{
    if (m_outcome != Outcome::Running)
        return;
    m_outcome = Outcome::Aborted;
    m_watchdog.stop();
    m_retryTimer.stop();
    if (m_reply)
        dropReply();
    m_digest.reset();
    m_sink.discard(keepPart);
}

void Transfer::fail()
{
    if (m_outcome != Outcome::Running)
        return;
    if (m_reply)
        dropReply();
    finish(Outcome::DownloadFailed, false);
}

template<typename Step>
void Transfer::guarded(Step &&step)
{
    // A fault in the middle of a download (memory, a thread that cannot
    // start) ends this file's download, never unwinds through the event loop.
    try {
        step();
    } catch (const std::exception &) {
        fail();
    }
}

QByteArray Transfer::validator() const
{
    return m_validator.isEmpty() ? m_sink.keptValidator() : m_validator;
}

DownloadSink::PartNote Transfer::note() const
{
    return { m_url, m_expected, validator() };
}

bool Transfer::partWorthKeeping() const
{
    // Without a digest nothing could show that a splice is right.
    return m_sink.size() >= resumableAfter && !m_encoded && !validator().isEmpty() && !m_expected.isEmpty();
}

bool Transfer::giveUp() const
{
    return m_countedTries >= maxTries || m_tries >= maxTriesInAll
            || m_sinceProgress.hasExpired(timeWithoutProgressMs.load());
}

void Transfer::restartBody()
{
    m_digest.reset();
    if (!m_sink.truncate())
        m_writeFailed = true;
}

void Transfer::issue()
{
    if (m_outcome != Outcome::Running)
        return;
    const bool resuming = m_sink.size() > 0 && !validator().isEmpty();
    if (resuming && m_digest.bytes() == 0) {
        // The kept part is hashed before its rest is asked for: a large one
        // on a slow disk takes longer than the inactivity watchdog allows.
        m_digest.prime(m_sink.fileName(), m_sink.size());
    }
    m_awaitingPrime = !m_digest.primed();
    if (m_awaitingPrime)
        return; // the digest's wake comes back here
    if (m_digest.failed())
        restartBody();
    if (!m_sinceProgress.isValid())
        m_sinceProgress.start();
    ++m_tries;
    m_largestBefore = m_largestPart;
    m_rangeFrom = 0;
    m_offset = 0;
    m_receivedThisTry = 0;
    m_progressReceived = 0;
    m_progressTotal = -1;
    m_status = 0;
    m_headersSeen = false;
    m_acceptBody = false;
    m_replyFinished = false;
    m_timedOut = false;
    m_restartPlain = false;
    m_wrongRange = false;

    QNetworkRequest request { QUrl(m_url) };
    // The bytes as published: the digest is over those, and a rest asked
    // for continues the part exactly as stored.
    request.setRawHeader("Accept-Encoding", "identity");
    if (m_sink.size() > 0 && !validator().isEmpty()) {
        m_rangeFrom = m_sink.size();
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_rangeFrom) + '-');
        request.setRawHeader("If-Range", validator());
    }
    // How much is coming, so that a large file gets a connection of its own.
    const qint64 whole = m_expectedSize >= 0 ? m_expectedSize : m_length;
    if (whole >= 0)
        request.setAttribute(expectedSizeAttribute, whole - m_rangeFrom);
    if (m_bypassCaches) {
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
    }
    qCInfo(lcLoader).noquote() << "GET" << m_url << "try" << m_tries
                               << (m_rangeFrom > 0 ? QStringLiteral("from byte %1").arg(m_rangeFrom) : QString());
    m_tryClock.start();
    m_reply = m_manager.get(request);
    m_reply->setReadBufferSize(readBufferSize);
    connect(m_reply, &QIODevice::readyRead, this, [this] { guarded([this] { drain(); }); });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        m_watchdog.start();
        m_pace.start([this] {
            qCInfo(lcLoader).noquote() << "GET" << m_url << "carries less than the least rate; cut";
            m_timedOut = true;
            if (m_reply)
                m_reply->abort();
        });
    });
    connect(m_reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        m_watchdog.start();
        m_pace.carried(received);
        m_progressReceived = received;
        m_progressTotal = total;
        emit progressed();
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        m_replyFinished = true;
        m_watchdog.stop();
        guarded([this] { drain(); });
    });
    m_watchdog.setInterval(fetchInactivityTimeout());
    m_watchdog.start();
}

void Transfer::handleHeaders()
{
    m_headersSeen = true;
    m_status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool encoded = m_reply->hasRawHeader("Content-Encoding");
    auto takeValidator = [this, encoded] {
        m_encoded = encoded;
        const QByteArray etag = m_reply->rawHeader("ETag");
        m_validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag
                                                                : m_reply->rawHeader("Last-Modified");
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        m_length = !encoded && length.isValid() ? length.toLongLong() : -1;
    };
    if (m_rangeFrom > 0) {
        if (m_status == 206 && !encoded) {
            // Only the rest asked for, to the end of the file the host
            // described before, continues the part.
            const auto range = parseContentRange(m_reply->rawHeader("Content-Range"));
            if (!range || range->first.start != m_rangeFrom || range->second <= 0
                || range->first.end != range->second || (m_length >= 0 && range->second != m_length)) {
                // Taken as a cut: the part stays for the next try.
                m_wrongRange = true;
                return;
            }
            m_length = range->second;
            m_acceptBody = m_digest.bytes() == m_rangeFrom;
            m_restartPlain = !m_acceptBody;
            m_offset = m_rangeFrom;
        } else if (m_status == 200) {
            // The server's copy changed, or it ignores ranges: start over.
            restartBody();
            takeValidator();
            m_rangeFrom = 0;
            m_acceptBody = true;
        } else if (m_status == 206 || m_status == 416) {
            // The part no longer fits the file.
            m_restartPlain = true;
        }
        return;
    }
    m_acceptBody = m_status >= 200 && m_status < 300 && m_status != 206;
    if (m_acceptBody)
        takeValidator();
}

void Transfer::drain()
{
    if (!m_reply || m_outcome != Outcome::Running)
        return;
    if (!m_headersSeen && (m_replyFinished || m_reply->bytesAvailable() > 0)) {
        handleHeaders();
        if (m_writeFailed) {
            dropReply();
            return finish(Outcome::DownloadFailed, false);
        }
    }
    if (!m_acceptBody && m_reply->bytesAvailable() > 0) {
        // An error page or an unusable answer: never mixed into the file.
        m_reply->skip(m_reply->bytesAvailable());
    }
    while (m_acceptBody && !m_digest.backlogged() && m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(readChunkSize);
        if (chunk.isEmpty())
            break;
        if (m_expectedSize >= 0 && m_sink.size() + chunk.size() > m_expectedSize) {
            // Decoded bytes past the file's end: nothing of them is written.
            qCInfo(lcLoader).noquote() << "GET" << m_url << "runs past the manifest's size of"
                                       << m_expectedSize << "bytes";
            dropReply();
            return refuseBody();
        }
        m_digest.addData(chunk);
        m_receivedThisTry += chunk.size();
        if (!m_sink.write(chunk)) {
            m_writeFailed = true;
            dropReply();
            finish(Outcome::DownloadFailed, false);
            return;
        }
    }
    if (m_sink.size() > m_largestPart) {
        m_largestPart = m_sink.size();
        m_sinceProgress.start();
    }
    if (!m_sink.resumable() && partWorthKeeping())
        m_sink.markResumable(note());
    if (m_replyFinished && m_reply->bytesAvailable() == 0)
        conclude();
}

void Transfer::dropReply()
{
    // Released first, so its finished() no longer reaches this transfer.
    QNetworkReply *reply = m_reply;
    releaseReply();
    reply->abort();
}

void Transfer::releaseReply()
{
    m_pace.stop();
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;
}

void Transfer::conclude()
{
    const QNetworkReply::NetworkError error = m_reply->error();
    const QString errorString = m_reply->errorString();
    const QVariant promised = m_reply->header(QNetworkRequest::ContentLengthHeader);
    // A connection closed early is not always reported as an error.
    const bool cut = m_acceptBody && !m_reply->hasRawHeader("Content-Encoding") && promised.isValid()
            && m_receivedThisTry != promised.toLongLong();
    std::optional<std::chrono::seconds> retryAfter;
    if (m_status == 429 || m_status == 503)
        retryAfter = parseRetryAfter(m_reply->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
    releaseReply();
    qCInfo(lcLoader).noquote() << "GET" << m_url << "->" << (m_status ? QString::number(m_status) : errorString)
                               << m_receivedThisTry << "bytes in" << m_tryClock.elapsed() << "ms"
                               << (cut ? "(cut short)" : "") << (m_timedOut ? "(no progress, given up)" : "")
                               << (m_wrongRange ? "(not the range asked for)" : "");

    if (m_writeFailed)
        return finish(Outcome::DownloadFailed, false);
    if (m_restartPlain) {
        // Not a failure of the host: the same try again, without the part.
        restartBody();
        --m_tries;
        return issue();
    }
    if (error == QNetworkReply::NoError && !m_acceptBody && !m_wrongRange) {
        // A redirect, or a part nobody asked for: no body to put in place.
        return finish(Outcome::DownloadFailed, false);
    }
    if (error != QNetworkReply::NoError || cut || m_wrongRange) {
        const bool passing = m_timedOut || m_wrongRange || (error == QNetworkReply::NoError && cut)
                || isPassingFailure(error, m_status);
        // A try that carried a part worth resuming on by a MiB or more made
        // headway: only the whole file's bounds hold it.
        if (!partWorthKeeping() || m_sink.size() < m_largestBefore + resumableAfter)
            ++m_countedTries;
        if (passing && !giveUp()) {
            if (!partWorthKeeping())
                restartBody();
            return scheduleRetry(
                    retryDelay(m_countedTries, retryAfter, QRandomGenerator::global()->generateDouble()));
        }
        if (error != QNetworkReply::NoError) {
            m_networkError = errorString;
            return finish(Outcome::NetworkFailed, true);
        }
        return finish(Outcome::DownloadFailed, true);
    }
    if (m_expectedSize >= 0 && m_sink.size() != m_expectedSize) {
        qCInfo(lcLoader).noquote() << "GET" << m_url << "ended at" << m_sink.size()
                                   << "bytes where the manifest says" << m_expectedSize;
        return refuseBody();
    }
    m_digest.finish();
    m_awaitingDigest = true;
    if (m_digest.ready())
        checkDigest();
}

void Transfer::checkDigest()
{
    m_awaitingDigest = false;
    const QString digest = m_digest.hexResult();
    // With no digest to check against, the body is taken as it came.
    if (m_expected.isEmpty() || downloadDigestMatches(digest, m_expected)) {
        m_digest.reset();
        if (!m_sink.commit())
            return finish(Outcome::CreateFailed, false);
        return finish(Outcome::Completed, false);
    }
    qCInfo(lcLoader).noquote() << m_url << "digest" << digest << "where the manifest says" << m_expected;
    refuseBody();
}

void Transfer::refuseBody()
{
    ++m_countedTries;
    if (!m_mismatchRetried && !giveUp()) {
        // A cache on the way may have served an older copy: ask past it.
        m_mismatchRetried = true;
        m_bypassCaches = true;
        restartBody();
        return scheduleRetry(retryDelay(m_countedTries, std::nullopt, QRandomGenerator::global()->generateDouble()));
    }
    finish(Outcome::DownloadFailed, false);
}

void Transfer::scheduleRetry(std::chrono::milliseconds delay)
{
    qCInfo(lcLoader).noquote() << "trying" << m_url << "again in" << delay.count() << "ms"
                               << (m_sink.size() > 0 ? QStringLiteral("for the rest after byte %1").arg(m_sink.size()) : QString());
    m_retryTimer.start(delay);
}

void Transfer::finish(Outcome outcome, bool keepPart)
{
    m_outcome = outcome;
    m_watchdog.stop();
    m_retryTimer.stop();
    m_digest.reset();
    if (outcome != Outcome::Completed && outcome != Outcome::CreateFailed)
        m_sink.discard(keepPart);
    emit finished();
}
