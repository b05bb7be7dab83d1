// Creation of QVDIFF10 diffs: suffix sorting of the old data, then the match scan that splits
// the new data into diff runs (against the old data) and extra runs (literal bytes).

#include "qvdiff.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "logmessage.h"
#include "lzmaioout.h"
#include "streams.h"
#include "suffixarray.h"

namespace quorpatch {

namespace {

// Equal leading bytes of a and b, at most limit.
inline i64 matchLength(const u8 *a, const u8 *b, i64 limit)
{
    i64 i = 0;
    while (i + 8 <= limit) {
        u64 x;
        u64 y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            break;
        i += 8;
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// Word-wise comparison for the scan's long walks over matching bytes.
inline u64 load64(const u8 *p)
{
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}

// The number of zero bytes in x.
inline i64 zeroBytes(u64 x)
{
    const u64 low7 = 0x7F7F7F7F7F7F7F7Full;
    const u64 zero = ~(((x & low7) + low7) | x | low7); // the top bit of each zero byte
    return i64(((zero >> 7) * 0x0101010101010101ull) >> 56);
}

// How many of a[i] == b[i] hold for i < k.
inline i64 equalBytes(const u8 *a, const u8 *b, i64 k)
{
    i64 count = 0;
    i64 i = 0;
    for (; i + 8 <= k; i += 8)
        count += zeroBytes(load64(a + i) ^ load64(b + i));
    for (; i < k; ++i)
        count += a[i] == b[i];
    return count;
}

// The extension of a match: the length i <= k at which (matching bytes - other bytes) among
// the first i is highest, the shortest such; 0 when no length scores above 0. Byte i is
// a[step * (i - 1) + offset] against b likewise (offset -1 walking backwards). Eight equal
// or eight unequal bytes move the score monotonically, so only mixed words go byte by byte.
template<int Step> inline i64 extension(const u8 *a, const u8 *b, i64 k)
{
    // Byte i (from 1) lies at a[i - 1] going forwards and at a[-i] going backwards.
    auto at = [](const u8 *p, i64 i) { return Step > 0 ? p[i - 1] : p[-i]; };
    auto word = [](const u8 *p, i64 i) { return Step > 0 ? load64(p + i) : load64(p - i - 8); };
    i64 score = 0;
    i64 best = 0;
    i64 length = 0;
    i64 i = 0; // bytes looked at
    while (i < k) {
        if (i + 8 <= k) {
            const i64 equal = zeroBytes(word(a, i) ^ word(b, i));
            if (equal == 8) {
                score += 8;
                if (score > best) {
                    best = score;
                    length = i + 8;
                }
                i += 8;
                continue;
            }
            if (equal == 0) {
                score -= 8;
                i += 8;
                continue;
            }
        }
        const i64 end = std::min(k, i + 8);
        for (; i < end; ++i) {
            score += at(a, i + 1) == at(b, i + 1) ? 1 : -1;
            if (score > best) {
                best = score;
                length = i + 1;
            }
        }
    }
    return length;
}

inline i64 forwardExtension(const u8 *old, const u8 *data, i64 k)
{
    return extension<1>(old, data, k);
}

// Backwards from just before old and data.
inline i64 backwardExtension(const u8 *old, const u8 *data, i64 k)
{
    return extension<-1>(old, data, k);
}

struct Match
{
    i64 length;
    i64 pos;
};

inline void prefetch(const void *address)
{
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Searches for the old suffixes closest to data[first..], data[first + 1..], ... in the order
// given by index (m + 1 entries, the empty suffix first). Each search is the plain binary search:
// a probe compares as memcmp over the shorter of the two strings. The searches run in lock step
// so that their reads of the index and the old data overlap instead of waiting one by one; the
// prefix that a search's bounds share with its target is shared by every suffix between them,
// so a probe starts comparing after it.
const int kMaxBatch = 16;

void searchOld(const i32 *index, const u8 *old, i64 m, const u8 *data, i64 n, i64 first, int count,
               Match *results)
{
    struct Search
    {
        i64 lo;
        i64 hi;
        i64 lcpLo;
        i64 lcpHi;
        i64 mid;
        const u8 *target;
        i64 targetLength;
    };
    Search searches[kMaxBatch];
    const i64 last = index[m];
    for (int j = 0; j < count; ++j) {
        Search &s = searches[j];
        s.lo = 0;
        s.hi = m;
        s.lcpLo = 0; // index[0] is the empty suffix
        s.target = data + first + j;
        s.targetLength = n - first - j;
        s.lcpHi = matchLength(old + last, s.target, std::min(m - last, s.targetLength));
    }
    // All searches start with the same range, and the range shrinks only by its length, so
    // they all need the same number of probes but for the rounding of the halves.
    for (;;) {
        bool active = false;
        for (int j = 0; j < count; ++j) {
            Search &s = searches[j];
            if (s.hi - s.lo > 1) {
                s.mid = s.lo + (s.hi - s.lo) / 2;
                prefetch(index + s.mid);
                active = true;
            }
        }
        if (!active)
            break;
        for (int j = 0; j < count; ++j) {
            const Search &s = searches[j];
            if (s.hi - s.lo > 1)
                prefetch(old + index[s.mid] + std::min(s.lcpLo, s.lcpHi));
        }
        for (int j = 0; j < count; ++j) {
            Search &s = searches[j];
            if (s.hi - s.lo <= 1)
                continue;
            const i64 p = index[s.mid];
            const i64 limit = std::min(m - p, s.targetLength);
            const i64 known = std::min(s.lcpLo, s.lcpHi);
            const i64 l = known + matchLength(old + p + known, s.target + known, limit - known);
            if (l < limit && old[p + l] < s.target[l]) {
                s.lo = s.mid;
                s.lcpLo = l;
            } else {
                s.hi = s.mid;
                s.lcpHi = l;
            }
        }
    }
    for (int j = 0; j < count; ++j) {
        const Search &s = searches[j];
        if (s.lcpLo > s.lcpHi)
            results[j] = {s.lcpLo, index[s.lo]};
        else
            results[j] = {s.lcpHi, index[s.hi]};
    }
}

// Searches for a run of coming positions, split over helper threads. A position's search does
// not depend on the scan's state, so where the scan goes on position by position (bytes that
// the old data lacks), the searches for the next stretch are made side by side; what the scan
// skips when it takes a match is merely wasted. Without helpers everything runs here.
const int kMaxStretch = 1024;

class SearchPool
{
public:
    SearchPool(const i32 *index, const u8 *old, i64 m, const u8 *data, i64 n, int helpers)
        : m_index(index)
        , m_old(old)
        , m_m(m)
        , m_data(data)
        , m_n(n)
    {
        try {
            for (int i = 0; i < helpers; ++i)
                m_threads.emplace_back([this, i] { work(i + 1); });
        } catch (const std::system_error &) {
            // Fewer helpers, or none.
        }
    }

    ~SearchPool()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_start.notify_all();
        for (std::thread &t : m_threads)
            t.join();
    }

    // The longest stretch worth searching at once: with no helpers, a batch.
    int maxStretch() const { return m_threads.empty() ? kMaxBatch : kMaxStretch; }

    // results[j]: the search for position first + j, j < count.
    void search(i64 first, int count, Match *results)
    {
        const int parts = int(m_threads.size()) + 1;
        if (parts == 1 || count < 4 * kMaxBatch) {
            searchSlice(first, count, results);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_first = first;
            m_count = count;
            m_results = results;
            m_pending = parts - 1;
            ++m_generation;
        }
        m_start.notify_all();
        runPart(0, parts);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [this] { return m_pending == 0; });
    }

private:
    void searchSlice(i64 first, int count, Match *results) const
    {
        for (int j = 0; j < count; j += kMaxBatch)
            searchOld(m_index, m_old, m_m, m_data, m_n, first + j, std::min(kMaxBatch, count - j),
                      results + j);
    }

    void runPart(int part, int parts) const
    {
        // Slices of whole batches, the first ones one batch longer.
        const int batches = (m_count + kMaxBatch - 1) / kMaxBatch;
        const int from = batches * part / parts * kMaxBatch;
        const int to = std::min(m_count, batches * (part + 1) / parts * kMaxBatch);
        if (from < to)
            searchSlice(m_first + from, to - from, m_results + from);
    }

    void work(int part)
    {
        std::uint64_t seen = 0;
        for (;;) {
            int parts = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_start.wait(lock, [this, seen] { return m_stop || m_generation != seen; });
                if (m_stop)
                    return;
                seen = m_generation;
                parts = int(m_threads.size()) + 1;
            }
            runPart(part, parts);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_pending;
            }
            m_done.notify_one();
        }
    }

    const i32 *m_index;
    const u8 *m_old;
    i64 m_m;
    const u8 *m_data;
    i64 m_n;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_start;
    std::condition_variable m_done;
    bool m_stop = false;
    std::uint64_t m_generation = 0;
    i64 m_first = 0;
    int m_count = 0;
    Match *m_results = nullptr;
    int m_pending = 0;
};

// Helper threads for the searches: none for small data, where starting them costs more.
int searchHelpers(i64 n)
{
    if (n < (i64(1) << 20))
        return 0;
    const unsigned cores = std::thread::hardware_concurrency();
    return int(std::min(3u, cores > 1 ? cores - 1 : 0u));
}

// Whether the old data holds byte at position (which is never negative in the scan, but a wrong
// guess must not read before the data).
inline bool sameAt(const u8 *old, i64 m, i64 position, u8 byte)
{
    return position >= 0 && position < m && old[position] == byte;
}

// The three strings of a diff body while they are built.
struct DiffBody
{
    SinkStream control;
    std::unique_ptr<u8[]> diff;
    std::unique_ptr<u8[]> extra;
    i64 diffLength = 0;
    i64 extraLength = 0;
};

bool scan(const u8 *old, i64 m, const i32 *index, const u8 *data, i64 n, DiffBody *body)
{
    SearchPool pool(index, old, m, data, n, searchHelpers(n));
    std::unique_ptr<Match[]> batch(new (std::nothrow) Match[kMaxStretch]);
    if (!batch)
        return false;
    i64 scan = 0;
    i64 len = 0;
    i64 pos = 0;
    i64 lastscan = 0;
    i64 lastpos = 0;
    i64 lastoffset = 0;
    while (scan < n) {
        i64 oldscore = 0;
        scan += len;
        i64 scsc = scan;
        // Searches for the coming positions are made ahead in growing batches: the first match
        // is often taken at once, while a position that is not is often followed by many more.
        int batchNext = 0;
        int batchCount = 0;
        int batchSize = 1;
        for (; scan < n; ++scan) {
            if (batchNext == batchCount) {
                batchCount = int(std::min<i64>(batchSize, n - scan));
                pool.search(scan, batchCount, batch.get());
                batchNext = 0;
                batchSize = std::min(2 * batchSize, pool.maxStretch());
            }
            const Match match = batch[batchNext++];
            len = match.length;
            pos = match.pos;
            if (scsc < scan + len) {
                // The positions whose counterpart at lastoffset lies inside the old data.
                const i64 from = std::max(scsc, -lastoffset);
                const i64 to = std::min(scan + len, m - lastoffset);
                if (from < to)
                    oldscore += equalBytes(old + from + lastoffset, data + from, to - from);
                scsc = scan + len;
            }
            if ((len == oldscore && len != 0) || len > oldscore + 8
                || (len >= 10241 && len > oldscore))
                break;
            if (sameAt(old, m, scan + lastoffset, data[scan]))
                --oldscore;
        }

        if (len == oldscore && scan != n)
            continue;

        i64 lenf = forwardExtension(old + lastpos, data + lastscan,
                                    std::min(scan - lastscan, m - lastpos));
        i64 lenb = scan < n
            ? backwardExtension(old + pos, data + scan, std::min(scan - lastscan, pos))
            : 0;

        if (lastscan + lenf > scan - lenb) {
            const i64 overlap = (lastscan + lenf) - (scan - lenb);
            i64 s = 0;
            i64 best = 0;
            i64 lens = 0;
            for (i64 i = 0; i < overlap; ++i) {
                if (data[lastscan + lenf - overlap + i] == old[lastpos + lenf - overlap + i])
                    ++s;
                if (data[scan - lenb + i] == old[pos - lenb + i])
                    --s;
                if (s > best) {
                    best = s;
                    lens = i + 1;
                }
            }
            lenf += lens - overlap;
            lenb -= lens;
        }

        {
            // Local pointers: stores through the body's own would make it reload them per byte.
            u8 *out = body->diff.get() + body->diffLength;
            const u8 *from = data + lastscan;
            const u8 *against = old + lastpos;
            for (i64 i = 0; i < lenf; ++i)
                out[i] = u8(from[i] - against[i]);
            body->diffLength += lenf;
        }

        const i64 extraLength = (scan - lenb) - (lastscan + lenf);
        if (extraLength > 0)
            std::memcpy(body->extra.get() + body->extraLength, data + lastscan + lenf,
                        size_t(extraLength));
        body->extraLength += extraLength;

        if (!body->control.WriteSignedVarint32(i32(lenf))
            || !body->control.WriteSignedVarint32(i32(extraLength))
            || !body->control.WriteSignedVarint32(i32((pos - lenb) - (lastpos + lenf))))
            return false;

        lastscan = scan - lenb;
        lastpos = pos - lenb;
        lastoffset = pos - scan;
    }
    return true;
}

// Lengths, then control, diff and extra bytes; the room is taken at once, as growing by
// doubling would copy the body over and over.
bool writeRawBody(DiffBody *body, SinkStream *out)
{
    const size_t lengthFields = 3 * 5;
    if (!out->Reserve(out->Length() + lengthFields + body->control.Length()
                      + size_t(body->diffLength) + size_t(body->extraLength)))
        return false;
    return out->WriteSize(body->control.Length()) && out->WriteSize(size_t(body->diffLength))
        && out->WriteSize(size_t(body->extraLength)) && out->Append(&body->control)
        && out->Write(body->diff.get(), size_t(body->diffLength))
        && out->Write(body->extra.get(), size_t(body->extraLength));
}

// The three blocks are independent: control and extra are encoded beside the diff bytes, each
// by its own encoder, so the blocks come out as they would one after the other.
bool encodeStreams(DiffBody *body, SinkStream *control, SinkStream *diff, SinkStream *extra)
{
    SourceStream controlSource;
    controlSource.Init(body->control);
    auto encodeControl = [&] { return Lzma2EncodeStream(&controlSource, control); };
    auto encodeDiff
        = [&] { return Lzma2EncodeBuffer(body->diff.get(), size_t(body->diffLength), diff); };
    auto encodeExtra
        = [&] { return Lzma2EncodeBuffer(body->extra.get(), size_t(body->extraLength), extra); };
    bool controlOk = false;
    bool extraOk = false;
    std::thread controlThread;
    std::thread extraThread;
    try {
        controlThread = std::thread([&] { controlOk = encodeControl(); });
        extraThread = std::thread([&] { extraOk = encodeExtra(); });
    } catch (const std::system_error &) {
        // No threads to be had: whatever did not start runs here.
    }
    const bool diffOk = encodeDiff();
    if (controlThread.joinable())
        controlThread.join();
    else
        controlOk = encodeControl();
    if (extraThread.joinable())
        extraThread.join();
    else
        extraOk = encodeExtra();
    return controlOk && diffOk && extraOk;
}

bool writeDiff(DiffBody *body, SinkStream *output, bool header, int method, u32 checksum, i64 n)
{
    SinkStream control;
    SinkStream diff;
    SinkStream extra;
    if (method == BINARY_PATCH_LZMA2_STREAMS && !encodeStreams(body, &control, &diff, &extra))
        return false;
    if (header) {
        if (!output->Write(kBinaryPatchMagic, kBinaryPatchMagicLength)
            || !output->WriteVarint32(checksum))
            return false;
    }
    const u8 methodByte = u8(method);
    if (!output->Write(&methodByte, 1) || !output->WriteSize(size_t(n)))
        return false;
    switch (method) {
    case BINARY_PATCH_LZMA2_STREAMS:
        return output->Append(&control) && output->Append(&diff) && output->Append(&extra);
    case BINARY_PATCH_RAW:
        return writeRawBody(body, output);
    default: {
        SinkStream raw;
        if (!writeRawBody(body, &raw))
            return false;
        SourceStream rawSource;
        rawSource.Init(raw);
        return Lzma2EncodeStream(&rawSource, output);
    }
    }
}

} // namespace

bool GenerateBinaryPatch(SourceStream *old_stream, SourceStream *new_stream, SinkStream *output,
                         bool header, int method)
{
    if (method < BINARY_PATCH_RAW || method > BINARY_PATCH_LZMA2_BODY) {
        QP_LOG(LogLevel_ERROR) << "Invalid compression method";
        return false;
    }
    const u8 *data = new_stream->Buffer();
    const size_t newSize = new_stream->Remaining();
    const u32 checksum = CalculateCrc(data, newSize);

    const u8 *old = old_stream->Buffer();
    const size_t oldSize = old_stream->Remaining();
    if (oldSize >= (size_t(1) << 31)) {
        QP_LOG(LogLevel_ERROR) << " old stream too large";
        return false;
    }
    const i64 m = i64(oldSize);
    std::unique_ptr<i32[]> index(new (std::nothrow) i32[size_t(m) + 1]);
    if (!index)
        return false;
    index[0] = i32(m);
    if (!old_stream->Skip(oldSize)) {
        QP_LOG(LogLevel_ERROR) << "error in old_stream size";
        return false;
    }
    // Empty old data has nothing to sort (and may come with a null buffer).
    if (m > 0 && buildSuffixArray(old, index.get() + 1, int(m)) < 0)
        return false;

    if (newSize >= (size_t(1) << 31)) {
        QP_LOG(LogLevel_ERROR) << " new stream too large";
        return false;
    }
    const i64 n = i64(newSize);
    if (!new_stream->Skip(newSize)) {
        QP_LOG(LogLevel_ERROR) << "error in new_stream size";
        return false;
    }
    DiffBody body;
    body.diff.reset(new (std::nothrow) u8[size_t(n) + 1]);
    body.extra.reset(new (std::nothrow) u8[size_t(n) + 1]);
    if (!body.diff || !body.extra)
        return false;

    if (!scan(old, m, index.get(), data, n, &body))
        return false;
    index.reset();
    return writeDiff(&body, output, header, method, checksum, n);
}

} // namespace quorpatch
