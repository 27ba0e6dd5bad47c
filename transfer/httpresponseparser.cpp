#include "transfer/httpresponseparser.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 maxLength = Q_INT64_C(1) << 60;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isTokenChar(char c)
{
    return c > 0x20 && c < 0x7f && !std::strchr("\"(),/:;<=>?@[\\]{}", c);
}

// Where a block of lines ending in an empty line ends (just past it), or -1
// when that is not in `data` yet; `scanned` keeps how far the search got.
qsizetype blockEnd(const char *data, qsizetype size, qsizetype &scanned)
{
    if (size >= 1 && data[0] == '\n')
        return 1;
    if (size >= 2 && data[0] == '\r' && data[1] == '\n')
        return 2;
    qsizetype from = scanned;
    while (from < size) {
        const auto *newline = static_cast<const char *>(std::memchr(data + from, '\n', std::size_t(size - from)));
        if (!newline)
            break;
        const qsizetype at = newline - data;
        if (at + 1 < size && data[at + 1] == '\n')
            return at + 2;
        if (at + 2 < size && data[at + 1] == '\r' && data[at + 2] == '\n')
            return at + 3;
        if (at + 1 >= size || (data[at + 1] == '\r' && at + 2 >= size)) {
            // The next line's start is not all here yet: look again from this line end.
            scanned = at;
            return -1;
        }
        from = at + 1;
    }
    scanned = size;
    return -1;
}

QByteArray lineAt(const char *data, qsizetype from, qsizetype to)
{
    if (to > from && data[to - 1] == '\r')
        --to;
    return QByteArray(data + from, int(to - from));
}

bool hasToken(const QByteArray &list, const char *token)
{
    for (const QByteArray &item : list.split(',')) {
        if (item.trimmed().toLower() == token)
            return true;
    }
    return false;
}

} // namespace

QByteArray HttpResponseHead::value(const char *name) const
{
    QByteArray joined;
    for (const auto &header : headers) {
        if (qstricmp(header.first.constData(), name) != 0)
            continue;
        if (!joined.isEmpty())
            joined += ", ";
        joined += header.second;
    }
    return joined;
}

bool HttpResponseHead::has(const char *name) const
{
    for (const auto &header : headers) {
        if (qstricmp(header.first.constData(), name) == 0)
            return true;
    }
    return false;
}

HttpResponseParser::Step HttpResponseParser::malformed(const char *why)
{
    m_state = State::Malformed;
    m_fault = why;
    return { Event::Malformed };
}

HttpResponseParser::Step HttpResponseParser::parse(const char *data, qsizetype size)
{
    // Steps that read framing only (a chunk line, its line end, an interim
    // answer) go straight on to the next.
    qsizetype used = 0;
    for (;;) {
        const char *at = data + used;
        const qsizetype left = size - used;
        Step step;
        switch (m_state) {
        case State::Head:
            step = readHead(at, left);
            break;
        case State::Length:
        case State::ChunkData:
        case State::ToClose: {
            if (left == 0)
                return { Event::NeedMore, used };
            const qsizetype piece = m_state == State::ToClose ? left : qsizetype(qMin<qint64>(left, m_left));
            if (m_state != State::ToClose) {
                m_left -= piece;
                if (m_left == 0)
                    m_state = m_state == State::Length ? State::Done : State::ChunkEnd;
            }
            return { Event::Body, used + piece, at, piece };
        }
        case State::ChunkLine:
            step = readChunkLine(at, left);
            break;
        case State::ChunkEnd:
            if (left >= 1 && at[0] == '\n')
                step = { Event::NeedMore, 1 };
            else if (left >= 2 && at[0] == '\r' && at[1] == '\n')
                step = { Event::NeedMore, 2 };
            else if (left == 0 || (left == 1 && at[0] == '\r'))
                return { Event::NeedMore, used };
            else
                return malformed("no line end after a chunk");
            m_state = State::ChunkLine;
            break;
        case State::Trailers:
            step = readTrailers(at, left);
            break;
        case State::Done:
            return { Event::Done, used };
        case State::Malformed:
            return { Event::Malformed, used };
        }
        used += step.consumed;
        if (step.event != Event::NeedMore || step.consumed == 0) {
            step.consumed = used;
            return step;
        }
    }
}

HttpResponseParser::Step HttpResponseParser::readHead(const char *data, qsizetype size)
{
    // Blank lines before an answer are passed over, as browsers do.
    qsizetype skipped = 0;
    if (m_scanned == 0) {
        while (skipped < size && (data[skipped] == '\r' || data[skipped] == '\n'))
            ++skipped;
        if (skipped > 0)
            return { Event::NeedMore, skipped };
    }
    const qsizetype end = blockEnd(data, size, m_scanned);
    if (end < 0) {
        if (m_scanned > maxHeadSize)
            return malformed("a head longer than 64 KiB");
        return { Event::NeedMore, 0 };
    }
    if (end > maxHeadSize)
        return malformed("a head longer than 64 KiB");
    m_scanned = 0;
    if (!takeHead(data, end))
        return { Event::Malformed };
    if (m_head.status < 200) {
        if (m_head.status == 101)
            return malformed("a protocol switch nobody asked for");
        // An interim answer: the real one follows.
        m_head = HttpResponseHead();
        return { Event::NeedMore, end };
    }
    if (!frameBody())
        return { Event::Malformed };
    return { Event::Head, end };
}

bool HttpResponseParser::takeHead(const char *data, qsizetype size)
{
    m_head = HttpResponseHead();
    const auto *firstEnd = static_cast<const char *>(std::memchr(data, '\n', std::size_t(size)));
    const QByteArray status = lineAt(data, 0, firstEnd - data);
    // "HTTP/1.1 200 OK", the reason possibly empty or left out.
    if (status.size() < 12 || !status.startsWith("HTTP/1.") || !isDigit(status[7]) || status[8] != ' '
        || !isDigit(status[9]) || !isDigit(status[10]) || !isDigit(status[11])
        || (status.size() > 12 && status[12] != ' ')) {
        malformed("not an HTTP/1.x status line");
        return false;
    }
    m_head.minorVersion = status[7] - '0';
    m_head.status = status.mid(9, 3).toInt();
    if (m_head.status < 100) {
        malformed("a status below 100");
        return false;
    }
    m_head.reason = status.mid(13);
    for (qsizetype from = firstEnd - data + 1; from < size;) {
        const auto *lineEnd = static_cast<const char *>(std::memchr(data + from, '\n', std::size_t(size - from)));
        const qsizetype to = lineEnd - data;
        const QByteArray line = lineAt(data, from, to);
        from = to + 1;
        if (line.isEmpty())
            break;
        const int colon = line.indexOf(':');
        if (colon <= 0 || !std::all_of(line.constData(), line.constData() + colon, isTokenChar)) {
            // Folded lines and names with blanks are refused, as the standard allows.
            malformed("a header line that is not a name and a value");
            return false;
        }
        m_head.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
    }
    return true;
}

bool HttpResponseParser::frameBody()
{
    const QByteArray connection = m_head.value("Connection");
    m_keepAlive = m_head.minorVersion >= 1 ? !hasToken(connection, "close")
                                           : hasToken(connection, "keep-alive") && !hasToken(connection, "close");
    m_contentLength = -1;
    if (m_head.status == 204 || m_head.status == 304) {
        m_state = State::Done;
        return true;
    }
    if (m_head.has("Transfer-Encoding")) {
        const QByteArray codings = m_head.value("Transfer-Encoding").trimmed().toLower();
        if (codings != "chunked") {
            malformed("a transfer coding other than chunked");
            return false;
        }
        // Both framings at once: the chunks count, and nothing after this
        // answer is trusted on the connection.
        if (m_head.has("Content-Length"))
            m_keepAlive = false;
        m_state = State::ChunkLine;
        return true;
    }
    if (m_head.has("Content-Length")) {
        qint64 length = -1;
        for (const QByteArray &item : m_head.value("Content-Length").split(',')) {
            const QByteArray digits = item.trimmed();
            if (digits.isEmpty() || digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), isDigit)) {
                malformed("a Content-Length that is not a number");
                return false;
            }
            const qint64 value = digits.toLongLong();
            if (value > maxLength || (length >= 0 && value != length)) {
                malformed("Content-Length too large, or given twice apart");
                return false;
            }
            length = value;
        }
        m_contentLength = length;
        m_left = length;
        m_state = length > 0 ? State::Length : State::Done;
        return true;
    }
    m_state = State::ToClose;
    m_keepAlive = false;
    return true;
}

HttpResponseParser::Step HttpResponseParser::readChunkLine(const char *data, qsizetype size)
{
    const qsizetype window = qMin<qsizetype>(size, maxChunkLine);
    const auto *newline = static_cast<const char *>(std::memchr(data, '\n', std::size_t(window)));
    if (!newline)
        return size >= maxChunkLine ? malformed("a chunk line longer than 4 KiB") : Step { Event::NeedMore, 0 };
    const qsizetype end = newline - data;
    qint64 chunk = 0;
    qsizetype at = 0;
    for (; at < end && hexValue(data[at]) >= 0; ++at) {
        if (at >= 15)
            return malformed("a chunk larger than 2^60 bytes");
        chunk = chunk * 16 + hexValue(data[at]);
    }
    if (at == 0)
        return malformed("a chunk line without a size");
    while (at < end && (data[at] == ' ' || data[at] == '\t'))
        ++at;
    // Extensions (";name=value") are allowed and mean nothing here.
    if (at < end && data[at] != ';' && !(data[at] == '\r' && at + 1 == end))
        return malformed("a chunk size followed by something else");
    m_left = chunk;
    m_state = chunk > 0 ? State::ChunkData : State::Trailers;
    return { Event::NeedMore, end + 1 };
}

HttpResponseParser::Step HttpResponseParser::readTrailers(const char *data, qsizetype size)
{
    const qsizetype end = blockEnd(data, size, m_scanned);
    if (end < 0) {
        if (m_scanned > maxHeadSize)
            return malformed("trailers longer than 64 KiB");
        return { Event::NeedMore, 0 };
    }
    m_scanned = 0;
    m_state = State::Done;
    return { Event::NeedMore, end };
}

bool HttpResponseParser::closed()
{
    if (m_state != State::ToClose)
        return false;
    m_state = State::Done;
    return true;
}

void HttpResponseParser::startNext()
{
    if (m_state != State::Done)
        return;
    m_state = State::Head;
    m_head = HttpResponseHead();
    m_scanned = 0;
    m_contentLength = -1;
    m_left = 0;
    m_keepAlive = true;
}
