#include "testserver.h"

#include <QFile>
#include <QMutexLocker>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

namespace {

quint32 crc32(const QByteArray &data)
{
    static const auto table = [] {
        std::array<quint32, 256> t {};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (char byte : data)
        crc = table[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void appendLittleEndian(QByteArray &out, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 416: return "Range Not Satisfiable";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &byte : data)
        byte = char(random.generate());
    return data;
}

QByteArray zsyncSidecar(const QByteArray &content)
{
    QTemporaryDir folder;
    QFile file(folder.filePath("file"));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    file.close();
    QProcess zsyncmake;
    zsyncmake.setWorkingDirectory(folder.path());
    zsyncmake.start("zsyncmake", { "-u", "file", "-o", "file.zsync", "file" });
    if (!zsyncmake.waitForFinished(60000) || zsyncmake.exitCode() != 0) {
        qWarning("zsyncmake (Debian's zsync package) is needed: %s", qPrintable(zsyncmake.errorString()));
        return {};
    }
    QFile sidecar(folder.filePath("file.zsync"));
    return sidecar.open(QIODevice::ReadOnly) ? sidecar.readAll() : QByteArray();
}

QByteArray hostileSidecar(qint64 length, int blockSize)
{
    QByteArray sidecar = "zsync: 0.6.2\nBlocksize: " + QByteArray::number(blockSize) + "\nLength: "
            + QByteArray::number(length) + "\nHash-Lengths: 1,1,3\nSHA-1: " + QByteArray(40, '0') + "\n\n";
    for (qint64 block = 0; block * blockSize < length; ++block)
        sidecar += char(block) + QByteArray(3, '\xff');
    return sidecar;
}

QByteArray gzipCompress(const QByteArray &data)
{
    // qCompress gives a 4-byte length, a 2-byte zlib header, the deflate
    // stream and a 4-byte Adler-32; gzip wants the bare deflate stream.
    const QByteArray zlib = qCompress(data, 6);
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    out.append(zlib.mid(6, zlib.size() - 10));
    appendLittleEndian(out, crc32(data));
    appendLittleEndian(out, quint32(data.size()));
    return out;
}

// One answer as it goes out, in its turn on its connection.
struct Outgoing
{
    QByteArray head;
    QByteArray body; // framed: chunked already when asked
    TestResponse::Fault fault = TestResponse::Fault::None;
    qint64 cutAt = 0;
    int delayMs = 0;
    qint64 pieceBytes = 0; // with pauseMs: the body in paced pieces
    int pauseMs = 0;
    bool closeAfter = false;

    bool paced() const
    {
        return fault == TestResponse::Fault::Trickle
                || (pauseMs > 0 && (fault == TestResponse::Fault::CutMidBody || fault == TestResponse::Fault::None));
    }
};

struct ConnectionState
{
    int id = 0;
    QByteArray buffer;
    std::deque<Outgoing> queue;
    int answers = 0;
    bool waiting = false; // a delayed answer holds back those behind it
    bool over = false;    // nothing more is answered on it
};

class TestServerWorker : public QTcpServer
{
public:
    TestServerWorker(TestServer *owner, QSslCertificate certificate, QSslKey key)
        : m_owner(owner), m_certificate(std::move(certificate)), m_key(std::move(key))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        auto state = std::make_shared<ConnectionState>();
        state->id = m_owner->registerConnection();
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QIODevice::readyRead, socket, [this, socket, state] {
            state->buffer.append(socket->readAll());
            int end;
            while ((end = state->buffer.indexOf("\r\n\r\n")) >= 0) {
                const QByteArray head = state->buffer.left(end);
                state->buffer.remove(0, end + 4);
                state->queue.push_back(answer(head, *state));
            }
            pump(socket, state);
        });
        if (!m_certificate.isNull()) {
            socket->setLocalCertificate(m_certificate);
            socket->setPrivateKey(m_key);
            socket->setPeerVerifyMode(QSslSocket::VerifyNone);
            socket->startServerEncryption();
        }
    }

private:
    Outgoing answer(const QByteArray &head, ConnectionState &state)
    {
        const QList<QByteArray> lines = head.split('\n');
        TestRequest request;
        request.connection = state.id;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.path = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        m_owner->logRequest(request);

        TestResponse response = m_owner->responseFor(request.path);
        Outgoing out;
        out.fault = response.fault;
        out.delayMs = response.delayMs;
        out.pieceBytes = response.pieceBytes;
        out.pauseMs = response.pauseMs;
        if (response.fault == TestResponse::Fault::StallBeforeHeaders)
            return out;

        QByteArray body = response.body;
        QByteArray extraHeaders;
        for (const auto &header : qAsConst(response.headers))
            extraHeaders += header.first + ": " + header.second + "\r\n";
        const QByteArray range = request.headers.value("range");
        if (response.ranges && range.startsWith("bytes=") && !range.endsWith('-')
            && (response.multipleRanges || !range.contains(','))) {
            // Closed ranges, as a delta update asks: one part, or several
            // as multipart/byteranges.
            const QByteArray total = QByteArray::number(body.size());
            const QList<QByteArray> asked = range.mid(6).split(',');
            QByteArray parts;
            QByteArray single;
            for (const QByteArray &one : asked) {
                const int dash = one.indexOf('-');
                const qint64 from = one.left(dash).trimmed().toLongLong();
                const qint64 to = qMin<qint64>(one.mid(dash + 1).trimmed().toLongLong(), body.size() - 1);
                const QByteArray contentRange = "bytes " + QByteArray::number(from) + '-' + QByteArray::number(to) + '/' + total;
                single = contentRange;
                parts += "\r\n--TESTBOUNDARY\r\nContent-Type: " + response.contentType + "\r\nContent-Range: "
                        + contentRange + "\r\n\r\n" + body.mid(int(from), int(to - from + 1));
            }
            response.status = 206;
            if (asked.size() == 1) {
                extraHeaders += "Content-Range: " + single + "\r\n";
                body = parts.mid(parts.indexOf("\r\n\r\n") + 4);
            } else {
                response.contentType = "multipart/byteranges; boundary=TESTBOUNDARY";
                body = parts + "\r\n--TESTBOUNDARY--\r\n";
            }
        } else if (response.ranges && range.startsWith("bytes=") && range.endsWith('-')) {
            QByteArray etag;
            for (const auto &header : qAsConst(response.headers)) {
                if (header.first.toLower() == "etag")
                    etag = header.second;
            }
            const QByteArray ifRange = request.headers.value("if-range");
            const qint64 from = range.mid(6, range.size() - 7).toLongLong();
            if (ifRange.isEmpty() || ifRange == etag) {
                const QByteArray total = QByteArray::number(body.size());
                if (from >= body.size()) {
                    response.status = 416;
                    extraHeaders += "Content-Range: bytes */" + total + "\r\n";
                    body.clear();
                } else {
                    response.status = 206;
                    extraHeaders += "Content-Range: bytes " + QByteArray::number(from) + '-'
                            + QByteArray::number(body.size() - 1) + '/' + total + "\r\n";
                    body = body.mid(int(from));
                }
            }
        }
        if (response.gzipWhenAccepted
            && request.headers.value("accept-encoding").contains("gzip")) {
            body = gzipCompress(body);
            extraHeaders += "Content-Encoding: gzip\r\n";
        }
        if (response.chunked) {
            // Pieces of 1000 bytes, each with an extension, then a trailer.
            QByteArray chunks;
            for (int at = 0; at < body.size(); at += 1000) {
                const QByteArray piece = body.mid(at, 1000);
                chunks += QByteArray::number(piece.size(), 16) + ";piece=\"" + QByteArray::number(at) + "\"\r\n" + piece + "\r\n";
            }
            body = chunks + "0\r\nX-Checked: yes\r\n\r\n";
        }
        QMutexLocker lock(&m_owner->m_mutex);
        out.closeAfter = m_owner->m_answersPerConnection > 0 && ++state.answers == m_owner->m_answersPerConnection;
        out.head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
                + reasonPhrase(response.status) + "\r\n";
        out.head += "Content-Type: " + response.contentType + "\r\n";
        if (response.fault == TestResponse::Fault::StreamWithoutLength || (out.closeAfter && m_owner->m_announceClose))
            out.head += "Connection: close\r\n";
        if (response.chunked)
            out.head += "Transfer-Encoding: chunked\r\n";
        else if (response.fault != TestResponse::Fault::StreamWithoutLength)
            out.head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        out.head += extraHeaders + "\r\n";
        out.body = body;
        out.cutAt = response.cutAfter >= 0 ? response.cutAfter : body.size() / 2;
        return out;
    }

    // Sends the answers in order, until one holds the rest back.
    void pump(QSslSocket *socket, const std::shared_ptr<ConnectionState> &state)
    {
        while (!state->waiting && !state->over && !state->queue.empty()) {
            Outgoing &next = state->queue.front();
            if (next.delayMs > 0) {
                state->waiting = true;
                QTimer::singleShot(std::exchange(next.delayMs, 0), socket, [this, socket, state] {
                    state->waiting = false;
                    pump(socket, state);
                });
                return;
            }
            const Outgoing out = std::move(next);
            state->queue.pop_front();
            if (out.paced()) {
                // The answers behind it wait until its last piece is out.
                state->waiting = true;
                sendPaced(socket, out, [this, socket, state, closeAfter = out.closeAfter] {
                    state->waiting = false;
                    if (closeAfter) {
                        state->over = true;
                        socket->disconnectFromHost();
                    }
                    pump(socket, state);
                });
                state->over = out.fault != TestResponse::Fault::None;
                return;
            }
            send(socket, out);
            state->over = out.fault != TestResponse::Fault::None || out.closeAfter;
            if (out.closeAfter && out.fault == TestResponse::Fault::None)
                socket->disconnectFromHost();
        }
    }

    // The body a piece at a time (16 bytes every 50 ms for a trickle), a cut
    // after the last piece of a cut one; `done` once all is out.
    static void sendPaced(QSslSocket *socket, const Outgoing &out, const std::function<void()> &done)
    {
        const bool trickle = out.fault == TestResponse::Fault::Trickle;
        const bool cut = out.fault == TestResponse::Fault::CutMidBody;
        const QByteArray sent = cut ? out.body.left(int(out.cutAt)) : out.body;
        const int piece = int(trickle ? 16 : qMax<qint64>(1, out.pieceBytes));
        auto *timer = new QTimer(socket);
        auto at = std::make_shared<int>(0);
        const auto next = [socket, sent, piece, timer, at, cut, done] {
            if (*at >= sent.size()) {
                timer->stop();
                timer->deleteLater();
                if (cut)
                    socket->disconnectFromHost();
                else
                    done();
                return;
            }
            socket->write(sent.mid(*at, piece));
            *at += piece;
        };
        QObject::connect(timer, &QTimer::timeout, socket, next);
        socket->write(out.head);
        next();
        timer->start(trickle ? 50 : out.pauseMs);
    }

    static void send(QSslSocket *socket, const Outgoing &out)
    {
        const QByteArray &body = out.body;
        const qint64 cutAt = out.cutAt;
        switch (out.fault) {
        case TestResponse::Fault::StallBeforeHeaders:
            break;
        case TestResponse::Fault::CutMidBody:
            socket->write(out.head + body.left(int(cutAt)));
            socket->flush();
            QTimer::singleShot(50, socket, [socket] { socket->disconnectFromHost(); });
            break;
        case TestResponse::Fault::StallMidBody:
            socket->write(out.head + body.left(body.size() / 2));
            break;
        case TestResponse::Fault::StreamWithoutLength: {
            // A megabyte queued at a time, so the test never holds it all.
            socket->write(out.head);
            auto sent = std::make_shared<qint64>(0);
            auto more = [socket, body, cutAt, sent] {
                while (!body.isEmpty() && *sent < cutAt && socket->bytesToWrite() < (1 << 20)) {
                    const QByteArray chunk = body.left(int(qMin<qint64>(body.size(), cutAt - *sent)));
                    socket->write(chunk);
                    *sent += chunk.size();
                }
                if (*sent >= cutAt || body.isEmpty())
                    socket->disconnectFromHost();
            };
            QObject::connect(socket, &QIODevice::bytesWritten, socket, more);
            more();
            break;
        }
        case TestResponse::Fault::Trickle: // paced: never here
        case TestResponse::Fault::None:
            socket->write(out.head + body);
        }
    }

    TestServer *m_owner;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

TestServer::TestServer() : TestServer(QSslCertificate(), QSslKey()) { }

TestServer::TestServer(const QSslCertificate &certificate, const QSslKey &key)
    : m_tls(!certificate.isNull())
{
    m_worker = new TestServerWorker(this, certificate, key);
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(
            m_worker, [this] {
                m_worker->listen(QHostAddress::LocalHost, 0);
                m_port = m_worker->serverPort();
            },
            Qt::BlockingQueuedConnection);
}

TestServer::~TestServer()
{
    m_thread.quit();
    m_thread.wait();
}

void TestServer::setResponse(const QByteArray &path, const TestResponse &response)
{
    setResponses(path, { response });
}

void TestServer::setResponses(const QByteArray &path, const QList<TestResponse> &answers)
{
    QMutexLocker lock(&m_mutex);
    m_responses.insert(path, answers);
}

void TestServer::closeConnectionsAfter(int answers, bool announced)
{
    QMutexLocker lock(&m_mutex);
    m_answersPerConnection = answers;
    m_announceClose = announced;
}

void TestServer::setBody(const QByteArray &path, const QByteArray &body, int status)
{
    TestResponse response;
    response.body = body;
    response.status = status;
    setResponse(path, response);
}

QString TestServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
            .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(m_port);
}

QList<TestRequest> TestServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int TestServer::requestCount(const QByteArray &path) const
{
    QMutexLocker lock(&m_mutex);
    int count = 0;
    for (const TestRequest &request : m_requests)
        count += request.path == path;
    return count;
}

int TestServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

TestResponse TestServer::responseFor(const QByteArray &path)
{
    QMutexLocker lock(&m_mutex);
    auto found = m_responses.find(path);
    if (found == m_responses.end() || found->isEmpty()) {
        TestResponse missing;
        missing.status = 404;
        missing.body = "not found";
        return missing;
    }
    return found->size() > 1 ? found->takeFirst() : found->first();
}

int TestServer::registerConnection()
{
    QMutexLocker lock(&m_mutex);
    return ++m_connections;
}

void TestServer::logRequest(const TestRequest &request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
}

static QByteArray readTestData(const char *name)
{
    QFile file(QStringLiteral(ZANROK_TEST_DATA_DIR "/") + QString::fromLatin1(name));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QSslCertificate TestServer::selfSignedCertificate()
{
    return QSslCertificate(readTestData("selfsigned.pem"), QSsl::Pem);
}

QSslKey TestServer::selfSignedKey()
{
    return QSslKey(readTestData("selfsigned.key"), QSsl::Rsa, QSsl::Pem);
}
