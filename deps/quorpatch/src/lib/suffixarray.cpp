#include "suffixarray.h"

#include <algorithm>
#include <memory>
#include <new>

namespace quorpatch {

namespace {

const std::int32_t kEmpty = -1;
const int kBadArgument = -1;
const int kNoMemory = -2;

// The string behind the induced sorting: its symbols, their S/L types and the bucket layout.
// Position n is the virtual end marker, smaller than every symbol.
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
        m_isS.reset(new (std::nothrow) std::uint64_t[m_n / 64 + 1]);
        m_count.reset(new (std::nothrow) std::int32_t[m_k]);
        m_bucket.reset(new (std::nothrow) std::int32_t[m_k]);
        if (!m_isS || !m_count || !m_bucket)
            return kNoMemory;

        classify();
        countSymbols();

        // Sort the LMS substrings: drop the LMS suffixes in arbitrary order at their bucket ends
        // and induce once.
        std::fill(m_sa, m_sa + m_n, kEmpty);
        bucketEnds();
        for (std::int64_t i = m_n - 1; i >= 1; --i) {
            if (isLms(i))
                m_sa[--m_bucket[sym(i)]] = static_cast<std::int32_t>(i);
        }
        induce();

        // Gather the LMS positions in substring order at the front.
        std::int64_t n1 = 0;
        for (std::int64_t i = 0; i < m_n; ++i) {
            if (isLms(m_sa[i]))
                m_sa[n1++] = m_sa[i];
        }

        // Name equal substrings alike. The slot n1 + pos / 2 (unique: LMS positions are never
        // adjacent) first holds the substring's length up to and including the next LMS
        // position, so that most pairs differ by length alone; then it holds the name.
        std::fill(m_sa + n1, m_sa + m_n, kEmpty);
        {
            std::int64_t next = m_n; // the end marker ends the last substring
            for (std::int64_t i = m_n - 1; i >= 1; --i) {
                if (isLms(i)) {
                    m_sa[n1 + i / 2] = static_cast<std::int32_t>(next - i);
                    next = i;
                }
            }
        }
        std::int32_t names = 0;
        std::int64_t previous = -1;
        std::int32_t previousLength = 0;
        for (std::int64_t i = 0; i < n1; ++i) {
            const std::int64_t pos = m_sa[i];
            const std::int32_t length = m_sa[n1 + pos / 2];
            if (previous < 0 || length != previousLength
                || substringsDiffer(pos, previous, length)) {
                ++names;
                previous = pos;
                previousLength = length;
            }
            m_sa[n1 + pos / 2] = names - 1;
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
            InducedSorter<std::int32_t> inner(reduced, m_sa, n1, names);
            const int rc = inner.run();
            if (rc < 0)
                return rc;
        } else {
            for (std::int64_t i = 0; i < n1; ++i)
                m_sa[reduced[i]] = static_cast<std::int32_t>(i);
        }

        // Back from reduced indices to text positions.
        {
            std::int64_t j = n1 - 1;
            for (std::int64_t i = m_n - 1; i >= 1; --i) {
                if (isLms(i))
                    reduced[j--] = static_cast<std::int32_t>(i);
            }
            for (std::int64_t i = 0; i < n1; ++i)
                m_sa[i] = reduced[m_sa[i]];
        }

        // Final induction from the sorted LMS suffixes, placed at their bucket ends in order.
        std::fill(m_sa + n1, m_sa + m_n, kEmpty);
        bucketEnds();
        for (std::int64_t i = n1 - 1; i >= 0; --i) {
            const std::int32_t pos = m_sa[i];
            m_sa[i] = kEmpty;
            m_sa[--m_bucket[sym(pos)]] = pos;
        }
        induce();
        return 0;
    }

private:
    std::int32_t sym(std::int64_t i) const { return static_cast<std::int32_t>(m_text[i]); }

    bool isS(std::int64_t i) const { return (m_isS[i >> 6] >> (i & 63)) & 1; }
    bool isLms(std::int64_t i) const { return i > 0 && i < m_n && isS(i) && !isS(i - 1); }

    void classify()
    {
        std::fill(m_isS.get(), m_isS.get() + m_n / 64 + 1, 0);
        bool nextIsS = false; // the end marker is smaller, so the last suffix is L
        for (std::int64_t i = m_n - 2; i >= 0; --i) {
            const std::int32_t a = sym(i);
            const std::int32_t b = sym(i + 1);
            nextIsS = a < b || (a == b && nextIsS);
            if (nextIsS)
                m_isS[i >> 6] |= std::uint64_t(1) << (i & 63);
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

    // Types come from the symbols here, not from the type table: in the L pass the suffix
    // p = sa[i] is L or LMS, so p - 1 is L exactly when its symbol is not below p's; in the S
    // pass p is S exactly when slot i already lies in the S part written for its bucket.
    void induce()
    {
        bucketStarts();
        // The end marker comes first and brings in the last suffix, always of type L.
        m_sa[m_bucket[sym(m_n - 1)]++] = static_cast<std::int32_t>(m_n - 1);
        for (std::int64_t i = 0; i < m_n; ++i) {
            const std::int32_t p = m_sa[i];
            if (p > 0) {
                const std::int32_t c = sym(p - 1);
                if (c >= sym(p))
                    m_sa[m_bucket[c]++] = p - 1;
            }
        }
        bucketEnds();
        for (std::int64_t i = m_n - 1; i >= 0; --i) {
            const std::int32_t p = m_sa[i];
            if (p > 0) {
                const std::int32_t c = sym(p - 1);
                const std::int32_t cp = sym(p);
                if (c < cp || (c == cp && m_bucket[cp] <= i))
                    m_sa[--m_bucket[c]] = p - 1;
            }
        }
    }

    // Same length: equal symbols then also mean equal types, and only a substring that ends
    // at the end marker (unique) reaches n.
    bool substringsDiffer(std::int64_t a, std::int64_t b, std::int64_t length) const
    {
        if (a + length == m_n || b + length == m_n)
            return true;
        for (std::int64_t d = 0; d <= length; ++d) {
            if (sym(a + d) != sym(b + d))
                return true;
        }
        return false;
    }

    const Symbol *m_text;
    std::int32_t *m_sa;
    std::int64_t m_n;
    std::int64_t m_k;
    std::unique_ptr<std::uint64_t[]> m_isS; // one bit per position, set for type S
    std::unique_ptr<std::int32_t[]> m_count;
    std::unique_ptr<std::int32_t[]> m_bucket;
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

template<typename Symbol>
int transform(const Symbol *text, Symbol *out, std::int32_t *work, int n, int k)
{
    if (!out || !work)
        return kBadArgument;
    const int rc = sortSuffixes(text, work, n, k);
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
    return sortSuffixes(text, sa, n, 256);
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
