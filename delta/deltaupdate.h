#pragma once

#include "platform/fetchtimeout.h"
#include "transfer/byteranges.h"
#include "delta/blockmatch.h"
#include "delta/sidecar.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// Where the delta sidecar of the file at `fileUrl` is: ".zsync" added to
// the path, before any query.
QString sidecarUrl(const QString &fileUrl);

// Brings an outdated large file up to date by fetching only the blocks it
// lacks: reads the file's sidecar (its URL + ".zsync"), scans the old copy
// for the blocks it already holds, fetches the rest with range requests into
// the temporary file and completes it from the old copy. The result is
// checked against the sidecar's SHA-1 and the manifest's MD5, and its length
// against the manifest's size (sidecarLengthFits); anything that
// goes wrong on the way (no sidecar, a host without ranges, a mismatch,
// memory or a thread that cannot be had) ends in FallBack, and the caller
// downloads the file whole.
class DeltaUpdate : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Running,
        Assembled,   // the temporary file holds the new content, checked
        FallBack,    // download the file whole instead
        Aborted,
    };

    // Smaller files are downloaded whole: the sidecar and the scan would
    // save little.
    static constexpr qint64 minimumSize = 4 * 1024 * 1024;
    static constexpr int maxRequestsInFlight = 4;
    static constexpr int maxRangesPerRequest = 64;

    // `expectedSize`: the file's length in bytes, -1 when unknown.
    DeltaUpdate(QNetworkAccessManager &manager, const QString &url, const QString &oldPath,
                const QString &partPath, const QString &expectedMd5, qint64 expectedSize,
                QObject *parent = nullptr);
    ~DeltaUpdate() override;

    void start();
    // Ends at once, without finished(); scanning and assembling threads
    // leave within a chunk.
    void abort();

    Outcome outcome() const { return m_outcome; }
    qint64 fetched() const { return m_fetched; }
    // The bytes to fetch, -1 until the scan has told.
    qint64 needed() const { return m_needed; }

signals:
    void progressed();
    void finished();

private:
    struct Request;

    void onSidecar();
    void onScanned();
    void fetchMore();
    void splitRanges(Request &request);
    void issue(Request &request);
    void drain(Request &request);
    void concludeRequest(Request &request);
    void onAssembled();
    void fallBack(const char *why);
    template<typename Step>
    void guarded(Step &&step);
    void report(void (DeltaUpdate::*done)());
    void end(Outcome outcome);
    void stopWork();
    void joinWorker();

    QNetworkAccessManager &m_manager;
    const QString m_url;
    const QString m_oldPath;
    const QString m_partPath;
    const QString m_expected;
    const qint64 m_expectedSize;
    Outcome m_outcome = Outcome::Running;
    QPointer<QNetworkReply> m_sidecarReply;
    QTimer m_sidecarWatchdog;
    SlowRetrievalGuard m_sidecarPace;
    std::optional<Sidecar> m_sidecar;
    std::vector<qint64> m_found;
    std::vector<std::unique_ptr<Request>> m_requests;
    std::size_t m_nextRequest = 0;
    bool m_oneRangeEach = false;
    QFile m_part;
    qint64 m_fetched = 0;
    qint64 m_needed = -1;
    QElapsedTimer m_clock;
    std::atomic<bool> m_stop { false };
    std::thread m_worker;
    // Written by the worker, read once it is joined.
    std::optional<std::vector<qint64>> m_scanned;
    ScanCounts m_scanCounts;
    bool m_assembled = false;
    bool m_matches = false;
    bool m_workerFault = false;
};
