#include "qvdiff.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "log.h"
#include "lzmaioout.h"
#include "streams.h"

using quorpatch::ApplyBinaryPatch;
using quorpatch::GenerateBinaryPatch;
using quorpatch::SinkStream;
using quorpatch::SourceStream;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Bytes sinkBytes(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

// The engine's log lines while a test runs.
class QvdiffLogLines : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &message, int level, const std::string &channel, u64 id,
               const std::string &, const std::string &) override
    {
        EXPECT_EQ(1, level);
        EXPECT_EQ("", channel);
        EXPECT_EQ(0u, id);
        lines.push_back(message);
    }
    std::vector<std::string> lines;
};

// A heap copy of exactly the given bytes, so that the sanitizer sees any read past them.
class ExactBuffer
{
public:
    explicit ExactBuffer(const Bytes &bytes)
        : m_length(bytes.size())
        , m_data(new std::uint8_t[bytes.empty() ? 1 : bytes.size()])
    {
        if (!bytes.empty())
            std::memcpy(m_data.get(), bytes.data(), bytes.size());
    }
    SourceStream stream() const { return SourceStream(m_data.get(), m_length); }

private:
    std::size_t m_length;
    std::unique_ptr<std::uint8_t[]> m_data;
};

Bytes generate(const Bytes &oldData, const Bytes &newData, bool header, int method)
{
    ExactBuffer oldBuffer(oldData);
    ExactBuffer newBuffer(newData);
    SourceStream oldStream = oldBuffer.stream();
    SourceStream newStream = newBuffer.stream();
    SinkStream out;
    EXPECT_TRUE(GenerateBinaryPatch(&oldStream, &newStream, &out, header, method));
    EXPECT_TRUE(oldStream.Empty());
    EXPECT_TRUE(newStream.Empty());
    return sinkBytes(out);
}

struct ApplyResult
{
    bool ok;
    Bytes output;
    std::size_t patchLeft; // unread patch bytes afterwards
};

ApplyResult apply(const Bytes &oldData, const Bytes &patch, bool header)
{
    ExactBuffer oldBuffer(oldData);
    ExactBuffer patchBuffer(patch);
    SourceStream oldStream = oldBuffer.stream();
    SourceStream patchStream = patchBuffer.stream();
    SinkStream out;
    const bool ok = ApplyBinaryPatch(&oldStream, &patchStream, &out, header);
    EXPECT_EQ(oldData.size(), oldStream.Remaining()) << "the old stream moved";
    return {ok, sinkBytes(out), patchStream.Remaining()};
}

void appendVarint(Bytes *out, std::uint32_t value)
{
    while (value >= 0x80) {
        out->push_back(std::uint8_t(value | 0x80));
        value >>= 7;
    }
    out->push_back(std::uint8_t(value));
}

void appendSigned(Bytes *out, std::int32_t value)
{
    appendVarint(out, (std::uint32_t(value) << 1) ^ std::uint32_t(value >> 31));
}

struct Triple
{
    std::int32_t diff;
    std::int32_t extra;
    std::int32_t adjust;
};

// A method-0 diff without header, built by hand.
Bytes rawDiff(std::uint32_t newSize, const std::vector<Triple> &triples, const Bytes &diff,
              const Bytes &extra)
{
    Bytes control;
    for (const Triple &t : triples) {
        appendSigned(&control, t.diff);
        appendSigned(&control, t.extra);
        appendSigned(&control, t.adjust);
    }
    Bytes out {0};
    appendVarint(&out, newSize);
    appendVarint(&out, std::uint32_t(control.size()));
    appendVarint(&out, std::uint32_t(diff.size()));
    appendVarint(&out, std::uint32_t(extra.size()));
    out.insert(out.end(), control.begin(), control.end());
    out.insert(out.end(), diff.begin(), diff.end());
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

Bytes withHeader(const Bytes &body, const Bytes &newData)
{
    Bytes out = bytesOf("QVDIFF10");
    appendVarint(&out, quorpatch::CalculateCrc(newData.data(), newData.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes randomBytes(std::size_t n, std::uint32_t seed, int alphabet = 256)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (std::uint8_t &b : out)
        b = std::uint8_t(rng() % alphabet);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Round trips

struct PairCase
{
    const char *name;
    Bytes (*oldData)();
    Bytes (*newData)(const Bytes &oldData);
};

Bytes base()
{
    // Text-like with repeats, so that matches of every length occur.
    Bytes out;
    std::mt19937 rng(7);
    const char *words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
    while (out.size() < 40000) {
        const std::string w = words[rng() % 6];
        out.insert(out.end(), w.begin(), w.end());
        if (rng() % 7 == 0) {
            const Bytes noise = randomBytes(rng() % 40, rng());
            out.insert(out.end(), noise.begin(), noise.end());
        }
    }
    return out;
}

const PairCase kPairCases[] = {
    {"BothEmpty", [] { return Bytes(); }, [](const Bytes &) { return Bytes(); }},
    {"EmptyOld", [] { return Bytes(); }, [](const Bytes &) { return randomBytes(5000, 3); }},
    {"EmptyNew", base, [](const Bytes &) { return Bytes(); }},
    {"OneByteEach", [] { return Bytes {1}; }, [](const Bytes &) { return Bytes {2}; }},
    {"Identical", base, [](const Bytes &o) { return o; }},
    {"SmallEdits", base,
     [](const Bytes &o) {
         Bytes n = o;
         for (std::size_t i = 100; i < n.size(); i += 997)
             n[i] = std::uint8_t(n[i] ^ 0x5A);
         return n;
     }},
    {"Insertions", base,
     [](const Bytes &o) {
         Bytes n = o;
         for (std::size_t at = 30000; at > 0; at -= 7500) {
             const Bytes piece = randomBytes(300, std::uint32_t(at));
             n.insert(n.begin() + std::ptrdiff_t(at), piece.begin(), piece.end());
         }
         return n;
     }},
    {"Deletions", base,
     [](const Bytes &o) {
         Bytes n = o;
         n.erase(n.begin() + 20000, n.begin() + 26000);
         n.erase(n.begin() + 100, n.begin() + 180);
         return n;
     }},
    {"MovedBlock", base,
     [](const Bytes &o) {
         Bytes n(o.begin() + 25000, o.begin() + 35000);
         n.insert(n.end(), o.begin(), o.begin() + 25000);
         n.insert(n.end(), o.begin() + 35000, o.end());
         return n;
     }},
    {"LongIdenticalRun", [] { return Bytes(30000, 0); },
     [](const Bytes &) {
         Bytes n(40000, 0);
         n[15000] = 1;
         return n;
     }},
    {"Unrelated", [] { return randomBytes(20000, 11); },
     [](const Bytes &) { return randomBytes(25000, 12); }},
    {"SmallAlphabet", [] { return randomBytes(30000, 21, 2); },
     [](const Bytes &o) {
         Bytes n = o;
         for (std::size_t i = 0; i < n.size(); i += 50)
             n[i] = std::uint8_t(n[i] ^ 1);
         return n;
     }},
};

struct RoundTripCase
{
    PairCase pair;
    int method;
    bool header;
};

std::string roundTripName(const RoundTripCase &c)
{
    return std::string(c.pair.name) + "_Method" + std::to_string(c.method)
        + (c.header ? "_Header" : "_NoHeader");
}

void PrintTo(const RoundTripCase &c, std::ostream *os)
{
    *os << roundTripName(c);
}

class QvdiffRoundTripTest : public ::testing::TestWithParam<RoundTripCase>
{ };

TEST_P(QvdiffRoundTripTest, AppliedDiffGivesTheNewData)
{
    const RoundTripCase &c = GetParam();
    const Bytes oldData = c.pair.oldData();
    const Bytes newData = c.pair.newData(oldData);
    const Bytes patch = generate(oldData, newData, c.header, c.method);
    ASSERT_FALSE(patch.empty());
    SourceStream head(patch.data(), patch.size());
    if (c.header) {
        EXPECT_EQ(0, std::memcmp(patch.data(), "QVDIFF10", 8));
        std::uint32_t checksum = 0;
        ASSERT_TRUE(head.Skip(8) && head.ReadVarint32(&checksum));
        EXPECT_EQ(quorpatch::CalculateCrc(newData.data(), newData.size()), checksum);
    }
    std::uint8_t method = 0xEE;
    ASSERT_TRUE(head.Read(&method, 1));
    EXPECT_EQ(c.method, method);

    QvdiffLogLines logs;
    const ApplyResult result = apply(oldData, patch, c.header);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(newData, result.output);
    EXPECT_EQ(0u, result.patchLeft);
    EXPECT_TRUE(logs.lines.empty());
}

std::vector<RoundTripCase> roundTripCases()
{
    std::vector<RoundTripCase> cases;
    for (const PairCase &pair : kPairCases) {
        for (int method = 0; method <= 2; ++method) {
            for (bool header : {false, true})
                cases.push_back({pair, method, header});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, QvdiffRoundTripTest, ::testing::ValuesIn(roundTripCases()),
                         [](const ::testing::TestParamInfo<RoundTripCase> &info) {
                             return roundTripName(info.param);
                         });

// ---------------------------------------------------------------------------------------------
// The scan written out plainly (naive suffix sort, whole-prefix memcmp probes, one search per
// position), as a reference for the generator's faster search.

Bytes referenceRawDiff(const Bytes &o, const Bytes &nw)
{
    const long m = long(o.size());
    const long n = long(nw.size());
    std::vector<long> index(std::size_t(m) + 1);
    index[0] = m;
    for (long i = 0; i < m; ++i)
        index[std::size_t(i) + 1] = i;
    std::sort(index.begin() + 1, index.end(), [&o](long a, long b) {
        return std::lexicographical_compare(o.begin() + a, o.end(), o.begin() + b, o.end());
    });
    auto matchlen = [&](long p, long s) {
        long k = 0;
        while (p + k < m && s + k < n && o[std::size_t(p + k)] == nw[std::size_t(s + k)])
            ++k;
        return k;
    };
    auto search = [&](long s, long *pos) {
        long lo = 0;
        long hi = m;
        while (hi - lo > 1) {
            const long mid = lo + (hi - lo) / 2;
            const long p = index[std::size_t(mid)];
            const long cmp
                = std::memcmp(o.data() + p, nw.data() + s, std::size_t(std::min(m - p, n - s)));
            if (cmp < 0)
                lo = mid;
            else
                hi = mid;
        }
        const long x = matchlen(index[std::size_t(lo)], s);
        const long y = matchlen(index[std::size_t(hi)], s);
        *pos = x > y ? index[std::size_t(lo)] : index[std::size_t(hi)];
        return x > y ? x : y;
    };
    auto at = [&](long i) { return i < m ? int(o[std::size_t(i)]) : -1; };

    Bytes control;
    Bytes diff;
    Bytes extra;
    long scan = 0, len = 0, pos = 0, lastscan = 0, lastpos = 0, lastoffset = 0;
    while (scan < n) {
        long oldscore = 0;
        scan += len;
        long scsc = scan;
        for (; scan < n; ++scan) {
            len = search(scan, &pos);
            for (; scsc < scan + len; ++scsc)
                if (at(scsc + lastoffset) == nw[std::size_t(scsc)])
                    ++oldscore;
            if ((len == oldscore && len != 0) || len > oldscore + 8
                || (len >= 10241 && len > oldscore))
                break;
            if (at(scan + lastoffset) == nw[std::size_t(scan)])
                --oldscore;
        }
        if (len != oldscore || scan == n) {
            long s = 0, best = 0, lenf = 0;
            for (long i = 1; lastscan + i - 1 < scan && lastpos + i - 1 < m; ++i) {
                if (o[std::size_t(lastpos + i - 1)] == nw[std::size_t(lastscan + i - 1)])
                    ++s;
                if (2 * s - i > best) {
                    best = 2 * s - i;
                    lenf = i;
                }
            }
            long lenb = 0;
            if (scan < n) {
                s = 0;
                best = 0;
                for (long i = 1; scan >= lastscan + i && pos >= i; ++i) {
                    if (o[std::size_t(pos - i)] == nw[std::size_t(scan - i)])
                        ++s;
                    if (2 * s - i > best) {
                        best = 2 * s - i;
                        lenb = i;
                    }
                }
            }
            if (lastscan + lenf > scan - lenb) {
                const long overlap = lastscan + lenf - (scan - lenb);
                s = 0;
                best = 0;
                long lens = 0;
                for (long i = 0; i < overlap; ++i) {
                    if (nw[std::size_t(lastscan + lenf - overlap + i)]
                        == o[std::size_t(lastpos + lenf - overlap + i)])
                        ++s;
                    if (nw[std::size_t(scan - lenb + i)] == o[std::size_t(pos - lenb + i)])
                        --s;
                    if (s > best) {
                        best = s;
                        lens = i + 1;
                    }
                }
                lenf += lens - overlap;
                lenb -= lens;
            }
            for (long i = 0; i < lenf; ++i)
                diff.push_back(
                    std::uint8_t(nw[std::size_t(lastscan + i)] - o[std::size_t(lastpos + i)]));
            for (long i = lastscan + lenf; i < scan - lenb; ++i)
                extra.push_back(nw[std::size_t(i)]);
            appendSigned(&control, std::int32_t(lenf));
            appendSigned(&control, std::int32_t((scan - lenb) - (lastscan + lenf)));
            appendSigned(&control, std::int32_t((pos - lenb) - (lastpos + lenf)));
            lastscan = scan - lenb;
            lastpos = pos - lenb;
            lastoffset = pos - scan;
        }
    }
    Bytes out {0};
    appendVarint(&out, std::uint32_t(n));
    appendVarint(&out, std::uint32_t(control.size()));
    appendVarint(&out, std::uint32_t(diff.size()));
    appendVarint(&out, std::uint32_t(extra.size()));
    out.insert(out.end(), control.begin(), control.end());
    out.insert(out.end(), diff.begin(), diff.end());
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

void PrintTo(const PairCase &c, std::ostream *os)
{
    *os << c.name;
}

class QvdiffReferenceTest : public ::testing::TestWithParam<PairCase>
{ };

TEST_P(QvdiffReferenceTest, GeneratorMatchesThePlainScan)
{
    const Bytes oldData = GetParam().oldData();
    const Bytes newData = GetParam().newData(oldData);
    EXPECT_EQ(referenceRawDiff(oldData, newData), generate(oldData, newData, false, 0));
}

INSTANTIATE_TEST_SUITE_P(Table, QvdiffReferenceTest, ::testing::ValuesIn(kPairCases),
                         [](const ::testing::TestParamInfo<PairCase> &info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Exact bytes of the generator

// Code-like, text, table and noise stretches, then moved, inserted and edited: large enough
// for the long-match rule and for the sorter's deeper recursions.
Bytes mixedOld()
{
    std::mt19937 rng(41);
    Bytes out;
    while (out.size() < (3u << 20)) {
        const std::size_t length = 20000 + rng() % 60000;
        switch (rng() % 4) {
        case 0:
            for (std::size_t i = 0; i < length; ++i)
                out.push_back(std::uint8_t(0x48 + rng() % 6 * (rng() % 3)));
            break;
        case 1: {
            const Bytes text = base();
            out.insert(out.end(), text.begin(), text.begin() + std::ptrdiff_t(length % 40000));
            break;
        }
        case 2:
            for (std::uint32_t r = rng(), i = 0; i < length / 8; ++i, ++r) {
                const std::uint8_t record[8] = {
                    std::uint8_t(r), std::uint8_t(r >> 8), 0, 0, std::uint8_t(i % 7), 0, 0x10, 0};
                out.insert(out.end(), record, record + 8);
            }
            break;
        default: {
            const Bytes noise = randomBytes(length, rng());
            out.insert(out.end(), noise.begin(), noise.end());
        }
        }
    }
    return out;
}

Bytes mixedNew(const Bytes &o)
{
    std::mt19937 rng(43);
    Bytes n(o.begin(), o.begin() + std::ptrdiff_t(o.size() / 2));
    n.insert(n.end(), o.begin() + std::ptrdiff_t(o.size() * 3 / 4), o.end());
    n.insert(n.end(), o.begin() + std::ptrdiff_t(o.size() / 2 + 4096),
             o.begin() + std::ptrdiff_t(o.size() * 3 / 4));
    for (int k = 0; k < 40; ++k) {
        const Bytes piece = randomBytes(1 + rng() % 3000, rng());
        n.insert(n.begin() + std::ptrdiff_t(rng() % n.size()), piece.begin(), piece.end());
    }
    for (std::size_t at = rng() % 5000; at < n.size(); at += 1 + rng() % 20000)
        n[at] = std::uint8_t(rng());
    return n;
}

// Fingerprints of the diffs the generator has always made, every method with and without the
// header: a faster suffix sort or encoder must leave every byte as it was.
TEST(QvdiffGenerate, DiffsKeepTheirBytes)
{
    struct Fingerprint
    {
        const char *name;
        std::uint32_t crc;
        std::size_t length;
    };
    const Fingerprint expected[] = {
        {"BothEmpty", 0x43108CFFu, 93},     {"EmptyOld", 0x0F4D726Eu, 30143},
        {"EmptyNew", 0x43108CFFu, 93},      {"OneByteEach", 0x1036A69Eu, 129},
        {"Identical", 0xDE8938F9u, 80473},  {"SmallEdits", 0x1A28048Cu, 80876},
        {"Insertions", 0x43C48D0Cu, 87816}, {"Deletions", 0x20277529u, 68371},
        {"MovedBlock", 0xE9609A50u, 80575}, {"LongIdenticalRun", 0x135B1B37u, 80585},
        {"Unrelated", 0x1A7B4EC2u, 150175}, {"SmallAlphabet", 0x32CEADA6u, 61554},
        {"Mixed", 0xF6F2DB81u, 6667599},
    };
    std::vector<PairCase> cases(std::begin(kPairCases), std::end(kPairCases));
    cases.push_back({"Mixed", mixedOld, mixedNew});
    ASSERT_EQ(cases.size(), sizeof(expected) / sizeof(expected[0]));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Bytes oldData = cases[i].oldData();
        const Bytes newData = cases[i].newData(oldData);
        Bytes all;
        for (const bool header : {false, true}) {
            for (int method = 0; method <= 2; ++method) {
                const Bytes diff = generate(oldData, newData, header, method);
                all.insert(all.end(), diff.begin(), diff.end());
            }
        }
        EXPECT_STREQ(expected[i].name, cases[i].name);
        EXPECT_EQ(expected[i].length, all.size()) << cases[i].name;
        EXPECT_EQ(expected[i].crc, quorpatch::CalculateCrc(all.data(), all.size()))
            << std::hex << cases[i].name;
    }
}

TEST(QvdiffGenerate, IdenticalDataIsOneDiffRunWithTheLastMatchAdjustment)
{
    // One match covers everything; the triple is emitted after the scan passes the end, with the
    // position of that match, so the adjustment goes back by the run length.
    const Bytes data = bytesOf("abcdef");
    Bytes expected = {0x00, 0x06, 0x03, 0x06, 0x00, 0x0C, 0x00, 0x0B};
    expected.insert(expected.end(), 6, 0x00);
    EXPECT_EQ(expected, generate(data, data, false, 0));
    EXPECT_EQ(withHeader(expected, data), generate(data, data, true, 0));
}

TEST(QvdiffGenerate, OneChangedByteStaysInsideTheDiffRun)
{
    const Bytes oldData = bytesOf("abcdefghijklmnopqrstuvwxyz");
    Bytes newData = oldData;
    newData[13] = 'N';
    Bytes expected = {0x00, 0x1A, 0x03, 0x1A, 0x00, 0x34, 0x00, 0x17};
    Bytes diff(26, 0x00);
    diff[13] = 0xE0; // 'N' - 'n'
    expected.insert(expected.end(), diff.begin(), diff.end());
    EXPECT_EQ(expected, generate(oldData, newData, false, 0));
}

TEST(QvdiffGenerate, InsertionBecomesAnExtraRun)
{
    const Bytes oldData = bytesOf("abcdefghijklmnopqrstuvwxyz");
    const Bytes newData = bytesOf("abcdefghijklm0123456789nopqrstuvwxyz");
    Bytes expected = {0x00, 0x24, 0x06, 0x1A, 0x0A, 0x1A, 0x14, 0x00, 0x1A, 0x00, 0x19};
    expected.insert(expected.end(), 26, 0x00);
    const Bytes digits = bytesOf("0123456789");
    expected.insert(expected.end(), digits.begin(), digits.end());
    EXPECT_EQ(expected, generate(oldData, newData, false, 0));
}

TEST(QvdiffGenerate, EmptyOldDataGivesOneExtraRun)
{
    Bytes expected = {0x00, 0x03, 0x03, 0x00, 0x03, 0x00, 0x06, 0x00, 'x', 'y', 'z'};
    EXPECT_EQ(expected, generate(Bytes(), bytesOf("xyz"), false, 0));
    // Nothing new: no triple at all.
    EXPECT_EQ((Bytes {0x00, 0x00, 0x00, 0x00, 0x00}), generate(bytesOf("abc"), Bytes(), false, 0));
}

TEST(QvdiffGenerate, EmptyOldDataWithoutABufferIsStillEmptyOldData)
{
    // An empty std::vector or QByteArray hands over a null pointer.
    SourceStream oldStream;
    oldStream.Init(nullptr, 0);
    const Bytes newData = bytesOf("xyz");
    ExactBuffer newBuffer(newData);
    SourceStream newStream = newBuffer.stream();
    SinkStream out;
    ASSERT_TRUE(GenerateBinaryPatch(&oldStream, &newStream, &out, false, 0));
    EXPECT_EQ(generate(Bytes(), newData, false, 0), sinkBytes(out));
}

// The compressed methods hold exactly the strings of the raw method.
TEST(QvdiffGenerate, CompressedMethodsWrapTheRawBody)
{
    const Bytes oldData = base();
    Bytes newData = oldData;
    newData.insert(newData.begin() + 5000, 100, 0x42);
    newData[20000] ^= 0xFF;
    const Bytes raw = generate(oldData, newData, false, 0);

    SourceStream rawStream(raw.data(), raw.size());
    std::uint8_t method = 0;
    std::uint32_t size = 0;
    std::uint32_t lengths[3] = {};
    ASSERT_TRUE(rawStream.Read(&method, 1) && rawStream.ReadVarint32(&size));
    const Bytes rawBody(rawStream.Buffer(), rawStream.Buffer() + rawStream.Remaining());
    for (std::uint32_t &length : lengths)
        ASSERT_TRUE(rawStream.ReadVarint32(&length));
    ASSERT_EQ(lengths[0] + lengths[1] + lengths[2], rawStream.Remaining());
    EXPECT_EQ(newData.size(), size);

    const Bytes single = generate(oldData, newData, false, 2);
    SourceStream singleStream(single.data(), single.size());
    std::uint32_t singleSize = 0;
    ASSERT_TRUE(singleStream.Read(&method, 1) && singleStream.ReadVarint32(&singleSize));
    EXPECT_EQ(2, method);
    EXPECT_EQ(size, singleSize);
    SinkStream decoded;
    ASSERT_TRUE(quorpatch::Lzma2DecodeBlock(&singleStream, &decoded));
    EXPECT_TRUE(singleStream.Empty());
    EXPECT_EQ(rawBody, sinkBytes(decoded));

    const Bytes three = generate(oldData, newData, false, 1);
    SourceStream threeStream(three.data(), three.size());
    ASSERT_TRUE(threeStream.Read(&method, 1) && threeStream.ReadVarint32(&singleSize));
    EXPECT_EQ(1, method);
    EXPECT_EQ(size, singleSize);
    const std::uint8_t *part = raw.data() + raw.size() - (lengths[0] + lengths[1] + lengths[2]);
    for (std::uint32_t length : lengths) {
        SinkStream block;
        ASSERT_TRUE(quorpatch::Lzma2DecodeBlock(&threeStream, &block));
        EXPECT_EQ(Bytes(part, part + length), sinkBytes(block));
        part += length;
    }
    EXPECT_TRUE(threeStream.Empty());
}

TEST(QvdiffGenerate, AppendsToTheOutputAndRejectsUnknownMethods)
{
    const Bytes oldData = bytesOf("some old bytes");
    const Bytes newData = bytesOf("some new bytes");
    SourceStream oldStream(oldData.data(), oldData.size());
    SourceStream newStream(newData.data(), newData.size());
    SinkStream out;
    ASSERT_TRUE(out.Write("xy", 2));
    ASSERT_TRUE(GenerateBinaryPatch(&oldStream, &newStream, &out, false, 0));
    Bytes expected = bytesOf("xy");
    const Bytes patch = generate(oldData, newData, false, 0);
    expected.insert(expected.end(), patch.begin(), patch.end());
    EXPECT_EQ(expected, sinkBytes(out));

    QvdiffLogLines logs;
    for (int method : {-1, 3}) {
        SourceStream o(oldData.data(), oldData.size());
        SourceStream n(newData.data(), newData.size());
        SinkStream sink;
        EXPECT_FALSE(GenerateBinaryPatch(&o, &n, &sink, false, method));
    }
    EXPECT_EQ(2u, logs.lines.size());
}

TEST(QvdiffGenerate, OldDataOfTwoGibibytesIsRefused)
{
    // Untouched anonymous pages: the size check comes before any read of the old data.
    const std::size_t size = std::size_t(1) << 31;
    void *pages
        = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, pages);
    const Bytes newData = bytesOf("new");
    SourceStream oldStream(pages, size);
    SourceStream newStream(newData.data(), newData.size());
    SinkStream out;
    QvdiffLogLines logs;
    EXPECT_FALSE(GenerateBinaryPatch(&oldStream, &newStream, &out, false, 0));
    EXPECT_EQ(std::vector<std::string> {" old stream too large"}, logs.lines);
    EXPECT_EQ(0u, out.Length());
    munmap(pages, size);
}

// ---------------------------------------------------------------------------------------------
// Application of hand-made and hostile diffs

// The same body stored raw, as three LZMA2 blocks and as one: method 1 decodes the diff bytes
// into the output's own room, which must give what reading them apart gives, also for bodies
// whose lengths do not add up to the new size.
Bytes storedAs(int method, std::uint32_t newSize, const std::vector<Triple> &triples,
               const Bytes &diff, const Bytes &extra)
{
    const Bytes raw = rawDiff(newSize, triples, diff, extra);
    if (method == 0)
        return raw;
    Bytes control;
    for (const Triple &t : triples) {
        appendSigned(&control, t.diff);
        appendSigned(&control, t.extra);
        appendSigned(&control, t.adjust);
    }
    Bytes out {std::uint8_t(method)};
    appendVarint(&out, newSize);
    SinkStream blocks;
    if (method == 1) {
        EXPECT_TRUE(quorpatch::Lzma2EncodeBuffer(control.data(), control.size(), &blocks));
        EXPECT_TRUE(quorpatch::Lzma2EncodeBuffer(diff.data(), diff.size(), &blocks));
        EXPECT_TRUE(quorpatch::Lzma2EncodeBuffer(extra.data(), extra.size(), &blocks));
    } else {
        Bytes body = raw;
        body.erase(body.begin(), body.end() - std::ptrdiff_t(raw.size() - out.size()));
        EXPECT_TRUE(quorpatch::Lzma2EncodeBuffer(body.data(), body.size(), &blocks));
    }
    const Bytes encoded = sinkBytes(blocks);
    out.insert(out.end(), encoded.begin(), encoded.end());
    return out;
}

struct MethodCase
{
    const char *name;
    std::uint32_t newSize;
    std::vector<Triple> triples;
    Bytes diff;
    Bytes extra;
    bool ok;
};

const Bytes kMethodOld = randomBytes(5000, 21, 4);

std::vector<MethodCase> methodCases()
{
    const Bytes noise = randomBytes(4000, 22);
    auto part = [&noise](std::size_t from, std::size_t n) {
        return Bytes(noise.begin() + std::ptrdiff_t(from),
                     noise.begin() + std::ptrdiff_t(from + n));
    };
    return {
        {"consistent",
         3000,
         {{1000, 200, 50}, {1500, 300, -900}},
         part(0, 2500),
         part(2500, 500),
         true},
        {"extra first", 2000, {{0, 800, 0}, {1200, 0, 0}}, part(0, 1200), part(1200, 800), true},
        {"all extra", 3000, {{0, 3000, 0}}, Bytes(), part(0, 3000), true},
        {"all diff", 4000, {{4000, 0, 0}}, part(0, 4000), Bytes(), true},
        {"extra left over", 1500, {{1000, 500, 0}}, part(0, 1000), part(1000, 2000), true},
        {"long extra run, short size", 900, {{100, 800, 0}}, part(0, 100), part(100, 2500), true},
        {"diff left over", 1000, {{600, 400, 0}}, part(0, 3000), part(3000, 400), true},
        {"diff longer than the size", 500, {{400, 100, 0}}, part(0, 3000), part(3000, 100), true},
        {"size beyond the bytes", 3000, {{1000, 200, 0}}, part(0, 1000), part(1000, 200), false},
        {"run past the size", 1000, {{1200, 0, 0}}, part(0, 1200), Bytes(), false},
        {"extra past the size", 1000, {{500, 600, 0}}, part(0, 500), part(500, 600), false},
        {"run past the old data",
         1000,
         {{900, 100, 4500}, {900, 0, 0}},
         part(0, 1800),
         part(1800, 100),
         true},
        {"huge size", 0x7FFFFFF0u, {{1000, 200, 0}}, part(0, 1000), part(1000, 200), false},
        {"empty", 0, {}, Bytes(), Bytes(), true},
        // Extra bytes written before diff bytes that the gap does not leave room for.
        {"extra first, diff left over",
         1000,
         {{0, 600, 0}, {400, 0, 0}},
         part(0, 2000),
         part(2000, 600),
         true},
        {"extra first, beyond the gap",
         1000,
         {{0, 700, 0}, {300, 0, 0}},
         part(0, 800),
         part(800, 700),
         true},
    };
}

TEST(QvdiffApply, EveryMethodGivesTheSameResult)
{
    const Bytes &oldData = kMethodOld;
    const std::vector<MethodCase> cases = methodCases();
    for (const MethodCase &c : cases) {
        const ApplyResult plain
            = apply(oldData, storedAs(0, c.newSize, c.triples, c.diff, c.extra), false);
        EXPECT_EQ(c.ok, plain.ok) << c.name;
        for (const int method : {1, 2}) {
            const ApplyResult packed
                = apply(oldData, storedAs(method, c.newSize, c.triples, c.diff, c.extra), false);
            EXPECT_EQ(plain.ok, packed.ok) << c.name << ", method " << method;
            if (plain.ok) {
                EXPECT_TRUE(plain.output == packed.output) << c.name << ", method " << method;
            }
        }
    }
}

// A diff decoded into the output's own room behind its bytes, where the result is then built
// over it: every placement gives what the diff gives from a buffer of its own.
TEST(QvdiffApply, DiffInTheOutputsRoomGivesTheSameResult)
{
    const Bytes &oldData = kMethodOld;
    const Bytes prefix = bytesOf("<<");
    const Bytes rest = bytesOf("rest");
    struct Placement
    {
        const char *name;
        std::size_t lead; // room bytes before the diff
        bool spare; // room beyond the diff for moving it up
    };
    const Placement placements[] = {
        {"at the start, exact room", 0, false},      {"at the start, spare room", 0, true},
        {"after a few bytes, exact room", 3, false}, {"after a few bytes, spare room", 3, true},
        {"far behind the start", 3000, false},
    };
    for (const MethodCase &c : methodCases()) {
        for (const int method : {0, 1, 2}) {
            const Bytes patch = storedAs(method, c.newSize, c.triples, c.diff, c.extra);
            const ApplyResult plain = apply(oldData, patch, false);
            for (const Placement &p : placements) {
                SCOPED_TRACE(std::string(c.name) + ", method " + std::to_string(method) + ", "
                             + p.name);
                ExactBuffer oldBuffer(oldData);
                SourceStream oldStream = oldBuffer.stream();
                SinkStream out;
                ASSERT_TRUE(out.Write(prefix.data(), prefix.size()));
                const std::size_t used = p.lead + patch.size() + rest.size();
                ASSERT_TRUE(out.Reserve(prefix.size() + used + (p.spare ? used + 4000 : 0)));
                std::uint8_t *at = out.Buffer() + prefix.size() + p.lead;
                std::memcpy(at, patch.data(), patch.size());
                std::memcpy(at + patch.size(), rest.data(), rest.size());
                SourceStream patchStream(at, patch.size() + rest.size());
                const bool ok = ApplyBinaryPatch(&oldStream, &patchStream, &out, false);
                ASSERT_EQ(plain.ok, ok);
                if (!ok)
                    continue;
                Bytes expected = prefix;
                expected.insert(expected.end(), plain.output.begin(), plain.output.end());
                EXPECT_TRUE(expected == sinkBytes(out));
                EXPECT_EQ(rest.size(), patchStream.Remaining()) << "moved past the diff alone";
            }
        }
    }
}

TEST(QvdiffApply, HandMadeDiffWithNegativeAdjustment)
{
    // "wxyz" from "abcdwxyz": skip forward by 4, then copy; then reuse "ab" by jumping back.
    const Bytes oldData = bytesOf("abcdwxyz");
    const Bytes patch = rawDiff(9, {{0, 1, 4}, {4, 0, -8}, {2, 2, 0}}, Bytes(6, 0), bytesOf("!-+"));
    ASSERT_EQ(bytesOf("!wxyzab-+"), apply(oldData, patch, false).output);
}

TEST(QvdiffApply, EmptyNewSizeReadsNoControl)
{
    QvdiffLogLines logs;
    // Control length 0: a triple would have to be read if the loop ran.
    const ApplyResult result = apply(bytesOf("abc"), rawDiff(0, {}, {}, {}), false);
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.output.empty());
    EXPECT_TRUE(logs.lines.empty());
}

TEST(QvdiffApply, ReadsOneDiffAndLeavesTheRest)
{
    const Bytes oldData = bytesOf("0123456789");
    Bytes patches = generate(oldData, bytesOf("01234x6789"), false, 0);
    const Bytes second = generate(oldData, bytesOf("abc"), false, 1);
    patches.insert(patches.end(), second.begin(), second.end());

    SourceStream oldStream(oldData.data(), oldData.size());
    SourceStream patchStream(patches.data(), patches.size());
    SinkStream first;
    ASSERT_TRUE(ApplyBinaryPatch(&oldStream, &patchStream, &first, false));
    EXPECT_EQ(bytesOf("01234x6789"), sinkBytes(first));
    EXPECT_EQ(second.size(), patchStream.Remaining());
    SinkStream next;
    ASSERT_TRUE(ApplyBinaryPatch(&oldStream, &patchStream, &next, false));
    EXPECT_EQ(bytesOf("abc"), sinkBytes(next));
    EXPECT_TRUE(patchStream.Empty());
}

TEST(QvdiffApply, OldDataIsTheUnreadPartAndOutputIsAppended)
{
    const Bytes buffer = bytesOf("junkabcdef");
    const Bytes patch = generate(bytesOf("abcdef"), bytesOf("abcXef"), false, 0);
    SourceStream oldStream(buffer.data(), buffer.size());
    ASSERT_TRUE(oldStream.Skip(4));
    SourceStream patchStream(patch.data(), patch.size());
    SinkStream out;
    ASSERT_TRUE(out.Write("<<", 2));
    ASSERT_TRUE(ApplyBinaryPatch(&oldStream, &patchStream, &out, false));
    EXPECT_EQ(bytesOf("<<abcXef"), sinkBytes(out));
    EXPECT_EQ(6u, oldStream.Remaining());
}

TEST(QvdiffApply, HeaderChecksAndTheirTexts)
{
    const Bytes oldData = bytesOf("hello old world");
    const Bytes newData = bytesOf("hello new world");
    const Bytes body = generate(oldData, newData, false, 0);
    const Bytes good = withHeader(body, newData);
    EXPECT_TRUE(apply(oldData, good, true).ok);

    struct Case
    {
        const char *name;
        Bytes patch;
        const char *text; // nullptr: no line
    };
    Bytes badMagic = good;
    badMagic[7] = '1';
    const Case cases[] = {
        {"short magic", bytesOf("QVDIFF1"), nullptr},
        {"wrong magic", badMagic, "Corrupt patch header"},
        {"no checksum", bytesOf("QVDIFF10"), "Could not read crc"},
        {"cut checksum", Bytes(good.begin(), good.begin() + 10), "Could not read crc"},
        {"other checksum", withHeader(body, oldData), "crc mismatch"},
        {"body without header", body, "Corrupt patch header"},
    };
    for (const Case &c : cases) {
        QvdiffLogLines logs;
        const ApplyResult result = apply(oldData, c.patch, true);
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_EQ(c.patch.size(), result.patchLeft) << c.name << ": the patch stream moved";
        EXPECT_EQ(c.text ? std::vector<std::string> {c.text} : std::vector<std::string>(),
                  logs.lines)
            << c.name;
    }
    // Without the flag the checksum is not there and nothing is checked.
    const Bytes otherBody = generate(oldData, bytesOf("hello xyz world"), false, 0);
    EXPECT_TRUE(apply(oldData, otherBody, false).ok);
}

struct HostileCase
{
    const char *name;
    Bytes patch;
    const char *text; // the one expected line, or nullptr for none
};

std::vector<HostileCase> hostileCases()
{
    const Bytes six(6, 0);
    const Bytes abc = bytesOf("abc");
    Bytes lengthsPastEnd = {0x00, 0x03, 0x03, 0x03, 0x03, 0x00};
    Bytes hugeControl = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00};
    Bytes hugeNewSize = rawDiff(0xFFFFFFFFu, {{0, 3, 0}}, {}, abc);
    Bytes badVarint = {0x00, 0x01, 0x80, 0x80, 0x80, 0x80, 0x80};
    return {
        {"method 3", {0x03, 0x00}, "Invalid compression method"},
        {"method 255", {0xFF}, "Invalid compression method"},
        {"nothing", {}, nullptr},
        {"no new size", {0x00}, nullptr},
        {"broken control length", badVarint, nullptr},
        {"string lengths past the end", lengthsPastEnd, nullptr},
        {"huge control length", hugeControl, nullptr},
        {"control ends early", rawDiff(6, {{3, 0, 0}}, six, {}), "Corrupt patch reading control"},
        {"second run past old end", rawDiff(6, {{3, 0, 0}, {3, 0, 0}}, six, {}), nullptr},
        {"diff run past old end", rawDiff(6, {{6, 0, 0}}, six, {}), nullptr},
        {"negative diff length", rawDiff(3, {{-1, 3, 0}}, {}, abc), nullptr},
        {"negative extra length", rawDiff(3, {{0, -3, 0}}, {}, abc), nullptr},
        {"diff longer than diff bytes", rawDiff(3, {{3, 0, 0}}, {0, 0}, {}), nullptr},
        {"extra longer than extra bytes", rawDiff(4, {{0, 4, 0}}, {}, abc), nullptr},
        {"extra past new size", rawDiff(2, {{0, 3, 0}}, {}, abc), "Corrupt patch"},
        {"diff run past new size", rawDiff(2, {{3, 0, 0}}, {0, 0, 0}, {}), "Corrupt patch"},
        {"old position below zero", rawDiff(6, {{0, 0, -2}, {3, 3, 0}}, six, abc), nullptr},
        {"old position below zero, run back inside",
         rawDiff(6, {{0, 0, -2}, {4, 2, 0}}, Bytes(4, 0), abc), nullptr},
        {"old position past end", rawDiff(3, {{0, 0, 6}, {1, 0, 0}}, {0, 0, 0}, {}), nullptr},
        {"old position wraps", rawDiff(6, {{0, 0, 0x7FFFFFFF}, {2, 0, 0}}, six, {}), nullptr},
        {"diff length max", rawDiff(6, {{0x7FFFFFFF, 0, 0}}, six, {}), nullptr},
        {"extra length max", rawDiff(6, {{0, 0x7FFFFFFF, 0}}, {}, abc), nullptr},
        {"huge new size, small body", hugeNewSize, "Corrupt patch reading control"},
        {"broken lzma block", {0x01, 0x03, 0x1C, 0x05, 0x01, 0x02}, nullptr},
        {"broken single block", {0x02, 0x03, 0x1C}, nullptr},
    };
}

TEST(QvdiffApply, HostileDiffsFailInsideTheirBuffers)
{
    const Bytes oldData = bytesOf("abcd");
    for (const HostileCase &c : hostileCases()) {
        QvdiffLogLines logs;
        const ApplyResult result = apply(oldData, c.patch, false);
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_EQ(c.patch.size(), result.patchLeft) << c.name;
        if (c.text) {
            EXPECT_EQ(std::vector<std::string> {c.text}, logs.lines) << c.name;
        } else if (c.patch.empty() || c.patch[0] == 0) {
            EXPECT_TRUE(logs.lines.empty()) << c.name;
        }
    }
}

TEST(QvdiffApply, EveryTruncationFails)
{
    const Bytes oldData = base();
    Bytes newData = oldData;
    newData.insert(newData.begin() + 1000, 64, 0x11);
    newData[30000] ^= 0x80;
    for (int method = 0; method <= 2; ++method) {
        for (bool header : {false, true}) {
            const Bytes patch = generate(oldData, newData, header, method);
            // Every cut for the small header part, then a spread of cuts through the body.
            const std::size_t step = method == 0 ? 97 : 13;
            for (std::size_t cut = 0; cut < patch.size(); cut += (cut < 64 ? 1 : step)) {
                const Bytes part(patch.begin(), patch.begin() + std::ptrdiff_t(cut));
                EXPECT_FALSE(apply(oldData, part, header).ok)
                    << "method " << method << " header " << header << " cut " << cut;
            }
        }
    }
}

TEST(QvdiffApply, CorruptedBytesNeverReadOutside)
{
    // Random damage may still give a valid diff; what matters is that every read stays inside
    // the buffers (checked by the sanitizer build) and a success has the declared size.
    const Bytes oldData = base();
    Bytes newData = oldData;
    newData.erase(newData.begin() + 2000, newData.begin() + 2500);
    std::mt19937 rng(5);
    for (int method = 0; method <= 2; ++method) {
        const Bytes patch = generate(oldData, newData, false, method);
        for (int round = 0; round < 150; ++round) {
            Bytes damaged = patch;
            const int hits = 1 + int(rng() % 4);
            for (int h = 0; h < hits; ++h) {
                // Mostly in the head, where the lengths and control bytes are.
                const std::size_t at = (rng() % 2) ? rng() % std::min<std::size_t>(40, patch.size())
                                                   : rng() % patch.size();
                damaged[at] = std::uint8_t(rng());
            }
            const ApplyResult result = apply(oldData, damaged, false);
            if (result.ok) {
                SourceStream s(damaged.data(), damaged.size());
                std::uint8_t m = 0;
                std::uint32_t size = 0;
                ASSERT_TRUE(s.Read(&m, 1) && s.ReadVarint32(&size));
                EXPECT_EQ(size, result.output.size());
            }
        }
    }
}

} // namespace
