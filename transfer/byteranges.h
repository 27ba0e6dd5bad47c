#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <vector>

// Bytes [start, end) of a file.
struct ByteRange
{
    qint64 start = 0;
    qint64 end = 0;
    qint64 size() const { return end - start; }
    bool operator==(const ByteRange &other) const { return start == other.start && end == other.end; }
};

// "bytes=0-99,200-299" for ranges in ascending order.
QByteArray rangeHeader(const std::vector<ByteRange> &ranges);

// Takes `piece` out of `ranges` (ascending, disjoint).
void subtractRange(std::vector<ByteRange> &ranges, ByteRange piece);

// The body of a 206 answer, read as it streams in: either one range (a
// Content-Range header) or several (multipart/byteranges, each part with
// its own Content-Range). Each part is taken by its stated length, so the
// boundary is never searched for inside the data.
class ByteRangesReader
{
public:
    // `piece` gets each bit of data with the file offset it belongs at; it
    // returns false to stop reading.
    using PieceHandler = std::function<bool(qint64 offset, const char *data, qint64 size)>;

    // Nothing when the headers describe no usable ranges of a file of
    // `fileLength` bytes.
    static std::optional<ByteRangesReader> forAnswer(const QByteArray &contentType,
                                                     const QByteArray &contentRange,
                                                     qint64 fileLength);

    // False when the body is malformed or `piece` said stop.
    bool feed(const char *data, qint64 size, const PieceHandler &piece);
    // Every part was read whole.
    bool complete() const;

private:
    enum class State { Boundary, Headers, Data, Done };

    bool takePartHeaders(const QByteArray &headers);

    qint64 m_fileLength = 0;
    QByteArray m_boundary; // empty for a single range
    State m_state = State::Data;
    QByteArray m_pending; // boundary or header text not yet complete
    qint64 m_offset = 0;  // where the next data byte goes
    qint64 m_left = 0;    // data bytes left in this part
};

// A Content-Range value "bytes N-M/T" as a range with its total (-1 for
// "*"), if well formed.
std::optional<std::pair<ByteRange, qint64>> parseContentRange(const QByteArray &value);
