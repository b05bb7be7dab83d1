#include "suffixarray.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#if QVX_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace quorpatch {

namespace {

const std::int32_t kEmpty = -1;
const int kBadArgument = -1;
const int kNoMemory = -2;

// How far the scans look ahead to prefetch the text behind a suffix array entry: the induced
// sorting reads the text at random, and waiting for each of those reads dominates its time.
const std::int64_t kAhead = 32;

inline void prefetch(const void *address)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

inline int highestBit(std::uint64_t word)
{
#if defined(__GNUC__) || defined(__clang__)
    return 63 - __builtin_clzll(word);
#else
    int b = 63;
    while (!(word >> b))
        --b;
    return b;
#endif
}

// During the induction an entry carries in its top bit whether the suffix before it is of type
// S, written when the entry is placed (the two symbols lie side by side). The L pass then
// induces from unflagged entries only and the S pass from flagged ones only, so neither reads
// the text for an entry that induces nothing. Flagged entries are below -1 (kEmpty).
const std::uint32_t kPredecessorIsS = 0x80000000u;

inline std::int32_t flagged(std::int64_t pos, bool predecessorIsS)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(pos)
                                     | (predecessorIsS ? kPredecessorIsS : 0u));
}

inline std::int32_t unflagged(std::int32_t v)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) & ~kPredecessorIsS);
}

// The string behind the induced sorting and its bucket layout. Position n is the virtual end
// marker, smaller than every symbol. Working memory: two tables of k counters and one bit per
// position; no S/L type table, as the induction carries what it needs in the entries.
template<typename Symbol> class InducedSorter
{
public:
    InducedSorter(const Symbol *text, std::int32_t *sa, std::int64_t n, std::int64_t k)
        : m_text(text)
        , m_sa(sa)
        , m_n(n)
        , m_k(k)
    { }

    int run()
    {
        m_count.reset(new (std::nothrow) std::int32_t[m_k]);
        m_bucket.reset(new (std::nothrow) std::int32_t[m_k]);
        if (!m_count || !m_bucket || !findLms())
            return kNoMemory;

        countSymbols();

        // Sort the LMS substrings: drop the LMS suffixes in arbitrary order at their bucket ends
        // and induce once. The L pass clears what it has used, so that afterwards the only
        // unflagged entries left are the LMS suffixes, which the S pass wrote.
        std::fill(m_sa, m_sa + m_n, kEmpty);
        bucketEnds();
        forEachLmsDescending(
            [this](std::int64_t i) { m_sa[--m_bucket[sym(i)]] = static_cast<std::int32_t>(i); });
        induceL<true>();
        induceS();

        // Gather the LMS positions in substring order at the front.
        std::int64_t n1 = 0;
        for (std::int64_t i = 0; i < m_n; ++i) {
            const std::int32_t v = m_sa[i];
            if (v > 0)
                m_sa[n1++] = v;
        }

        // Name equal substrings alike. The slot n1 + pos / 2 (unique: LMS positions are never
        // adjacent) first holds the substring's length up to and including the next LMS
        // position, so that most pairs differ by length alone; then it holds the name.
        std::fill(m_sa + n1, m_sa + m_n, kEmpty);
        {
            std::int64_t next = m_n; // the end marker ends the last substring
            std::int32_t *lengths = m_sa + n1;
            forEachLmsDescending([&next, lengths](std::int64_t i) {
                lengths[i / 2] = static_cast<std::int32_t>(next - i);
                next = i;
            });
        }
        std::int32_t names = 0;
        {
            std::int32_t *lengths = m_sa + n1;
            std::int64_t previous = -1;
            std::int32_t previousLength = 0;
            for (std::int64_t i = 0; i < n1; ++i) {
                if (i + kAhead < n1) {
                    const std::int32_t ahead = m_sa[i + kAhead];
                    prefetch(m_text + ahead);
                    prefetch(lengths + ahead / 2);
                }
                const std::int64_t pos = m_sa[i];
                const std::int32_t length = lengths[pos / 2];
                if (previous < 0 || length != previousLength
                    || substringsDiffer(pos, previous, length)) {
                    ++names;
                    previous = pos;
                    previousLength = length;
                }
                lengths[pos / 2] = names - 1;
            }
        }
        // The reduced string, in text order, moves to the tail.
        std::int32_t *reduced = m_sa + m_n - n1;
        {
            std::int64_t j = m_n - 1;
            for (std::int64_t i = m_n - 1; i >= n1; --i) {
                if (m_sa[i] != kEmpty)
                    m_sa[j--] = m_sa[i];
            }
        }

        // Order of the LMS suffixes: recurse while names repeat, else the names are the order.
        if (names < n1) {
            m_count.reset();
            m_bucket.reset();
            {
                InducedSorter<std::int32_t> inner(reduced, m_sa, n1, names);
                const int rc = inner.run();
                if (rc < 0)
                    return rc;
            }
            m_count.reset(new (std::nothrow) std::int32_t[m_k]);
            m_bucket.reset(new (std::nothrow) std::int32_t[m_k]);
            if (!m_count || !m_bucket)
                return kNoMemory;
            countSymbols();
        } else {
            for (std::int64_t i = 0; i < n1; ++i)
                m_sa[reduced[i]] = static_cast<std::int32_t>(i);
        }

        // Back from reduced indices to text positions.
        {
            std::int64_t j = n1 - 1;
            forEachLmsDescending(
                [&j, reduced](std::int64_t i) { reduced[j--] = static_cast<std::int32_t>(i); });
            for (std::int64_t i = 0; i < n1; ++i) {
                if (i + kAhead < n1)
                    prefetch(reduced + m_sa[i + kAhead]);
                m_sa[i] = reduced[m_sa[i]];
            }
        }

        // Final induction from the sorted LMS suffixes, placed at their bucket ends in order.
        std::fill(m_sa + n1, m_sa + m_n, kEmpty);
        bucketEnds();
        for (std::int64_t i = n1 - 1; i >= 0; --i) {
            if (i >= kAhead)
                prefetch(m_text + m_sa[i - kAhead]);
            const std::int32_t pos = m_sa[i];
            m_sa[i] = kEmpty;
            m_sa[--m_bucket[sym(pos)]] = pos;
        }
        induceL<false>();
        induceS();
        for (std::int64_t i = 0; i < m_n; ++i)
            m_sa[i] = unflagged(m_sa[i]);
        return 0;
    }

private:
    std::int32_t sym(std::int64_t i) const { return static_cast<std::int32_t>(m_text[i]); }

    // One bit per position, set for LMS positions; found once by a branch-free scan so that
    // the three later walks over them skip the type logic.
    bool findLms()
    {
        const std::int64_t words = m_n / 64 + 1;
        m_lms.reset(new (std::nothrow) std::uint64_t[words]);
        if (!m_lms)
            return false;
        std::uint64_t *bits = m_lms.get();
        std::fill(bits, bits + words, 0);
        std::uint64_t nextIsS = 0; // the end marker is smaller, so the last suffix is L
        std::int32_t next = sym(m_n - 1);
        for (std::int64_t i = m_n - 2; i >= 0; --i) {
            const std::int32_t a = sym(i);
            const std::uint64_t isS
                = std::uint64_t(a < next) | (std::uint64_t(a == next) & nextIsS);
            bits[(i + 1) >> 6] |= ((isS ^ 1) & nextIsS) << ((i + 1) & 63);
            nextIsS = isS;
            next = a;
        }
        return true;
    }

    // Calls f(i) for every LMS position i, from the last to the first.
    template<typename F> void forEachLmsDescending(F f) const
    {
        const std::uint64_t *bits = m_lms.get();
        for (std::int64_t w = m_n / 64; w >= 0; --w) {
            std::uint64_t word = bits[w];
            while (word) {
                const int b = highestBit(word);
                f(w * 64 + b);
                word &= ~(std::uint64_t(1) << b);
            }
        }
    }

    void countSymbols()
    {
        std::fill(m_count.get(), m_count.get() + m_k, 0);
        for (std::int64_t i = 0; i < m_n; ++i)
            ++m_count[sym(i)];
    }

    void bucketStarts()
    {
        std::int32_t sum = 0;
        for (std::int64_t c = 0; c < m_k; ++c) {
            m_bucket[c] = sum;
            sum += m_count[c];
        }
    }

    void bucketEnds()
    {
        std::int32_t sum = 0;
        for (std::int64_t c = 0; c < m_k; ++c) {
            sum += m_count[c];
            m_bucket[c] = sum;
        }
    }

    // Look-ahead for the induction: first the symbol of suffix q, then (with a large alphabet,
    // whose counters and slots are as scattered as the text; a byte alphabet's stay in the
    // cache) its bucket counter, then the slot that counter points to. q < 0: nothing.
    void prefetchSymbol(std::int64_t q) const
    {
        if (q >= 0)
            prefetch(m_text + q);
    }

    void prefetchCounterOf(std::int64_t q) const
    {
        if (sizeof(Symbol) > 1 && q >= 0)
            prefetch(m_bucket.get() + sym(q));
    }

    void prefetchSlotOf(std::int64_t q) const
    {
        if (sizeof(Symbol) > 1 && q >= 0)
            prefetch(m_sa + m_bucket[sym(q)]);
    }

    // The suffix the L pass induces from entry v, or -1.
    static std::int64_t inducedByL(std::int32_t v) { return v > 0 ? std::int64_t(v) - 1 : -1; }

    // The suffix the S pass induces from entry v, or -1.
    static std::int64_t inducedByS(std::int32_t v)
    {
        return v < kEmpty ? std::int64_t(unflagged(v)) - 1 : -1;
    }

    // L pass: an unflagged suffix p > 0 has an L suffix p - 1 before it. Clearing used entries
    // is only wanted while the LMS substrings are sorted.
    template<bool ClearUsed> void induceL()
    {
        bucketStarts();
        // The end marker comes first and brings in the last suffix, always of type L.
        {
            const std::int64_t q = m_n - 1;
            m_sa[m_bucket[sym(q)]++] = flagged(q, sym(q - 1) < sym(q));
        }
        for (std::int64_t i = 0; i < m_n; ++i) {
            if (i + 3 * kAhead < m_n)
                prefetchSymbol(inducedByL(m_sa[i + 3 * kAhead]) - 1);
            if (i + 2 * kAhead < m_n)
                prefetchCounterOf(inducedByL(m_sa[i + 2 * kAhead]));
            if (i + kAhead < m_n)
                prefetchSlotOf(inducedByL(m_sa[i + kAhead]));
            const std::int32_t v = m_sa[i];
            if (v >= 0) {
                if (v > 0) {
                    // q is L, so the suffix before it is S exactly when its symbol is smaller.
                    const std::int64_t q = std::int64_t(v) - 1;
                    const std::int32_t c = sym(q);
                    m_sa[m_bucket[c]++] = flagged(q, q > 0 && sym(q - 1) < c);
                }
                if (ClearUsed)
                    m_sa[i] = kEmpty;
            }
        }
    }

    // S pass: a flagged suffix has an S suffix q before it.
    void induceS()
    {
        bucketEnds();
        for (std::int64_t i = m_n - 1; i >= 0; --i) {
            if (i >= 3 * kAhead)
                prefetchSymbol(inducedByS(m_sa[i - 3 * kAhead]) - 1);
            if (i >= 2 * kAhead)
                prefetchCounterOf(inducedByS(m_sa[i - 2 * kAhead]));
            if (i >= kAhead)
                prefetchSlotOf(inducedByS(m_sa[i - kAhead]));
            const std::int32_t v = m_sa[i];
            if (v < kEmpty) {
                // q is S, so the suffix before it is S exactly when its symbol is not greater.
                const std::int64_t q = std::int64_t(unflagged(v)) - 1;
                const std::int32_t c = sym(q);
                m_sa[--m_bucket[c]] = flagged(q, q > 0 && sym(q - 1) <= c);
            }
        }
    }

    // Same length: equal symbols then also mean equal types, and only a substring that ends
    // at the end marker (unique) reaches n.
    bool substringsDiffer(std::int64_t a, std::int64_t b, std::int64_t length) const
    {
        if (a + length == m_n || b + length == m_n)
            return true;
        return std::memcmp(m_text + a, m_text + b, std::size_t(length + 1) * sizeof(Symbol)) != 0;
    }

    const Symbol *m_text;
    std::int32_t *m_sa;
    std::int64_t m_n;
    std::int64_t m_k;
    std::unique_ptr<std::int32_t[]> m_count;
    std::unique_ptr<std::int32_t[]> m_bucket;
    std::unique_ptr<std::uint64_t[]> m_lms;
};
template<typename Symbol> bool symbolsInRange(const Symbol *text, int n, int k)
{
    for (int i = 0; i < n; ++i) {
        if (static_cast<std::int64_t>(text[i]) < 0 || static_cast<std::int64_t>(text[i]) >= k)
            return false;
    }
    return true;
}

template<typename Symbol> int sortSuffixes(const Symbol *text, std::int32_t *sa, int n, int k)
{
    if (!text || !sa || n < 0 || k < 1 || !symbolsInRange(text, n, k))
        return kBadArgument;
    if (n == 0)
        return 0;
    if (n == 1) {
        sa[0] = 0;
        return 0;
    }
    InducedSorter<Symbol> sorter(text, sa, n, k);
    return sorter.run();
}

// Byte texts go to libdivsufsort where it is installed: the same (unique) array, sooner.
int sortByteSuffixes(const std::uint8_t *text, std::int32_t *sa, int n)
{
#if QVX_HAVE_DIVSUFSORT
    static_assert(sizeof(saidx_t) == sizeof(std::int32_t), "divsufsort indices must be 32-bit");
    if (!text || !sa || n < 0)
        return kBadArgument;
    const saint_t rc = divsufsort(text, reinterpret_cast<saidx_t *>(sa), n);
    return rc == 0 ? 0 : (rc == -2 ? kNoMemory : kBadArgument);
#else
    return sortSuffixes(text, sa, n, 256);
#endif
}

int sortAnySuffixes(const std::uint8_t *text, std::int32_t *sa, int n, int)
{
    return sortByteSuffixes(text, sa, n);
}

int sortAnySuffixes(const std::int32_t *text, std::int32_t *sa, int n, int k)
{
    return sortSuffixes(text, sa, n, k);
}

template<typename Symbol>
int transform(const Symbol *text, Symbol *out, std::int32_t *work, int n, int k)
{
    if (!out || !work)
        return kBadArgument;
    const int rc = sortAnySuffixes(text, work, n, k);
    if (rc < 0 || n == 0)
        return rc;
    // Row 0 is the rotation starting at the end marker; row i + 1 is the suffix work[i].
    out[0] = text[n - 1];
    int primary = 0;
    std::int64_t j = 1;
    for (std::int64_t i = 0; i < n; ++i) {
        if (work[i] == 0)
            primary = static_cast<int>(i + 1);
        else
            out[j++] = text[work[i] - 1];
    }
    return primary;
}

} // namespace

int buildSuffixArray(const std::uint8_t *text, std::int32_t *sa, int n)
{
    return sortByteSuffixes(text, sa, n);
}

int buildSuffixArrayInt(const std::int32_t *text, std::int32_t *sa, int n, int k)
{
    return sortSuffixes(text, sa, n, k);
}

int buildBwt(const std::uint8_t *text, std::uint8_t *out, std::int32_t *work, int n)
{
    return transform(text, out, work, n, 256);
}

int buildBwtInt(const std::int32_t *text, std::int32_t *out, std::int32_t *work, int n, int k)
{
    return transform(text, out, work, n, k);
}

} // namespace quorpatch
