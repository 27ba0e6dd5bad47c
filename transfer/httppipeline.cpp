#include "transfer/httppipeline.h"

#include "platform/diagnostics.h"
#include "platform/fetchtimeout.h"
#include "transfer/httpresponseparser.h"
#include "transfer/pipelinednetworkmanager.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QTcpSocket>

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// An answer nobody waits for any more is read and dropped up to this
// length; a longer one (or one of unknown length) closes its connection.
constexpr qint64 maxDropped = 64 * 1024;

QString qtText(const char *context, const char *text)
{
    return QCoreApplication::translate(context, text);
}

// Qt's network manager's error for an HTTP status of 400 or more.
QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 400: return QNetworkReply::ProtocolInvalidOperationError;
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 418: return QNetworkReply::ProtocolInvalidOperationError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

// Qt's network manager's error and text for a socket failure.
std::pair<QNetworkReply::NetworkError, QString> errorForSocket(QAbstractSocket::SocketError error,
                                                                const QTcpSocket &socket)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        return { QNetworkReply::HostNotFoundError, qtText("QHttp", "Host %1 not found").arg(socket.peerName()) };
    case QAbstractSocket::ConnectionRefusedError:
        return { QNetworkReply::ConnectionRefusedError, qtText("QHttp", "Connection refused") };
    case QAbstractSocket::RemoteHostClosedError:
        return { QNetworkReply::RemoteHostClosedError, qtText("QHttp", "Connection closed") };
    case QAbstractSocket::SocketTimeoutError:
        return { QNetworkReply::TimeoutError, qtText("QAbstractSocket", "Socket operation timed out") };
    default:
        return { QNetworkReply::UnknownNetworkError, socket.errorString() };
    }
}

bool safeInRequest(const QByteArray &text)
{
    return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
}

} // namespace

// One host's connections and the requests waiting for a place on them.
class HostPool
{
public:
    HostPool(HttpPipeline &pipeline, const QString &host, quint16 port);
    ~HostPool();

    void dispatch();
    // Replies that go out again, before those waiting.
    void handBack(const std::vector<PipelinedReply *> &replies);
    void forget(HttpConnection *connection);
    void mishandled(const char *why);
    void closedEarly();
    int depth() const { return m_oneAtATime ? 1 : HttpPipeline::maxInFlight; }

    HttpPipeline &m_pipeline;
    const QString m_host;
    const quint16 m_port;
    const QString m_name; // host:port, for the diagnostics
    QByteArray m_hostHeader;
    std::deque<QPointer<PipelinedReply>> m_waiting;
    std::vector<HttpConnection *> m_connections;
    bool m_oneAtATime = false;
    int m_earlyCloses = 0;
    bool m_progressed = false; // bytes arrived since the waiting were last nudged
    int m_opened = 0;

private:
    HttpConnection *placeSmall();
    HttpConnection *placeLarge();
    HttpConnection *open();

    bool m_dispatching = false;
    bool m_dispatchAgain = false;
};

// One keep-alive connection and the requests in flight on it, answered in
// the order they were written.
class HttpConnection : public QObject
{
public:
    struct Slot
    {
        QPointer<PipelinedReply> reply; // none: nobody waits for the answer, which is dropped
        bool written = false;
        bool answering = false; // its head was taken
    };
    enum class Ending { Lost, Malformed, Withdrawn };

    HttpConnection(HostPool &pool, int id);
    ~HttpConnection() override;

    int load() const { return int(m_slots.size()); }
    bool usable() const { return !m_ending && !m_lastAnswer; }
    bool takesMore(int depth) const { return usable() && !m_large && !m_reserved && load() < depth; }
    void connectTo();
    void enqueue(PipelinedReply *reply);
    void withdraw(PipelinedReply *reply);
    void serve();
    // Requests sent whose answers wait behind another's.
    std::vector<PipelinedReply *> behind() const;

    HostPool &m_pool;
    const int m_id;
    bool m_large = false;    // its answer in progress is large: nothing goes behind it
    bool m_reserved = false; // kept free for a large body waiting for a connection

private:
    void onConnected();
    void writePending();
    void process();
    bool readSocket();
    bool frontHeld() const;
    void onHead();
    void onBody(const HttpResponseParser::Step &step);
    void onDone();
    void onMalformed();
    void becomeLarge();
    void handBackBehind();
    void lost(QAbstractSocket::SocketError error);
    void end(Ending how, QAbstractSocket::SocketError error = QAbstractSocket::RemoteHostClosedError);
    void quickAck();

    QTcpSocket *m_socket = nullptr;
    std::deque<Slot> m_slots;
    HttpResponseParser m_parser;
    QByteArray m_buffer;
    int m_at = 0; // parsed of m_buffer
    qint64 m_bodyBytes = 0;
    qint64 m_dropped = 0;
    int m_answered = 0;
    int m_written = 0;
    bool m_connected = false;
    bool m_ending = false;
    bool m_lastAnswer = false; // the host closes after the answer in progress
    bool m_afterIdle = false;  // requests went out on it after it had been idle
    bool m_draining = false;   // the socket closed: read what is left, whoever waits
};

// --- the reply ----------------------------------------------------------------

PipelinedReply::PipelinedReply(HttpPipeline &pipeline, const QNetworkRequest &request, QObject *parent)
    : QNetworkReply(parent), m_pipeline(&pipeline)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const QVariant hint = request.attribute(expectedSizeAttribute);
    m_sizeHint = hint.isValid() ? hint.toLongLong() : -1;
}

PipelinedReply::~PipelinedReply()
{
    detach();
}

void PipelinedReply::detach()
{
    if (m_pipeline)
        m_pipeline->withdraw(this);
    m_pipeline = nullptr;
}

void PipelinedReply::abort()
{
    if (isFinished())
        return;
    detach();
    m_headPending = m_dataPending = m_nudgePending = m_finishPending = false;
    m_chunks.clear();
    m_buffered = 0;
    QNetworkReply::close();
    setError(OperationCanceledError, qtText("QNetworkReply", "Operation canceled"));
    setFinished(true);
    emit errorOccurred(OperationCanceledError);
    emit finished();
}

qint64 PipelinedReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + m_buffered;
}

qint64 PipelinedReply::readData(char *data, qint64 maxSize)
{
    if (m_chunks.empty())
        return isFinished() ? -1 : 0;
    qint64 copied = 0;
    while (copied < maxSize && !m_chunks.empty()) {
        const QByteArray &chunk = m_chunks.front();
        const qint64 take = qMin<qint64>(maxSize - copied, chunk.size() - m_chunkOffset);
        std::memcpy(data + copied, chunk.constData() + m_chunkOffset, std::size_t(take));
        copied += take;
        m_chunkOffset += int(take);
        if (m_chunkOffset == chunk.size()) {
            if (m_pipeline)
                m_pipeline->recycle(std::move(m_chunks.front()));
            m_chunks.pop_front();
            m_chunkOffset = 0;
        }
    }
    m_buffered -= copied;
    if (m_held && !full()) {
        // Its connection waits for room: it goes on from the event loop,
        // never inside the reader's call.
        m_held = false;
        if (HttpConnection *connection = m_connection)
            QMetaObject::invokeMethod(connection, [connection] { connection->serve(); }, Qt::QueuedConnection);
    }
    return copied;
}

bool PipelinedReply::full() const
{
    return readBufferSize() > 0 && m_buffered >= readBufferSize();
}

void PipelinedReply::takeHead(const HttpResponseHead &head, qint64 contentLength, bool pipelined)
{
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, head.status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(head.reason));
    setAttribute(QNetworkRequest::HttpPipeliningWasUsedAttribute, pipelined);
    for (const auto &header : head.headers) {
        // Repeated fields joined as Qt joins them.
        QByteArray value = rawHeader(header.first);
        if (!value.isEmpty())
            value += qstricmp(header.first.constData(), "set-cookie") == 0 ? "\n" : ", ";
        setRawHeader(header.first, value + header.second);
    }
    m_total = contentLength;
    m_headSeen = true;
    m_headPending = true;
    if (m_pipeline)
        m_pipeline->markForDelivery(this);
}

void PipelinedReply::takeBody(QByteArray piece)
{
    m_received += piece.size();
    m_buffered += piece.size();
    m_chunks.push_back(std::move(piece));
    m_dataPending = true;
    if (m_pipeline)
        m_pipeline->markForDelivery(this);
}

void PipelinedReply::complete()
{
    m_connection = nullptr;
    m_pool = nullptr;
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        m_pendingError = errorForStatus(status);
        m_pendingErrorText = qtText("QNetworkReply", "Error transferring %1 - server replied: %2")
                                     .arg(url().toString(), attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }
    m_finishPending = true;
    if (m_pipeline)
        m_pipeline->markForDelivery(this);
}

void PipelinedReply::fail(NetworkError error, const QString &text)
{
    m_connection = nullptr;
    m_pool = nullptr;
    m_pendingError = error;
    m_pendingErrorText = text;
    m_finishPending = true;
    if (m_pipeline)
        m_pipeline->markForDelivery(this);
}

void PipelinedReply::nudge()
{
    if (m_headSeen || m_finishPending)
        return;
    m_nudgePending = true;
    if (m_pipeline)
        m_pipeline->markForDelivery(this);
}

void PipelinedReply::deliver()
{
    m_queued = false;
    if (isFinished())
        return;
    // Whoever is told may abort or delete this reply.
    const QPointer<PipelinedReply> alive(this);
    const auto over = [&] { return !alive || isFinished(); };
    if (m_headPending) {
        m_headPending = false;
        emit metaDataChanged();
        if (over())
            return;
    }
    if (m_dataPending) {
        m_dataPending = false;
        emit readyRead();
        if (over())
            return;
    }
    if (m_received != m_progressShown || (m_finishPending && m_progressShown < 0)) {
        m_progressShown = m_received;
        emit downloadProgress(m_received, m_total);
        if (over())
            return;
    } else if (m_nudgePending && !m_headSeen) {
        // Waiting for its turn while its host sends others' answers: alive.
        emit downloadProgress(0, -1);
        if (over())
            return;
    }
    m_nudgePending = false;
    if (!m_finishPending)
        return;
    m_finishPending = false;
    if (m_pendingError != NoError)
        setError(m_pendingError, m_pendingErrorText);
    setFinished(true);
    if (m_pendingError != NoError) {
        emit errorOccurred(m_pendingError);
        if (!alive)
            return;
    }
    emit finished();
}

// --- one host ---------------------------------------------------------------------

HostPool::HostPool(HttpPipeline &pipeline, const QString &host, quint16 port)
    : m_pipeline(pipeline), m_host(host), m_port(port), m_name(host + QLatin1Char(':') + QString::number(port))
{
    const bool ipv6 = QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol;
    m_hostHeader = (ipv6 ? '[' + host.toLatin1() + ']' : host.toLatin1())
            + (port != 80 ? ':' + QByteArray::number(port) : QByteArray());
}

HostPool::~HostPool()
{
    for (HttpConnection *connection : m_connections)
        delete connection;
}

void HostPool::dispatch()
{
    if (m_dispatching) {
        m_dispatchAgain = true;
        return;
    }
    m_dispatching = true;
    do {
        m_dispatchAgain = false;
        for (HttpConnection *connection : m_connections)
            connection->m_reserved = false;
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            PipelinedReply *reply = *it;
            if (!reply) {
                it = m_waiting.erase(it);
                continue;
            }
            const bool large = reply->m_sizeHint >= HttpPipeline::largeBody;
            HttpConnection *to = large ? placeLarge() : placeSmall();
            if (!to) {
                if (!large)
                    break; // no later small one would find a place either
                ++it;
                continue;
            }
            it = m_waiting.erase(it);
            to->enqueue(reply);
        }
    } while (m_dispatchAgain);
    m_dispatching = false;
    const bool queued = !m_waiting.empty()
            || std::any_of(m_connections.begin(), m_connections.end(), [](const HttpConnection *c) { return c->load() > 1; });
    if (queued)
        m_pipeline.keepWaitingAlive();
}

HttpConnection *HostPool::placeSmall()
{
    HttpConnection *best = nullptr;
    for (HttpConnection *connection : m_connections) {
        if (connection->takesMore(depth()) && (!best || connection->load() < best->load()))
            best = connection;
    }
    // Spread over as many connections as allowed before queueing behind others.
    if ((!best || best->load() > 0) && int(m_connections.size()) < HttpPipeline::maxConnections)
        return open();
    return best;
}

HttpConnection *HostPool::placeLarge()
{
    int large = 0;
    HttpConnection *idle = nullptr;
    for (HttpConnection *connection : m_connections) {
        if (connection->m_large)
            ++large;
        else if (connection->usable() && connection->load() == 0 && !idle)
            idle = connection;
    }
    // One connection always stays for the small files.
    if (large >= HttpPipeline::maxConnections - 1)
        return nullptr;
    HttpConnection *to = idle;
    if (!to && int(m_connections.size()) < HttpPipeline::maxConnections)
        to = open();
    if (to) {
        to->m_reserved = false;
        to->m_large = true;
        return to;
    }
    // The least busy connection takes nothing more until it is free for it.
    HttpConnection *least = nullptr;
    for (HttpConnection *connection : m_connections) {
        if (connection->m_reserved)
            return nullptr;
        if (connection->usable() && !connection->m_large && (!least || connection->load() < least->load()))
            least = connection;
    }
    if (least)
        least->m_reserved = true;
    return nullptr;
}

HttpConnection *HostPool::open()
{
    auto *connection = new HttpConnection(*this, ++m_opened);
    m_connections.push_back(connection);
    connection->connectTo();
    return connection;
}

void HostPool::handBack(const std::vector<PipelinedReply *> &replies)
{
    for (auto it = replies.rbegin(); it != replies.rend(); ++it) {
        (*it)->m_connection = nullptr;
        m_waiting.push_front(*it);
    }
    dispatch();
}

void HostPool::forget(HttpConnection *connection)
{
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), connection), m_connections.end());
}

void HostPool::mishandled(const char *why)
{
    if (m_oneAtATime)
        return;
    m_oneAtATime = true;
    qCInfo(lcTransfer).noquote() << m_name << "mishandles pipelined requests (" << why
                                 << "): one request at a time from now on";
}

void HostPool::closedEarly()
{
    if (++m_earlyCloses >= 2)
        mishandled("closed twice after its first answer with requests outstanding");
}

// --- one connection -------------------------------------------------------------

HttpConnection::HttpConnection(HostPool &pool, int id) : m_pool(pool), m_id(id) { }

HttpConnection::~HttpConnection()
{
    for (Slot &slot : m_slots) {
        if (slot.reply)
            slot.reply->m_connection = nullptr;
    }
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void HttpConnection::connectTo()
{
    m_socket = new QTcpSocket(this);
    // With the reply's own read buffer, a bound on a connection's memory.
    m_socket->setReadBufferSize(HttpPipeline::readSize);
    connect(m_socket, &QTcpSocket::connected, this, [this] { onConnected(); });
    connect(m_socket, &QIODevice::readyRead, this, [this] { serve(); });
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) { lost(error); });
    connect(m_socket, &QAbstractSocket::disconnected, this, [this] { lost(QAbstractSocket::RemoteHostClosedError); });
    m_socket->connectToHost(m_pool.m_host, m_pool.m_port);
}

void HttpConnection::onConnected()
{
    m_connected = true;
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    writePending();
}

void HttpConnection::enqueue(PipelinedReply *reply)
{
    reply->m_connection = this;
    m_slots.push_back({ reply });
    if (m_connected)
        writePending();
}

void HttpConnection::writePending()
{
    // A host may close an idle connection just as requests go out on it:
    // that close says nothing about how it takes pipelines.
    if (m_answered > 0 && std::none_of(m_slots.begin(), m_slots.end(), [](const Slot &slot) { return slot.written; }))
        m_afterIdle = true;
    QByteArray batch;
    for (Slot &slot : m_slots) {
        if (slot.written || !slot.reply)
            continue;
        batch += slot.reply->m_wire;
        slot.written = true;
        ++m_written;
    }
    if (!batch.isEmpty())
        m_socket->write(batch);
}

std::vector<PipelinedReply *> HttpConnection::behind() const
{
    std::vector<PipelinedReply *> replies;
    for (std::size_t i = 1; i < m_slots.size(); ++i) {
        if (m_slots[i].reply && m_slots[i].written)
            replies.push_back(m_slots[i].reply);
    }
    return replies;
}

void HttpConnection::withdraw(PipelinedReply *reply)
{
    const auto found = std::find_if(m_slots.begin(), m_slots.end(), [reply](const Slot &slot) { return slot.reply == reply; });
    if (found == m_slots.end())
        return;
    reply->m_connection = nullptr;
    if (!found->written) {
        // Never sent (the unsent are the last ones).
        m_slots.erase(found);
        if (m_slots.empty())
            m_large = false;
        return;
    }
    const bool front = found == m_slots.begin();
    found->reply = nullptr;
    if (!front)
        return; // its answer will be read and dropped
    const qint64 length = m_parser.contentLength();
    if (found->answering && length >= 0 && length - reply->m_received <= maxDropped) {
        m_dropped = 0;
        QMetaObject::invokeMethod(this, [this] { serve(); }, Qt::QueuedConnection);
        return;
    }
    // Its answer may be long or never come: the connection goes, and the
    // requests behind it go out again on another.
    end(Ending::Withdrawn);
}

void HttpConnection::serve()
{
    if (m_ending)
        return;
    process();
    m_pool.m_pipeline.flush();
}

bool HttpConnection::frontHeld() const
{
    return !m_draining && !m_slots.empty() && m_slots.front().reply && m_slots.front().reply->m_held;
}

bool HttpConnection::readSocket()
{
    const qint64 available = m_socket->bytesAvailable();
    if (available <= 0)
        return false;
    const int kept = m_buffer.size() - m_at;
    QByteArray next = m_pool.m_pipeline.buffer(kept + int(available));
    if (kept > 0)
        std::memcpy(next.data(), m_buffer.constData() + m_at, std::size_t(kept));
    const qint64 got = m_socket->read(next.data() + kept, available);
    next.resize(kept + int(qMax<qint64>(got, 0)));
    m_pool.m_pipeline.recycle(std::move(m_buffer));
    m_buffer = std::move(next);
    m_at = 0;
    if (got <= 0)
        return false;
    quickAck();
    m_pool.m_progressed = true;
    return true;
}

void HttpConnection::quickAck()
{
#if defined(Q_OS_LINUX) && defined(TCP_QUICKACK)
    // The host's last answer of a batch need not wait for a delayed
    // acknowledgement (Linux turns quick acks off again on its own).
    const int one = 1;
    setsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
}

void HttpConnection::process()
{
    while (!m_ending && !frontHeld()) {
        if (m_slots.empty()) {
            // Blank lines between answers mean nothing; anything else came
            // unasked, and then no answer here can be matched any more.
            readSocket();
            while (m_at < m_buffer.size() && (m_buffer[m_at] == '\r' || m_buffer[m_at] == '\n'))
                ++m_at;
            if (m_at < m_buffer.size()) {
                m_pool.mishandled("an answer nobody asked for");
                end(Ending::Malformed);
            }
            return;
        }
        const HttpResponseParser::Step step = m_parser.parse(m_buffer.constData() + m_at, m_buffer.size() - m_at);
        switch (step.event) {
        case HttpResponseParser::Event::NeedMore:
            m_at += int(step.consumed);
            if (!readSocket())
                return;
            break;
        case HttpResponseParser::Event::Head:
            m_at += int(step.consumed);
            onHead();
            break;
        case HttpResponseParser::Event::Body:
            onBody(step);
            break;
        case HttpResponseParser::Event::Done:
            m_at += int(step.consumed);
            onDone();
            break;
        case HttpResponseParser::Event::Malformed:
            return onMalformed();
        }
    }
}

void HttpConnection::onHead()
{
    const HttpResponseHead &head = m_parser.head();
    m_afterIdle = false;
    m_bodyBytes = 0;
    m_dropped = 0;
    if (head.minorVersion == 0)
        m_pool.mishandled("an HTTP/1.0 answer");
    if (!m_parser.keepAlive()) {
        // Nothing behind this answer will be answered here.
        if (m_answered == 0 && m_slots.size() > 1 && m_slots[1].written)
            m_pool.closedEarly();
        m_lastAnswer = true;
        handBackBehind();
    }
    Slot &front = m_slots.front();
    const qint64 length = m_parser.contentLength();
    if (!front.reply) {
        if (length < 0 || length > maxDropped)
            end(Ending::Withdrawn); // too long to read for nobody
        return;
    }
    front.answering = true;
    front.reply->takeHead(head, length, m_written > 1);
    if (length >= HttpPipeline::largeBody)
        becomeLarge();
}

void HttpConnection::onBody(const HttpResponseParser::Step &step)
{
    Slot &front = m_slots.front();
    m_bodyBytes += step.bodySize;
    const int consumedTo = m_at + int(step.consumed);
    if (!front.reply) {
        m_at = consumedTo;
        m_dropped += step.bodySize;
        if (m_dropped > maxDropped)
            end(Ending::Withdrawn);
        return;
    }
    QByteArray piece;
    if (m_at == 0 && step.body == m_buffer.constData() && step.bodySize == m_buffer.size()) {
        // A read that is all body goes to the reply as it is.
        piece = std::move(m_buffer);
        m_buffer = QByteArray();
        m_at = 0;
    } else {
        piece = QByteArray(step.body, int(step.bodySize));
        m_at = consumedTo;
    }
    PipelinedReply *reply = front.reply;
    reply->takeBody(std::move(piece));
    if (reply->full())
        reply->m_held = true;
    if (!m_large && m_parser.contentLength() < 0 && m_bodyBytes >= HttpPipeline::largeBody)
        becomeLarge();
}

void HttpConnection::onDone()
{
    const Slot front = m_slots.front();
    m_slots.pop_front();
    ++m_answered;
    const bool keepAlive = m_parser.keepAlive();
    m_parser.startNext();
    m_large = false;
    if (front.reply)
        front.reply->complete();
    if (!keepAlive)
        return end(Ending::Withdrawn);
    m_pool.dispatch();
}

void HttpConnection::onMalformed()
{
    qCInfo(lcTransfer).noquote() << m_pool.m_name << "connection" << m_id << "sent a malformed answer:"
                                 << m_parser.fault();
    m_pool.mishandled("a malformed answer");
    end(Ending::Malformed);
}

void HttpConnection::becomeLarge()
{
    m_large = true;
    handBackBehind();
}

void HttpConnection::handBackBehind()
{
    // The requests behind the answer in progress go out on other
    // connections; the answers to those already sent are dropped here.
    std::vector<PipelinedReply *> again;
    for (std::size_t i = 1; i < m_slots.size(); ++i) {
        if (PipelinedReply *reply = m_slots[i].reply) {
            again.push_back(reply);
            m_slots[i].reply = nullptr;
        }
    }
    while (m_slots.size() > 1 && (!m_slots.back().written || m_lastAnswer))
        m_slots.pop_back();
    if (!again.empty()) {
        qCInfo(lcTransfer).noquote() << m_pool.m_name << "connection" << m_id << "hands" << again.size()
                                     << (m_lastAnswer ? "requests on: it closes after this answer"
                                                      : "requests on: a large answer is in the way");
        m_pool.handBack(again);
    }
}

void HttpConnection::lost(QAbstractSocket::SocketError error)
{
    if (m_ending)
        return;
    // What came before the close is still read, whoever waits for it.
    m_draining = true;
    process();
    if (m_ending)
        return m_pool.m_pipeline.flush();
    if (!m_slots.empty() && m_slots.front().answering && m_parser.closed()) {
        onDone(); // a body that runs to the close
        return m_pool.m_pipeline.flush();
    }
    if (m_connected && !m_slots.empty() && !m_slots.front().answering && m_answered <= 1 && m_written >= 2
        && !m_afterIdle)
        m_pool.closedEarly();
    end(Ending::Lost, error);
    m_pool.m_pipeline.flush();
}

void HttpConnection::end(Ending how, QAbstractSocket::SocketError error)
{
    if (m_ending)
        return;
    m_ending = true;
    const auto [socketError, socketText] = errorForSocket(error, *m_socket);
    std::vector<PipelinedReply *> again;
    int resent = 0;
    for (Slot &slot : m_slots) {
        PipelinedReply *reply = slot.reply;
        if (!reply)
            continue;
        reply->m_connection = nullptr;
        const bool malformed = how == Ending::Malformed && (slot.answering || &slot == &m_slots.front());
        const QNetworkReply::NetworkError code = malformed ? QNetworkReply::ProtocolFailure : socketError;
        const QString text = malformed ? qtText("QHttp", "Data corrupted") : socketText;
        if (slot.answering) {
            reply->fail(code, text); // part of it was handed over already
        } else if (how == Ending::Lost && !m_connected) {
            reply->fail(code, text); // refused, or no such host
        } else if (how != Ending::Withdrawn && ++reply->m_resends > HttpPipeline::maxResends) {
            reply->fail(code, text);
        } else {
            again.push_back(reply);
            ++resent;
        }
    }
    m_slots.clear();
    qCInfo(lcTransfer).noquote() << m_pool.m_name << "connection" << m_id << "ends after" << m_answered << "answers"
                                 << (resent ? QStringLiteral("; %1 requests go out again").arg(resent) : QString());
    m_socket->disconnect(this);
    m_socket->abort();
    m_pool.forget(this);
    deleteLater();
    m_pool.handBack(again);
}

// --- the pipeline ---------------------------------------------------------------

HttpPipeline::HttpPipeline()
{
    connect(&m_nudgeTimer, &QTimer::timeout, this, [this] { nudgeWaiting(); });
}

// Replies still running stay unfinished and no longer hear from it.
HttpPipeline::~HttpPipeline() = default;

HostPool &HttpPipeline::poolFor(const QUrl &url)
{
    const QString host = url.host(QUrl::FullyEncoded).toLower();
    const quint16 port = quint16(url.port(80));
    const QString key = host + QLatin1Char(':') + QString::number(port);
    auto &pool = m_pools[key];
    if (!pool)
        pool = std::make_unique<HostPool>(*this, host, port);
    return *pool;
}

QNetworkReply *HttpPipeline::get(const QNetworkRequest &request, QObject *parent)
{
    auto *reply = new PipelinedReply(*this, request, parent);
    HostPool &pool = poolFor(request.url());
    reply->m_pool = &pool;

    // As Qt's manager sends it: the path cleaned of dot segments, no fragment.
    QUrl target = request.url();
    QUrl::FormattingOptions format = QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment | QUrl::FullyEncoded;
    if (target.path().isEmpty())
        target.setPath(QStringLiteral("/"));
    else
        format |= QUrl::NormalizePathSegments;
    QByteArray &wire = reply->m_wire;
    wire.reserve(256);
    const QByteArray path = target.toEncoded(format);
    wire += "GET " + path + " HTTP/1.1\r\nHost: " + pool.m_hostHeader + "\r\n";
    bool safe = safeInRequest(path) && !path.contains(' ') && safeInRequest(pool.m_hostHeader);
    bool encoding = false;
    bool agent = false;
    for (const QByteArray &name : request.rawHeaderList()) {
        if (name.compare("Host", Qt::CaseInsensitive) == 0 || name.compare("Connection", Qt::CaseInsensitive) == 0)
            continue;
        const QByteArray value = request.rawHeader(name);
        safe = safe && safeInRequest(name) && safeInRequest(value);
        encoding = encoding || name.compare("Accept-Encoding", Qt::CaseInsensitive) == 0;
        agent = agent || name.compare("User-Agent", Qt::CaseInsensitive) == 0;
        wire += name + ": " + value + "\r\n";
    }
    // Nothing is decoded here: the bytes as the host stores them.
    if (!encoding)
        wire += "Accept-Encoding: identity\r\n";
    if (!agent)
        wire += "User-Agent: Mozilla/5.0\r\n";
    wire += "\r\n";
    if (!safe) {
        reply->fail(QNetworkReply::ProtocolInvalidOperationError, qtText("QHttp", "Invalid HTTP request header"));
        scheduleFlush();
        return reply;
    }
    pool.m_waiting.push_back(reply);
    pool.dispatch();
    return reply;
}

void HttpPipeline::keepWaitingAlive()
{
    // Often enough that no reader's inactivity limit runs out between.
    if (!m_nudgeTimer.isActive())
        m_nudgeTimer.start(qBound<qint64>(20, fetchInactivityTimeout().count() / 4, 1000));
}

bool HttpPipeline::oneAtATime(const QUrl &url) const
{
    const QString key = url.host(QUrl::FullyEncoded).toLower() + QLatin1Char(':') + QString::number(url.port(80));
    const auto found = m_pools.find(key);
    return found != m_pools.end() && found->second->m_oneAtATime;
}

void HttpPipeline::withdraw(PipelinedReply *reply)
{
    HostPool *pool = reply->m_pool;
    if (!pool)
        return;
    if (HttpConnection *connection = reply->m_connection)
        connection->withdraw(reply);
    else
        pool->m_waiting.erase(std::remove(pool->m_waiting.begin(), pool->m_waiting.end(), reply), pool->m_waiting.end());
    reply->m_pool = nullptr;
    pool->dispatch();
}

QByteArray HttpPipeline::buffer(int size)
{
    if (!m_spareBuffers.empty() && m_spareBuffers.back().capacity() >= size) {
        QByteArray spare = std::move(m_spareBuffers.back());
        m_spareBuffers.pop_back();
        spare.resize(size);
        return spare;
    }
    QByteArray fresh;
    fresh.reserve(qMax(size, readSize));
    fresh.resize(size);
    return fresh;
}

void HttpPipeline::recycle(QByteArray &&buffer)
{
    // Large reads go round a few buffers instead of fresh memory each time.
    if (buffer.capacity() >= readSize && buffer.isDetached() && m_spareBuffers.size() < maxSpareBuffers)
        m_spareBuffers.push_back(std::move(buffer));
}

void HttpPipeline::markForDelivery(PipelinedReply *reply)
{
    if (reply->m_queued)
        return;
    reply->m_queued = true;
    m_toDeliver.push_back(reply);
}

void HttpPipeline::flush()
{
    // Each reply once; a reader may add others (or this call again) meanwhile.
    while (!m_toDeliver.empty()) {
        const QPointer<PipelinedReply> reply = m_toDeliver.front();
        m_toDeliver.pop_front();
        if (reply)
            reply->deliver();
    }
}

void HttpPipeline::scheduleFlush()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    QMetaObject::invokeMethod(this, [this] {
        m_flushScheduled = false;
        flush();
    }, Qt::QueuedConnection);
}

void HttpPipeline::nudgeWaiting()
{
    // A request waiting for its turn (not yet sent, or behind another
    // answer) hears that its host is sending, so that its reader's
    // inactivity limit measures the host and not the queue.
    bool waiting = false;
    for (auto &entry : m_pools) {
        HostPool &pool = *entry.second;
        const bool progressed = std::exchange(pool.m_progressed, false);
        for (const QPointer<PipelinedReply> &reply : pool.m_waiting) {
            waiting = waiting || reply;
            if (reply && progressed)
                reply->nudge();
        }
        for (HttpConnection *connection : pool.m_connections) {
            for (PipelinedReply *reply : connection->behind()) {
                waiting = true;
                if (progressed)
                    reply->nudge();
            }
        }
    }
    if (!waiting)
        m_nudgeTimer.stop();
    flush();
}
