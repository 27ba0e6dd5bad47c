#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// The status line and headers of one HTTP/1.x answer.
struct HttpResponseHead
{
    int minorVersion = 1; // HTTP/1.0 or HTTP/1.1
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers; // in order, names as sent

    // A header's value; repeated fields joined with ", ". Names in any case.
    QByteArray value(const char *name) const;
    bool has(const char *name) const;
};

// Reads HTTP/1.x answers to GET requests out of a connection's bytes, one
// after another, without copying them: the head whole, then the body in the
// pieces that arrived. Knows Content-Length, chunked bodies (extensions and
// trailers dropped), bodies that run to the close, answers without a body
// (204, 304) and interim 1xx answers (skipped). Everything it is given is
// bounded: a head or trailer over maxHeadSize, a chunk line over
// maxChunkLine, a length past 2^60 or a framing it cannot know is Malformed.
class HttpResponseParser
{
public:
    static constexpr int maxHeadSize = 64 * 1024;
    static constexpr int maxChunkLine = 4096;

    enum class Event {
        NeedMore,  // give more bytes after those not consumed
        Head,      // head() holds the answer's head
        Body,      // `body` / `bodySize` is the next piece of the body
        Done,      // the answer is complete; startNext() for the next one
        Malformed, // nothing more can be read from this connection
    };
    struct Step
    {
        Event event = Event::NeedMore;
        qsizetype consumed = 0;
        const char *body = nullptr;
        qsizetype bodySize = 0;
    };

    // Reads from `data`. Bytes not consumed must be given again, at the
    // start of the next call, with whatever came after them.
    Step parse(const char *data, qsizetype size);
    // The peer closed the connection: true when that completes the answer
    // (a body that runs to the close).
    bool closed();
    // After Done: the next answer on the same connection.
    void startNext();

    const HttpResponseHead &head() const { return m_head; }
    // The body's length from Content-Length; -1 for chunked or to the close.
    qint64 contentLength() const { return m_contentLength; }
    // The connection may carry another answer after this one.
    bool keepAlive() const { return m_keepAlive; }
    // No byte of an answer seen since the last startNext() (or ever).
    bool betweenAnswers() const { return m_state == State::Head && m_scanned == 0; }
    // Why the answer was malformed, for the diagnostics.
    const char *fault() const { return m_fault; }

private:
    enum class State { Head, Length, ChunkLine, ChunkData, ChunkEnd, Trailers, ToClose, Done, Malformed };

    Step readHead(const char *data, qsizetype size);
    Step readChunkLine(const char *data, qsizetype size);
    Step readTrailers(const char *data, qsizetype size);
    bool takeHead(const char *data, qsizetype size);
    bool frameBody();
    Step malformed(const char *why);

    State m_state = State::Head;
    HttpResponseHead m_head;
    qsizetype m_scanned = 0; // of the head or trailers, searched for their end already
    qint64 m_contentLength = -1;
    qint64 m_left = 0; // of this body or chunk
    bool m_keepAlive = true;
    const char *m_fault = nullptr;
};
