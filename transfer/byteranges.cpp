#include "transfer/byteranges.h"

#include <QList>

#include <algorithm>
#include <limits>

namespace {

// Boundary lines and part headers are short; anything longer is not a
// multipart body.
constexpr int maxPendingText = 16 * 1024;

} // namespace

QByteArray rangeHeader(const std::vector<ByteRange> &ranges)
{
    QByteArray header = "bytes=";
    for (const ByteRange &range : ranges) {
        if (header.size() > 6)
            header += ',';
        header += QByteArray::number(range.start) + '-' + QByteArray::number(range.end - 1);
    }
    return header;
}

void subtractRange(std::vector<ByteRange> &ranges, ByteRange piece)
{
    std::vector<ByteRange> left;
    left.reserve(ranges.size() + 1);
    for (const ByteRange &range : ranges) {
        if (piece.end <= range.start || piece.start >= range.end) {
            left.push_back(range);
            continue;
        }
        if (range.start < piece.start)
            left.push_back({ range.start, piece.start });
        if (piece.end < range.end)
            left.push_back({ piece.end, range.end });
    }
    ranges.swap(left);
}

std::optional<std::pair<ByteRange, qint64>> parseContentRange(const QByteArray &value)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    const int dash = text.indexOf('-');
    const int slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return std::nullopt;
    bool a = false, b = false, c = false;
    const qint64 first = text.mid(6, dash - 6).trimmed().toLongLong(&a);
    const qint64 last = text.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&b);
    // "*": the sender does not know the whole length.
    const QByteArray totalText = text.mid(slash + 1).trimmed();
    const qint64 total = totalText == "*" ? -1 : totalText.toLongLong(&c);
    c = c || total == -1;
    // The range's end, one past its last byte, must be an offset too.
    if (!a || !b || !c || first < 0 || last < first || last == std::numeric_limits<qint64>::max()
        || (total >= 0 && last >= total))
        return std::nullopt;
    return std::make_pair(ByteRange { first, last + 1 }, total);
}

std::optional<ByteRangesReader> ByteRangesReader::forAnswer(const QByteArray &contentType,
                                                            const QByteArray &contentRange,
                                                            qint64 fileLength)
{
    ByteRangesReader reader;
    reader.m_fileLength = fileLength;
    const QByteArray type = contentType.trimmed();
    if (type.toLower().startsWith("multipart/byteranges")) {
        const int at = type.toLower().indexOf("boundary=");
        if (at < 0)
            return std::nullopt;
        QByteArray boundary = type.mid(at + 9);
        const int semicolon = boundary.indexOf(';');
        if (semicolon >= 0)
            boundary.truncate(semicolon);
        boundary = boundary.trimmed();
        if (boundary.size() >= 2 && boundary.startsWith('"') && boundary.endsWith('"'))
            boundary = boundary.mid(1, boundary.size() - 2);
        if (boundary.isEmpty() || boundary.size() > 200)
            return std::nullopt;
        reader.m_boundary = "--" + boundary;
        reader.m_state = State::Boundary;
        return reader;
    }
    const auto range = parseContentRange(contentRange);
    if (!range || range->second != fileLength)
        return std::nullopt;
    reader.m_offset = range->first.start;
    reader.m_left = range->first.size();
    return reader;
}

bool ByteRangesReader::feed(const char *data, qint64 size, const PieceHandler &piece)
{
    while (size > 0) {
        switch (m_state) {
        case State::Data: {
            const qint64 take = qMin(size, m_left);
            if (take > 0 && !piece(m_offset, data, take))
                return false;
            m_offset += take;
            m_left -= take;
            data += take;
            size -= take;
            if (m_left == 0)
                m_state = m_boundary.isEmpty() ? State::Done : State::Boundary;
            break;
        }
        case State::Boundary:
        case State::Headers: {
            // Text is gathered a byte run at a time up to the line that ends it.
            const QByteArray terminator = m_state == State::Boundary ? QByteArray("\n") : QByteArray("\r\n\r\n");
            const int before = m_pending.size();
            m_pending.append(data, int(qMin<qint64>(size, maxPendingText)));
            int end = m_pending.indexOf(terminator, qMax(0, before - terminator.size() + 1));
            if (m_state == State::Boundary && end >= 0) {
                // Blank lines (the CRLF ending the last part) come before the boundary.
                const QByteArray line = m_pending.left(end).trimmed();
                if (line.isEmpty()) {
                    const qint64 used = end + 1 - before;
                    data += used;
                    size -= used;
                    m_pending.clear();
                    break;
                }
                if (line == m_boundary + "--") {
                    m_state = State::Done;
                    return true;
                }
                if (line != m_boundary)
                    return false;
                const qint64 used = end + 1 - before;
                data += used;
                size -= used;
                m_pending.clear();
                m_state = State::Headers;
                break;
            }
            if (m_state == State::Headers && end >= 0) {
                const qint64 used = end + 4 - before;
                if (!takePartHeaders(m_pending.left(end)))
                    return false;
                data += used;
                size -= used;
                m_pending.clear();
                m_state = m_left > 0 ? State::Data : State::Boundary;
                break;
            }
            if (m_pending.size() >= maxPendingText)
                return false;
            const qint64 used = m_pending.size() - before;
            data += used;
            size -= used;
            break;
        }
        case State::Done:
            // What follows the closing boundary is an epilogue, ignored.
            return true;
        }
    }
    return true;
}

bool ByteRangesReader::takePartHeaders(const QByteArray &headers)
{
    for (const QByteArray &line : headers.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "content-range")
            continue;
        const auto range = parseContentRange(line.mid(colon + 1));
        if (!range || range->second != m_fileLength)
            return false;
        m_offset = range->first.start;
        m_left = range->first.size();
        return true;
    }
    return false;
}

bool ByteRangesReader::complete() const
{
    return m_state == State::Done;
}
