#include "delta/blockmatch.h"

#include "delta/faultpoint.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr qint64 scanChunk = 4 * 1024 * 1024;
constexpr qint64 copyChunk = 1024 * 1024;
constexpr int stopCheckEvery = 1 << 20; // bytes slid past between looks at the stop flag

struct Md4
{
    qint64 at = -1;
    uchar digest[16];
};

} // namespace

RollingSum RollingSum::of(const uchar *data, qint64 size)
{
    RollingSum sum;
    quint32 a = 0;
    quint32 b = 0;
    // 32-bit arithmetic throughout, which the compiler can vectorise.
    const quint32 length = quint32(size);
    for (quint32 i = 0; i < length; ++i) {
        a += data[i];
        b += (length - i) * data[i];
    }
    sum.a = quint16(a);
    sum.b = quint16(b);
    return sum;
}

bool readPadded(QFile &file, qint64 fileSize, qint64 offset, char *data, qint64 size)
{
    qint64 done = 0;
    if (offset < fileSize) {
        const qint64 want = qMin(size, fileSize - offset);
        if (!file.seek(offset))
            return false;
        while (done < want) {
            const qint64 got = file.read(data + done, want - done);
            if (got <= 0)
                return false;
            done += got;
        }
    }
    std::memset(data + done, 0, size_t(size - done));
    return true;
}

BlockMatcher::BlockMatcher(const Sidecar &sidecar, const std::atomic<bool> *stop) : m_sidecar(sidecar)
{
    failIfChosen(DeltaStep::BuildIndex);
    const qint64 blocks = sidecar.blockCount();
    // With two blocks to a match, the last block starts no pair of its own.
    const qint64 entries = sidecar.seqMatches == 2 ? qMax<qint64>(0, blocks - 1) : blocks;
    std::vector<quint64> keys(static_cast<size_t>(entries));
    for (qint64 i = 0; i < entries; ++i)
        keys[size_t(i)] = keyOf(sidecar.rsum(i), sidecar.seqMatches == 2 ? sidecar.rsum(i + 1) : 0);
    std::vector<quint32> order(static_cast<size_t>(entries));
    for (qint64 i = 0; i < entries; ++i)
        order[size_t(i)] = quint32(i);
    const int strongBytes = sidecar.checksumBytes;
    auto strongCompare = [&](quint32 x, quint32 y) {
        int c = std::memcmp(sidecar.checksum(x), sidecar.checksum(y), size_t(strongBytes));
        if (c == 0 && sidecar.seqMatches == 2)
            c = std::memcmp(sidecar.checksum(x + 1), sidecar.checksum(y + 1), size_t(strongBytes));
        return c;
    };
    // The sort is the long step: it looks at the stop now and then.
    struct Stopped { };
    quint32 compared = 0;
    try {
        std::sort(order.begin(), order.end(), [&](quint32 x, quint32 y) {
            if (++compared % 65536 == 0 && stop && stop->load(std::memory_order_relaxed))
                throw Stopped();
            if (keys[x] != keys[y])
                return keys[x] < keys[y];
            const int c = strongCompare(x, y);
            return c != 0 ? c < 0 : x < y;
        });
    } catch (const Stopped &) {
        return;
    }
    m_blocks = order;
    for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && keys[order[i]] == keys[order[i - 1]] && strongCompare(order[i], order[i - 1]) == 0) {
            ++m_groups.back().count;
            continue;
        }
        m_groups.push_back({ keys[order[i]], quint32(i), 1 });
    }
    m_groupOf.assign(size_t(entries), 0);
    for (size_t g = 0; g < m_groups.size(); ++g) {
        for (quint32 i = 0; i < m_groups[g].count; ++i)
            m_groupOf[m_blocks[m_groups[g].first + i]] = quint32(g);
    }

    int bits = 12;
    while (bits < 27 && (qint64(1) << bits) < qint64(m_groups.size()) * 64)
        ++bits;
    m_filterShift = 64 - bits;
    m_filter.assign(size_t(1) << (bits - 6), 0);
    for (const Group &group : m_groups) {
        const quint64 slot = (group.key * 0x9E3779B97F4A7C15ull) >> m_filterShift;
        m_filter[slot >> 6] |= quint64(1) << (slot & 63);
    }
    m_complete = true;
}


// One thread's share of the old file: window starts in [from, to).
class BlockMatcher::Part
{
public:
    Part(const BlockMatcher &matcher, std::vector<qint64> &found, const std::atomic<bool> &stop,
         ScanCounts &counts, qint64 failedBudget)
        : m(matcher), s(matcher.m_sidecar), found(found), stop(stop), counts(counts), failedBudget(failedBudget)
    {
        marked.assign(m.m_groups.size(), false);
    }

    bool run(const QString &path, qint64 fileSize, qint64 from, qint64 to)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const qint64 span = s.seqMatches * s.blockSize + 1; // the windows and the byte that slides in
        failIfChosen(DeltaStep::ScanOldCopy);
        std::vector<uchar> buffer(size_t(scanChunk + span));
        qint64 bufferAt = from;
        qint64 bufferEnd = from;
        // Keeps [x, x + ahead + span) in the buffer.
        auto load = [&](qint64 x, qint64 ahead) {
            if (x + ahead + span <= bufferEnd)
                return true;
            const qint64 keep = qMax<qint64>(0, bufferEnd - x);
            if (keep > 0)
                std::memmove(buffer.data(), buffer.data() + (x - bufferAt), size_t(keep));
            bufferAt = x;
            bufferEnd = x + qint64(buffer.size());
            return readPadded(file, fileSize, x + keep, reinterpret_cast<char *>(buffer.data()) + keep,
                              qint64(buffer.size()) - keep);
        };
        auto at = [&](qint64 x) { return buffer.data() + (x - bufferAt); };

        return s.seqMatches == 2 ? slide<true>(from, to, load, at) : slide<false>(from, to, load, at);
    }

private:
    // Slides the window(s) through [from, to): keys for a batch of positions
    // first, then the filter for all of them at once, so that its memory
    // loads overlap; a batch with no candidate costs little more than the
    // rolling itself.
    template<bool Pair, typename Load, typename At>
    bool slide(qint64 from, qint64 to, const Load &load, const At &at)
    {
        constexpr int batch = 64;
        const qint64 bs = s.blockSize;
        const quint32 mask = s.rsumMask();
        quint64 keys[batch];
        qint64 x = from;
        if (!load(x, batch))
            return false;
        RollingSum first = RollingSum::of(at(x), bs);
        RollingSum second = Pair ? RollingSum::of(at(x + bs), bs) : RollingSum();
        qint64 untilStopCheck = stopCheckEvery;
        while (x < to) {
            if (!load(x, batch))
                return false;
            const int n = int(qMin<qint64>(batch, to - x));
            const uchar *window = at(x);
            RollingSum f = first;
            RollingSum g = second;
            for (int i = 0; i < n; ++i) {
                keys[i] = m.keyOf(f.value() & mask, Pair ? g.value() & mask : 0);
                f.roll(window[i], window[i + bs], quint16(bs));
                if (Pair)
                    g.roll(window[i + bs], window[i + 2 * bs], quint16(bs));
            }
            quint64 hits = 0;
            for (int i = 0; i < n; ++i)
                hits |= quint64(m.maybeKey(keys[i])) << i;
            int matchedAt = -1;
            qint64 group = -1;
            while (hits) {
                const int i = qCountTrailingZeroBits(hits);
                hits &= hits - 1;
                const std::optional<qint64> matched = match(keys[i], x + i, at);
                if (!matched)
                    return false;
                group = *matched;
                if (group >= 0) {
                    matchedAt = i;
                    break;
                }
            }
            if (matchedAt < 0) {
                x += n;
                first = f;
                second = g;
                untilStopCheck -= n;
            } else {
                // The matched window(s) are taken whole, and what follows them.
                const std::optional<qint64> end = followRun<Pair>(group, x + matchedAt, to, load, at);
                if (!end)
                    return false;
                untilStopCheck -= *end - x;
                x = *end;
                if (x >= to)
                    break;
                if (!load(x, batch))
                    return false;
                first = RollingSum::of(at(x), bs);
                if (Pair)
                    second = RollingSum::of(at(x + bs), bs);
            }
            if (untilStopCheck <= 0) {
                if (!mayGoOn())
                    return false;
                untilStopCheck = stopCheckEvery;
            }
        }
        return true;
    }

    // The group whose block (pair) sits at x, marked found; or -1. Nothing
    // when the scan is to end.
    template<typename At>
    std::optional<qint64> match(quint64 key, qint64 x, const At &at)
    {
        const auto range = std::equal_range(m.m_groups.begin(), m.m_groups.end(), Group { key, 0, 0 },
                                            [](const Group &a, const Group &b) { return a.key < b.key; });
        const int strong = s.checksumBytes;
        const qint64 hashedBefore = hashed;
        for (auto group = range.first; group != range.second; ++group) {
            const quint32 block = m.m_blocks[group->first];
            const uchar *first = md4(x, at);
            if (!first)
                return std::nullopt;
            if (std::memcmp(first, s.checksum(block), size_t(strong)) != 0)
                continue;
            if (s.seqMatches == 2) {
                const uchar *second = md4(x + s.blockSize, at);
                if (!second)
                    return std::nullopt;
                if (std::memcmp(second, s.checksum(block + 1), size_t(strong)) != 0)
                    continue;
            }
            const qint64 index = group - m.m_groups.begin();
            markGroup(index, x);
            // Groups differ in their checksums: no other one matches here.
            return index;
        }
        const qint64 failed = hashed - hashedBefore;
        if (failed > 0 && counts.failedChecks.fetch_add(failed, std::memory_order_relaxed) + failed > failedBudget) {
            counts.gaveUp = true;
            return std::nullopt;
        }
        return -1;
    }

    void markGroup(qint64 index, qint64 x)
    {
        if (marked[size_t(index)])
            return;
        marked[size_t(index)] = true;
        const Group &group = m.m_groups[size_t(index)];
        for (quint32 i = 0; i < group.count; ++i) {
            const quint32 b = m.m_blocks[group.first + i];
            if (found[b] < 0)
                found[b] = x;
            if (s.seqMatches == 2 && found[b + 1] < 0)
                found[b + 1] = x + s.blockSize;
        }
    }

    // After a match at x, the blocks that follow in the new file are
    // looked for right after it first: in an unchanged stretch each one
    // then costs its MD4 only, no rolling checksums and no lookup. Returns
    // where the run of matches ends.
    template<bool Pair, typename Load, typename At>
    std::optional<qint64> followRun(qint64 group, qint64 x, qint64 to, const Load &load, const At &at)
    {
        const qint64 bs = s.blockSize;
        const qint64 entries = qint64(m.m_groupOf.size());
        qint64 block = m.m_blocks[m.m_groups[size_t(group)].first];
        for (;;) {
            const qint64 next = x + bs;
            // The pair (block + 1, block + 2) at next, whose first half is known to match.
            if (next >= to || block + 1 >= entries)
                return next;
            if (!load(next, 0))
                return std::nullopt;
            const qint64 probe = Pair ? next + bs : next;
            const qint64 probeBlock = Pair ? block + 2 : block + 1;
            const uchar *digest = md4(probe, at);
            if (!digest)
                return std::nullopt;
            if (std::memcmp(digest, s.checksum(probeBlock), size_t(s.checksumBytes)) != 0)
                return next;
            markGroup(m.m_groupOf[size_t(block + 1)], next);
            ++block;
            x = next;
        }
    }

    bool mayGoOn() const
    {
        return !stop.load(std::memory_order_relaxed) && !counts.gaveUp.load(std::memory_order_relaxed);
    }

    // The MD4 of the block-sized window at x; nothing when the scan is to
    // end, looked at before each one, since one may take milliseconds.
    template<typename At>
    const uchar *md4(qint64 x, const At &at)
    {
        for (Md4 &cached : cache) {
            if (cached.at == x)
                return cached.digest;
        }
        if (!mayGoOn())
            return nullptr;
        ++hashed;
        counts.strongChecks.fetch_add(1, std::memory_order_relaxed);
        Md4 &slot = cache[next];
        next ^= 1;
        hash.reset();
        hash.addData(reinterpret_cast<const char *>(at(x)), int(s.blockSize));
        const QByteArray digest = hash.result();
        std::memcpy(slot.digest, digest.constData(), 16);
        slot.at = x;
        return slot.digest;
    }

    const BlockMatcher &m;
    const Sidecar &s;
    std::vector<qint64> &found;
    const std::atomic<bool> &stop;
    ScanCounts &counts;
    const qint64 failedBudget;
    qint64 hashed = 0;
    std::vector<bool> marked;
    QCryptographicHash hash { QCryptographicHash::Md4 };
    Md4 cache[2];
    int next = 0;
};

std::optional<std::vector<qint64>> BlockMatcher::scan(const QString &oldPath, const std::atomic<bool> &stop,
                                                      int threads, ScanCounts *counts) const
{
    if (!m_complete)
        return std::nullopt;
    const qint64 blocks = m_sidecar.blockCount();
    const qint64 fileSize = QFile(oldPath).size();
    ScanCounts ownCounts;
    ScanCounts &tally = counts ? *counts : ownCounts;
    const qint64 oldBlocks = fileSize / m_sidecar.blockSize + 1;
    threads = qBound(1, threads, 8);
    std::vector<std::vector<qint64>> found(size_t(threads), std::vector<qint64>(size_t(blocks), -1));
    std::vector<char> ok(size_t(threads), 0);
    auto work = [&](int t) {
        // Nothing may leave a thread (that would end the launcher): a share
        // that fails fails the scan.
        try {
            Part part(*this, found[size_t(t)], stop, tally, failedChecksPerOldBlock * oldBlocks);
            ok[size_t(t)] = part.run(oldPath, fileSize, fileSize * t / threads, fileSize * (t + 1) / threads);
        } catch (...) {
            ok[size_t(t)] = 0;
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(size_t(threads));
    for (int t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(work, t);
        } catch (...) {
            work(t); // a thread that cannot start: its share is scanned on this one
        }
    }
    work(0);
    for (std::thread &worker : workers)
        worker.join();
    if (stop || std::find(ok.begin(), ok.end(), 0) != ok.end())
        return std::nullopt;

    std::vector<qint64> merged = std::move(found[0]);
    for (int t = 1; t < threads; ++t) {
        for (qint64 b = 0; b < blocks; ++b) {
            if (merged[size_t(b)] < 0)
                merged[size_t(b)] = found[size_t(t)][size_t(b)];
        }
    }
    // A pair never starts at the last block: look for it where the old file ends.
    const qint64 last = blocks - 1;
    if (last >= 0 && merged[size_t(last)] < 0 && fileSize >= m_sidecar.blockLength(last)) {
        QFile file(oldPath);
        QByteArray window(m_sidecar.blockSize, Qt::Uninitialized);
        const qint64 at = fileSize - m_sidecar.blockLength(last);
        if (file.open(QIODevice::ReadOnly) && readPadded(file, fileSize, at, window.data(), window.size())) {
            const RollingSum sum = RollingSum::of(reinterpret_cast<const uchar *>(window.constData()), window.size());
            const QByteArray md4 = QCryptographicHash::hash(window, QCryptographicHash::Md4);
            if ((sum.value() & m_sidecar.rsumMask()) == m_sidecar.rsum(last)
                && std::memcmp(md4.constData(), m_sidecar.checksum(last), size_t(m_sidecar.checksumBytes)) == 0)
                merged[size_t(last)] = at;
        }
    }
    return merged;
}

std::vector<ByteRange> missingRanges(const Sidecar &sidecar, const std::vector<qint64> &found)
{
    std::vector<ByteRange> ranges;
    const qint64 blocks = sidecar.blockCount();
    for (qint64 b = 0; b < blocks; ++b) {
        if (found[size_t(b)] >= 0)
            continue;
        const qint64 start = b * sidecar.blockSize;
        const qint64 end = start + sidecar.blockLength(b);
        if (!ranges.empty() && ranges.back().end == start)
            ranges.back().end = end;
        else
            ranges.push_back({ start, end });
    }
    return ranges;
}

namespace {

// Hashes chunks handed over on a thread of its own.
class HashThread
{
public:
    explicit HashThread(QCryptographicHash::Algorithm algorithm) : m_hash(algorithm)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~HashThread() { stop(); }

    void add(const QByteArray &chunk)
    {
        std::unique_lock lock(m_mutex);
        // A few chunks may wait; more would only grow memory.
        m_room.wait(lock, [this] { return m_queue.size() < 4; });
        m_queue.push_back(chunk);
        m_queued.notify_one();
    }
    QByteArray finish()
    {
        stop();
        return m_hash.result();
    }

private:
    // Allocates nothing: also runs while an exception unwinds the assembly.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_queued.notify_one();
        m_thread.join();
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_queued.wait(lock, [this] { return !m_queue.empty() || m_done; });
            if (m_queue.empty())
                return;
            const QByteArray chunk = std::move(m_queue.front());
            m_queue.pop_front();
            m_room.notify_one();
            lock.unlock();
            m_hash.addData(chunk);
            lock.lock();
        }
    }

    QCryptographicHash m_hash;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::condition_variable m_room;
    std::deque<QByteArray> m_queue;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

std::optional<AssembledDigests> assembleFile(const Sidecar &sidecar, const std::vector<qint64> &found,
                                             const QString &oldPath, const QString &outPath,
                                             const std::atomic<bool> &stop)
{
    QFile old(oldPath);
    QFile out(outPath);
    if (!old.open(QIODevice::ReadOnly) || !out.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return std::nullopt;
    const qint64 oldSize = old.size();
    const qint64 outSize = out.size();
    // This thread only reads and writes; each digest takes a core of its own.
    HashThread sha1(QCryptographicHash::Sha1);
    HashThread md5(QCryptographicHash::Md5);
    const qint64 blocks = sidecar.blockCount();
    qint64 block = 0;
    while (block < blocks) {
        if (stop)
            return std::nullopt;
        // A run of blocks that come from one place: consecutive in the old
        // file, or all fetched; at most a chunk of it at a time.
        const bool copied = found[size_t(block)] >= 0;
        qint64 end = block + 1;
        const qint64 perChunk = qMax<qint64>(1, copyChunk / sidecar.blockSize);
        while (end < blocks && end - block < perChunk && (found[size_t(end)] >= 0) == copied
               && (!copied || found[size_t(end)] == found[size_t(block)] + (end - block) * sidecar.blockSize))
            ++end;
        const qint64 at = block * sidecar.blockSize;
        const qint64 size = qMin(end * sidecar.blockSize, sidecar.length) - at;
        failIfChosen(DeltaStep::Assemble);
        QByteArray chunk(int(size), Qt::Uninitialized);
        if (copied) {
            if (!readPadded(old, oldSize, found[size_t(block)], chunk.data(), size) || !out.seek(at)
                || out.write(chunk) != size)
                return std::nullopt;
        } else if (!readPadded(out, outSize, at, chunk.data(), size) || at + size > outSize) {
            return std::nullopt;
        }
        sha1.add(chunk);
        md5.add(chunk);
        block = end;
    }
    if (!out.resize(sidecar.length))
        return std::nullopt;
    out.close();
    if (out.error() != QFileDevice::NoError)
        return std::nullopt;
    return AssembledDigests { sha1.finish(), md5.finish() };
}
