// What a file host sends back on a connection: a run of HTTP/1.x answers,
// read as they arrive. Every step moves on, never reads past what it was
// given, hands over no more body than Content-Length says and all of it by
// the answer's end, and what is read does not depend on how the bytes were
// split into reads.
#include "fuzzcheck.h"
#include "transfer/httpresponseparser.h"

#include <cstddef>
#include <cstdint>

namespace {

// Each answer's status, body and whether the connection stays; then how
// the input ended.
QByteArray answersIn(const QByteArray &input, int chunk)
{
    HttpResponseParser parser;
    QByteArray trace;
    QByteArray pending;
    int fed = 0;
    qint64 bodyBytes = 0;
    for (int steps = 0;; ++steps) {
        FUZZ_CHECK(steps <= 3 * input.size() + 16);
        const HttpResponseParser::Step step = parser.parse(pending.constData(), pending.size());
        FUZZ_CHECK(step.consumed >= 0 && step.consumed <= pending.size());
        if (step.event == HttpResponseParser::Event::Body) {
            FUZZ_CHECK(step.bodySize > 0 && step.body >= pending.constData()
                       && step.body + step.bodySize <= pending.constData() + step.consumed);
        }
        const QByteArray piece(step.body, int(step.bodySize));
        pending.remove(0, int(step.consumed));
        switch (step.event) {
        case HttpResponseParser::Event::Head:
            FUZZ_CHECK(parser.head().status >= 200 && parser.head().status <= 999);
            trace += "<" + QByteArray::number(parser.head().status) + ">";
            bodyBytes = 0;
            break;
        case HttpResponseParser::Event::Body:
            trace += piece;
            bodyBytes += piece.size();
            FUZZ_CHECK(parser.contentLength() < 0 || bodyBytes <= parser.contentLength());
            break;
        case HttpResponseParser::Event::Done:
            FUZZ_CHECK(parser.contentLength() < 0 || bodyBytes == parser.contentLength());
            trace += parser.keepAlive() ? "<keep>" : "<close>";
            parser.startNext();
            break;
        case HttpResponseParser::Event::Malformed:
            return trace + "<malformed>";
        case HttpResponseParser::Event::NeedMore:
            if (fed == input.size()) {
                if (parser.closed())
                    break;
                return trace + (parser.betweenAnswers() ? "<end>" : "<cut>");
            }
            pending += input.mid(fed, chunk);
            fed = qMin(input.size(), fed + chunk);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte sets the size of the reads.
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int chunk = 1 + data[0] % 64;
    FUZZ_CHECK(answersIn(input, chunk) == answersIn(input, qMax(1, input.size())));
    return 0;
}
