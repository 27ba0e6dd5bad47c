// What a host sends for a delta update: the sidecar and a ranges answer.
// A sidecar that is taken has exactly one checksum set per block, no more
// blocks than the index may hold, and can be indexed; a ranges answer only
// ever places data inside the file, in the parts it announced.
#include "fuzzcheck.h"
#include "delta/blockmatch.h"
#include "transfer/byteranges.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray body(reinterpret_cast<const char *>(data + 2), int(size - 2));
    if (data[0] & 1) {
        const std::optional<Sidecar> sidecar = parseSidecar(body);
        if (!sidecar)
            return 0;
        FUZZ_CHECK(sidecar->blockSize > 0 && sidecar->blockSize <= maxSidecarBlockSize && sidecar->length >= 0);
        FUZZ_CHECK(sidecar->blockCount() <= maxSidecarBlocks);
        FUZZ_CHECK(sidecar->sums.size() == sidecar->blockCount() * sidecar->stride());
        FUZZ_CHECK(sidecar->sha1.size() == 20);
        const BlockMatcher matcher(*sidecar);
        return 0;
    }
    // The second byte sets how the body arrives in pieces; the content type
    // and Content-Range come first in the body, a line each.
    const qint64 fileLength = 1000;
    const int chunk = 1 + data[1] % 64;
    const int firstLine = body.indexOf('\n');
    const int secondLine = body.indexOf('\n', firstLine + 1);
    if (firstLine < 0 || secondLine < 0)
        return 0;
    auto reader = ByteRangesReader::forAnswer(body.left(firstLine), body.mid(firstLine + 1, secondLine - firstLine - 1),
                                              fileLength);
    if (!reader)
        return 0;
    const QByteArray rest = body.mid(secondLine + 1);
    for (int at = 0; at < rest.size(); at += chunk) {
        const bool ok = reader->feed(rest.constData() + at, qMin(chunk, rest.size() - at),
                                     [&](qint64 offset, const char *piece, qint64 pieceSize) {
                                         FUZZ_CHECK(piece && pieceSize > 0);
                                         FUZZ_CHECK(offset >= 0 && offset + pieceSize <= fileLength);
                                         return true;
                                     });
        if (!ok)
            break;
    }
    return 0;
}
