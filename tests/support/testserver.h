#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QThread>
#include <QUrl>

#include <memory>

// What the test server answers for one path.
struct TestResponse
{
    enum class Fault {
        None,
        CutMidBody,        // headers promise the whole body; half (or cutAfter bytes) is sent, then the connection closes
        StallBeforeHeaders, // the request is read and never answered
        StallMidBody,      // headers and half the body, then silence
        StreamWithoutLength, // no Content-Length: the body over and over up to cutAfter bytes, then the connection closes
        Trickle,           // the body 16 bytes at a time, 50 ms apart: never silent, never much
    };

    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/octet-stream";
    bool gzipWhenAccepted = false; // like a web server with compression on
    Fault fault = Fault::None;
    qint64 cutAfter = -1;          // body bytes sent before a cut; -1: half
    int delayMs = 0;               // the answer waits this long
    // The body in pieces of pieceBytes, pauseMs apart; a cut comes pauseMs
    // after the last piece.
    qint64 pieceBytes = 0;
    int pauseMs = 0;
    // Answers "Range: bytes=N-" with 206 and the rest, unless If-Range names
    // another ETag than this response's; closed ranges "bytes=A-B,C-D" with
    // their parts.
    bool ranges = false;
    bool multipleRanges = true; // false: several ranges asked at once get the whole body
    bool chunked = false;       // the body in chunks with extensions, and a trailer
    QList<QPair<QByteArray, QByteArray>> headers; // ETag, Retry-After, …
};

struct TestRequest
{
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    int connection = 0;                    // which accepted connection carried it
};

// A small HTTP/1.1 server on 127.0.0.1 with keep-alive, running on its own
// thread so that code under test may block the caller's thread. Pipelined
// requests are answered in order, a delayed answer holding back those
// behind it. With a certificate and key it speaks HTTPS.
class TestServer
{
public:
    TestServer();
    TestServer(const QSslCertificate &certificate, const QSslKey &key);
    ~TestServer();

    void setResponse(const QByteArray &path, const TestResponse &response);
    void setBody(const QByteArray &path, const QByteArray &body, int status = 200);
    // Each request of `path` takes the next answer; the last one stays.
    void setResponses(const QByteArray &path, const QList<TestResponse> &answers);
    // Every connection closes after this many answers, whatever was asked
    // behind them; `announced`: the last carries "Connection: close", as
    // nginx's keepalive_requests does.
    void closeConnectionsAfter(int answers, bool announced);

    QString baseUrl() const; // scheme://127.0.0.1:port
    QUrl url(const QByteArray &path) const { return QUrl(baseUrl() + QString::fromLatin1(path)); }

    QList<TestRequest> requests() const;
    int requestCount(const QByteArray &path) const;
    int connectionCount() const;

    // Self-signed certificate for 127.0.0.1 kept with the tests.
    static QSslCertificate selfSignedCertificate();
    static QSslKey selfSignedKey();

private:
    friend class TestServerWorker;
    TestResponse responseFor(const QByteArray &path);
    int registerConnection();
    void logRequest(const TestRequest &request);

    mutable QMutex m_mutex;
    QHash<QByteArray, QList<TestResponse>> m_responses;
    QList<TestRequest> m_requests;
    int m_connections = 0;
    int m_answersPerConnection = 0; // 0: no limit
    bool m_announceClose = false;
    bool m_tls = false;
    quint16 m_port = 0;
    QThread m_thread;
    class TestServerWorker *m_worker = nullptr;
};

// gzip framing (RFC 1952) around Qt's deflate, for compressed bodies.
QByteArray gzipCompress(const QByteArray &data);

// Deterministic bytes without repeats, so that no block of a file looks like another.
QByteArray randomBytes(int size, quint32 seed);

// The sidecar Debian's zsyncmake publishes for `content` (made in a
// temporary folder), or nothing when zsyncmake is missing.
QByteArray zsyncSidecar(const QByteArray &content);
// A sidecar only an attacker would publish for a file of `length` bytes:
// 1-byte rolling sums, one of each value as far as the blocks go, so that
// most positions of any old copy pass the quick filter, and checksums that
// match nothing.
QByteArray hostileSidecar(qint64 length, int blockSize);
