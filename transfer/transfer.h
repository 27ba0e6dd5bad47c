#pragma once

#include "platform/fetchtimeout.h"
#include "transfer/downloadsink.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// Whether a failed try is worth repeating: the connection was refused, reset,
// closed mid-body or went quiet, the answer was malformed, or the server
// said it is busy or failing for now (408, 429, 500, 502, 503, 504). Other
// statuses (404, 403, …) are final.
bool isPassingFailure(QNetworkReply::NetworkError error, int httpStatus);

// The wait before the first retry (0.5 s); each later one doubles it. Tests
// shorten it.
void setRetryBackoffBase(std::chrono::milliseconds base);

// How long a download may go without a new byte of its file, over all its
// tries, before it is given up (a minute). Tests shorten it.
void setTimeWithoutProgress(std::chrono::milliseconds limit);

// How long to wait after `failedTries` tries: about 0.5, 1, then 2 s, spread
// by `jitter` (0 to 1) over ±20 %; a server's Retry-After, up to 30 s, when
// it asks for longer.
std::chrono::milliseconds retryDelay(int failedTries, std::optional<std::chrono::seconds> retryAfter,
                                     double jitter);

// A Retry-After header's wait: seconds, or an HTTP date after `now`.
std::optional<std::chrono::seconds> parseRetryAfter(const QByteArray &value, const QDateTime &now);

// Where a "Content-Range: bytes N-M/T" answer starts, or -1.
qint64 contentRangeStart(const QByteArray &value);

// The digest of downloaded content against the manifest's, in any letter case.
bool downloadDigestMatches(const QString &computedHex, const QString &published);

// One file's download: streams the body into a temporary file beside the
// target through its MD5 (or the digest chosen), and puts it in place only once complete and
// matching (or when there is no digest to check). A body that runs past the
// file's size, or ends short of it, is refused like one of another digest,
// without a byte past the size written. Passing failures are tried
// again with back-off; a body with a digest, cut after its first MiB, is
// resumed with a range request, in this run or the next. A try that carried
// the part on by a MiB or more is not counted against the tries; the file
// is given up after 20 tries in all, or a minute without a new byte. A try
// that carries less than the rate floor (platform/fetchtimeout.h) is cut.
// Someone else may fill the temporary file instead (partFileName(), then
// commitPrepared()). It says nothing about status texts.
class Transfer : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Running,
        Completed,      // in place
        CreateFailed,   // the target could not be replaced
        NetworkFailed,  // the last try reported a network or HTTP error (networkError())
        DownloadFailed, // cut, mismatched or unwritable body, or an unexpected fault
        Aborted,
    };

    static constexpr int maxTries = 4; // that made no headway
    static constexpr int maxTriesInAll = 20;
    // Both the least part worth keeping and the headway that does not count as a try.
    static constexpr qint64 resumableAfter = 1024 * 1024;

    // `expectedSize` is the file's length in bytes, -1 when unknown.
    Transfer(QNetworkAccessManager &manager, const QString &url, const QString &target,
             const QString &expectedMd5, qint64 expectedSize, QObject *parent = nullptr);
    ~Transfer() override;

    // The digest given is a SHA-256 (or another) rather than an MD5; before open().
    void setDigestAlgorithm(QCryptographicHash::Algorithm algorithm) { m_digest.setAlgorithm(algorithm); }
    // Opens the temporary file, taking up a kept part of the same file
    // (none longer than the file). False when the target cannot be replaced.
    bool open();
    // Downloads the file, taking up a kept part.
    void start();
    // Downloads the file whole, whatever the temporary file holds.
    void startAfresh();
    // The temporary file already holds the new content, checked: put it in
    // place.
    void commitPrepared();
    // Ends at once, without finished(). The temporary file goes, unless it
    // is a part worth resuming and `keepPart` allows keeping it.
    void abort(bool keepPart);
    // Ends as DownloadFailed, with finished(): a fault outside the transfer
    // ended its file's update.
    void fail();

    Outcome outcome() const { return m_outcome; }
    QString networkError() const { return m_networkError; }
    qint64 received() const;
    qint64 total() const;
    QString partFileName() const { return m_sink.fileName(); }
    // Bytes of a kept part that this download will resume.
    qint64 keptPartSize() const { return m_sink.size(); }

signals:
    void progressed();
    void finished();

private:
    void issue();
    bool giveUp() const;
    void handleHeaders();
    void drain();
    void conclude();
    void checkDigest();
    void refuseBody();
    void restartBody();
    void scheduleRetry(std::chrono::milliseconds delay);
    void finish(Outcome outcome, bool keepPart);
    void releaseReply();
    void dropReply();
    bool partWorthKeeping() const;
    QByteArray validator() const;
    DownloadSink::PartNote note() const;
    template<typename Step>
    void guarded(Step &&step);

    QNetworkAccessManager &m_manager;
    const QString m_url;
    const QString m_target;
    const QString m_expected;
    const qint64 m_expectedSize;
    DownloadSink m_sink;
    BodyDigest m_digest;
    QPointer<QNetworkReply> m_reply;
    QTimer m_watchdog;
    SlowRetrievalGuard m_pace;
    QTimer m_retryTimer;
    QElapsedTimer m_tryClock;
    QElapsedTimer m_sinceProgress; // since the part last grew past its largest
    Outcome m_outcome = Outcome::Running;
    QString m_networkError;
    QByteArray m_validator; // of this run's first full answer
    qint64 m_length = -1;   // the whole file's, as the host last stated it
    qint64 m_largestPart = 0;
    bool m_encoded = false;
    bool m_bypassCaches = false;
    bool m_mismatchRetried = false;
    bool m_awaitingPrime = false;
    int m_tries = 0;
    int m_countedTries = 0;
    // Per try:
    qint64 m_largestBefore = 0;
    qint64 m_rangeFrom = 0;
    qint64 m_offset = 0;
    qint64 m_receivedThisTry = 0;
    qint64 m_progressReceived = 0;
    qint64 m_progressTotal = -1;
    int m_status = 0;
    bool m_headersSeen = false;
    bool m_acceptBody = false;
    bool m_replyFinished = false;
    bool m_writeFailed = false;
    bool m_timedOut = false;
    bool m_restartPlain = false;
    bool m_wrongRange = false;
    bool m_awaitingDigest = false;
    std::atomic<bool> m_digestWake { false };
};
