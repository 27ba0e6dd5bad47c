#pragma once

#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class HttpConnection;
class HostPool;
class HttpPipeline;
struct HttpResponseHead;

// The answer to one GET carried by HttpPipeline. It shows what the replies
// of Qt's network manager show, so that their readers need not know which
// they have: the status and reason attributes, the raw headers (repeated
// ones joined), the error Qt gives each HTTP status and each socket failure
// with Qt's texts, metaDataChanged before the first readyRead,
// downloadProgress, finished exactly once, a read buffer that holds the
// connection back when full, and an abort() that emits at once and never
// later.
class PipelinedReply : public QNetworkReply
{
    Q_OBJECT

public:
    ~PipelinedReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class HttpPipeline;
    friend class HttpConnection;
    friend class HostPool;

    PipelinedReply(HttpPipeline &pipeline, const QNetworkRequest &request, QObject *parent);

    void takeHead(const HttpResponseHead &head, qint64 contentLength, bool pipelined);
    void takeBody(QByteArray piece);
    void complete();
    void fail(NetworkError error, const QString &text);
    void nudge();
    void deliver();
    bool full() const;
    void detach();

    QPointer<HttpPipeline> m_pipeline;
    HostPool *m_pool = nullptr;
    QPointer<HttpConnection> m_connection; // the one it is in flight on
    QByteArray m_wire;                     // the request as sent
    qint64 m_sizeHint = -1;                // the body's expected size, if known
    int m_resends = 0;                     // after closes that were the host's doing
    std::deque<QByteArray> m_chunks;
    int m_chunkOffset = 0; // read already of the first chunk
    qint64 m_buffered = 0;
    qint64 m_received = 0;
    qint64 m_total = -1;
    qint64 m_progressShown = -1;
    bool m_headSeen = false;
    bool m_held = false; // the connection waits for this reply to be read
    bool m_queued = false;
    bool m_headPending = false;
    bool m_dataPending = false;
    bool m_nudgePending = false;
    bool m_finishPending = false;
    NetworkError m_pendingError = NoError;
    QString m_pendingErrorText;
};

// An HTTP/1.1 client for plain-HTTP GETs on the thread that uses it, over
// buffered sockets and HttpResponseParser: per host at most maxConnections
// connections, each with up to maxInFlight requests pipelined. Small
// answers are spread over the connections; a body known to be large (from
// the request's expectedSizeAttribute, or learned from its head) gets a
// connection of its own, and the requests that were behind it go out again
// on others. Requests a closing connection did not answer go out again on a
// fresh one, and no answer is ever taken for another request's: answers are
// matched to requests in order, and a connection whose order is in doubt is
// closed. A host that mishandles pipelining (twice a close after its first
// answer with requests outstanding, a malformed answer, an HTTP/1.0 one) is
// asked one request at a time for the rest of the pipeline's life. It
// decodes no content coding (it asks for identity) and follows no redirect.
class HttpPipeline : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxConnections = 6;  // a host
    static constexpr int maxInFlight = 8;     // a connection
    // A body from this size on gets a connection of its own.
    static constexpr qint64 largeBody = 4 * 1024 * 1024;
    // A request whose connection closed before its answer goes out again at
    // most this often before it fails.
    static constexpr int maxResends = 3;

    HttpPipeline();
    ~HttpPipeline() override;

    QNetworkReply *get(const QNetworkRequest &request, QObject *parent);
    // The host of `url` is asked one request at a time.
    bool oneAtATime(const QUrl &url) const;

private:
    friend class PipelinedReply;
    friend class HttpConnection;
    friend class HostPool;

    HostPool &poolFor(const QUrl &url);
    void withdraw(PipelinedReply *reply);
    void markForDelivery(PipelinedReply *reply);
    void flush();
    void scheduleFlush();
    void keepWaitingAlive();
    // A buffer of `size` bytes for a socket's read; one read whole goes back.
    QByteArray buffer(int size);
    void recycle(QByteArray &&buffer);
    void nudgeWaiting();

    std::map<QString, std::unique_ptr<HostPool>> m_pools;
    // What a socket holds before it is read, and the size of every read's
    // buffer, so that any spare fits any read.
    static constexpr int readSize = 512 * 1024;
    static constexpr std::size_t maxSpareBuffers = 8;
    std::deque<QPointer<PipelinedReply>> m_toDeliver;
    std::vector<QByteArray> m_spareBuffers;
    bool m_flushScheduled = false;
    QTimer m_nudgeTimer;
};
