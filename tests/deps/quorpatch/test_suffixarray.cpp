#include "suffixarray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using quorpatch::buildBwt;
using quorpatch::buildBwtInt;
using quorpatch::buildSuffixArray;
using quorpatch::buildSuffixArrayInt;

namespace {

template<typename Symbol>
std::vector<std::int32_t> naiveSuffixArray(const std::vector<Symbol> &text)
{
    std::vector<std::int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&text](std::int32_t a, std::int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                            text.end());
    });
    return sa;
}

struct TextCase
{
    const char *name;
    int size;
    int alphabet; // symbols drawn from [0, alphabet)
    int period; // 0: random; else a random block of this length repeated
};

std::vector<std::uint8_t> makeText(const TextCase &c, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> symbol(0, c.alphabet - 1);
    std::vector<std::uint8_t> text(c.size);
    for (int i = 0; i < c.size; ++i) {
        if (c.period > 0 && i >= c.period)
            text[i] = text[i - c.period];
        else
            text[i] = static_cast<std::uint8_t>(symbol(rng));
    }
    return text;
}

// A valid pointer also for an empty vector: a null text is an argument error.
template<typename T> T *at(std::vector<T> &v)
{
    static T spare[1];
    return v.empty() ? spare : v.data();
}
template<typename T> const T *at(const std::vector<T> &v)
{
    static const T spare[1] = {};
    return v.empty() ? spare : v.data();
}

void PrintTo(const TextCase &c, std::ostream *os)
{
    *os << c.name;
}

class SuffixArrayTextTest : public ::testing::TestWithParam<TextCase>
{ };

TEST_P(SuffixArrayTextTest, MatchesNaiveSortOfBytes)
{
    const TextCase &c = GetParam();
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const std::vector<std::uint8_t> text = makeText(c, seed);
        std::vector<std::int32_t> sa(text.size() + 1, -7);
        ASSERT_EQ(0, buildSuffixArray(at(text), at(sa), c.size));
        EXPECT_EQ(-7, sa[text.size()]) << "wrote past n";
        sa.resize(text.size());
        ASSERT_EQ(naiveSuffixArray(text), sa) << "seed " << seed;
    }
}

TEST_P(SuffixArrayTextTest, MatchesNaiveSortOfIntegers)
{
    const TextCase &c = GetParam();
    const std::vector<std::uint8_t> bytes = makeText(c, 11);
    // Spread the symbols so that the integer alphabet really exceeds one byte.
    std::vector<std::int32_t> text(bytes.begin(), bytes.end());
    for (std::int32_t &s : text)
        s = s * 1000 + 3;
    const int k = (c.alphabet - 1) * 1000 + 4;
    std::vector<std::int32_t> sa(text.size());
    ASSERT_EQ(0, buildSuffixArrayInt(at(text), at(sa), c.size, k));
    EXPECT_EQ(naiveSuffixArray(text), sa);
}

// Inverts a transform with the end marker put back at the primary index.
template<typename Symbol>
std::vector<Symbol> inverseBwt(const std::vector<Symbol> &last, int primary)
{
    const std::size_t n = last.size();
    if (n == 0)
        return {};
    // Rows 0..n of the full last column; the end marker is row `primary`.
    std::vector<std::int64_t> column(n + 1);
    for (std::size_t row = 0, j = 0; row <= n; ++row)
        column[row]
            = (static_cast<int>(row) == primary) ? -1 : static_cast<std::int64_t>(last[j++]);
    std::vector<std::size_t> order(n + 1);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&column](std::size_t a, std::size_t b) { return column[a] < column[b]; });
    // order[i]: the row whose last symbol is the first symbol of row i; that row starts one
    // symbol further on in the text.
    std::vector<Symbol> text(n);
    std::size_t row = 0; // the rotation that starts with the end marker
    for (std::size_t i = 0; i < n; ++i) {
        row = order[row];
        text[i] = static_cast<Symbol>(column[order[row]]);
    }
    return text;
}

TEST_P(SuffixArrayTextTest, TransformsInvertToTheText)
{
    const TextCase &c = GetParam();
    const std::vector<std::uint8_t> text = makeText(c, 5);
    std::vector<std::uint8_t> out(text.size());
    std::vector<std::int32_t> work(text.size());
    const int primary = buildBwt(at(text), at(out), at(work), c.size);
    ASSERT_GE(primary, 0);
    EXPECT_EQ(text, inverseBwt(out, primary));

    std::vector<std::int32_t> wide(text.begin(), text.end());
    std::vector<std::int32_t> wideOut(text.size());
    EXPECT_EQ(primary, buildBwtInt(at(wide), at(wideOut), at(work), c.size, 256));
    EXPECT_EQ(wide, inverseBwt(wideOut, primary));
}

const TextCase kTextCases[] = {
    {"Empty", 0, 256, 0},
    {"OneByte", 1, 256, 0},
    {"TwoBytes", 2, 2, 0},
    {"RandomBinary", 3000, 2, 0},
    {"RandomFourSymbols", 3000, 4, 0},
    {"RandomBytes", 5000, 256, 0},
    {"AllEqual", 2000, 1, 0},
    {"PeriodTwo", 2001, 256, 2},
    {"PeriodSeven", 3000, 3, 7},
    {"PeriodSixtyFour", 4096, 256, 64},
    {"LongPeriodSmallAlphabet", 5000, 2, 333},
};

INSTANTIATE_TEST_SUITE_P(Table, SuffixArrayTextTest, ::testing::ValuesIn(kTextCases),
                         [](const ::testing::TestParamInfo<TextCase> &info) {
                             return std::string(info.param.name);
                         });

// The byte builder against the induced-sorting core (reached through the integer entry point
// with a byte alphabet), over texts of many kinds and lengths: both must give the one array.
enum class Kind { Random, Binary, AllEqual, Periodic, Words };

std::vector<std::uint8_t> makePropertyText(Kind kind, int length, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> text(length);
    const int period = 1 + int(rng() % 97);
    static const char *const words[] = {"alpha ", "beta ", "gamma ", "\n", "delta ", "beta\t"};
    for (int i = 0; i < length;) {
        switch (kind) {
        case Kind::Random:
            text[i++] = std::uint8_t(rng());
            break;
        case Kind::Binary:
            text[i++] = std::uint8_t(rng() & 1);
            break;
        case Kind::AllEqual:
            text[i++] = 0xA5;
            break;
        case Kind::Periodic:
            text[i] = i < period ? std::uint8_t(rng()) : text[i - period];
            // An edit now and then, so that the periods are not all alike.
            if (i >= period && rng() % 5000 == 0)
                text[i] ^= 1;
            ++i;
            break;
        case Kind::Words:
            for (const char *w = words[rng() % 6]; *w && i < length; ++w)
                text[i++] = std::uint8_t(*w);
            break;
        }
    }
    return text;
}

TEST(SuffixArrayBuild, ByteBuilderAgreesWithInducedSortingCore)
{
    const Kind kinds[] = {Kind::Random, Kind::Binary, Kind::AllEqual, Kind::Periodic, Kind::Words};
    std::vector<int> lengths = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 64, 100, 255, 256, 257};
    for (int length = 300; length < (1 << 21); length = length * 3 + 7)
        lengths.push_back(length);
    std::uint32_t seed = 1;
    for (const Kind kind : kinds) {
        for (const int length : lengths) {
            const std::vector<std::uint8_t> text = makePropertyText(kind, length, seed++);
            std::vector<std::int32_t> sa(text.size() + 1, -7);
            ASSERT_EQ(0, buildSuffixArray(at(text), at(sa), length));
            EXPECT_EQ(-7, sa[text.size()]) << "wrote past n";
            sa.resize(text.size());

            const std::vector<std::int32_t> wide(text.begin(), text.end());
            std::vector<std::int32_t> core(text.size());
            ASSERT_EQ(0, buildSuffixArrayInt(at(wide), at(core), length, 256));
            ASSERT_EQ(core, sa) << "kind " << int(kind) << ", length " << length;
            if (length <= 2000) {
                ASSERT_EQ(naiveSuffixArray(text), sa) << "kind " << int(kind) << ", " << length;
            }

            std::vector<std::uint8_t> last(text.size());
            std::vector<std::int32_t> wideLast(text.size());
            std::vector<std::int32_t> work(text.size());
            const int primary = buildBwt(at(text), at(last), at(work), length);
            ASSERT_EQ(primary, buildBwtInt(at(wide), at(wideLast), at(work), length, 256));
            ASSERT_EQ(wideLast, std::vector<std::int32_t>(last.begin(), last.end()));
        }
    }
}

TEST(SuffixArrayBuild, KnownSmallArrays)
{
    const std::string banana = "banana";
    std::vector<std::int32_t> sa(banana.size());
    ASSERT_EQ(
        0, buildSuffixArray(reinterpret_cast<const std::uint8_t *>(banana.data()), sa.data(), 6));
    EXPECT_EQ((std::vector<std::int32_t> {5, 3, 1, 0, 4, 2}), sa);

    std::vector<std::uint8_t> out(banana.size());
    EXPECT_EQ(
        4,
        buildBwt(reinterpret_cast<const std::uint8_t *>(banana.data()), out.data(), sa.data(), 6));
    // Last column of sorted rotations of "banana$" with the end marker removed.
    EXPECT_EQ("annbaa", std::string(out.begin(), out.end()));
}

TEST(SuffixArrayBuild, OneByteAndEmptyInputs)
{
    const std::uint8_t byte = 0x42;
    std::int32_t sa[2] = {-5, -5};
    EXPECT_EQ(0, buildSuffixArray(&byte, sa, 1));
    EXPECT_EQ(0, sa[0]);
    EXPECT_EQ(-5, sa[1]);
    EXPECT_EQ(0, buildSuffixArray(&byte, sa, 0));
    EXPECT_EQ(-5, sa[1]);
    std::uint8_t out = 0;
    EXPECT_EQ(1, buildBwt(&byte, &out, sa, 1));
    EXPECT_EQ(0x42, out);
    EXPECT_EQ(0, buildBwt(&byte, &out, sa, 0));
}

TEST(SuffixArrayBuild, RejectsBadArguments)
{
    std::uint8_t text[4] = {1, 2, 3, 4};
    std::int32_t sa[4] = {};
    std::int32_t wide[4] = {0, 1, 2, 9};
    std::uint8_t out[4] = {};
    EXPECT_EQ(-1, buildSuffixArray(nullptr, sa, 4));
    EXPECT_EQ(-1, buildSuffixArray(text, nullptr, 4));
    EXPECT_EQ(-1, buildSuffixArray(text, sa, -1));
    EXPECT_EQ(-1, buildSuffixArrayInt(wide, sa, 4, 0));
    EXPECT_EQ(-1, buildSuffixArrayInt(wide, sa, 4, 9)) << "symbol 9 lies outside an alphabet of 9";
    EXPECT_EQ(0, buildSuffixArrayInt(wide, sa, 4, 10));
    EXPECT_EQ(-1, buildBwt(text, nullptr, sa, 4));
    EXPECT_EQ(-1, buildBwt(text, out, nullptr, 4));
    EXPECT_EQ(-1, buildBwt(text, out, sa, -3));
}

TEST(SuffixArrayBuild, LargeRepetitiveTextIsSorted)
{
    // Too long for the naive sort: check that neighbours are in order instead.
    std::mt19937 rng(99);
    std::vector<std::uint8_t> text(1 << 18);
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = (i % 5000 < 4000 && i >= 5000) ? text[i - 5000]
                                                 : static_cast<std::uint8_t>(rng() % 3);
    std::vector<std::int32_t> sa(text.size());
    ASSERT_EQ(0, buildSuffixArray(text.data(), sa.data(), static_cast<int>(text.size())));
    std::vector<bool> seen(text.size());
    for (std::int32_t p : sa) {
        ASSERT_TRUE(p >= 0 && p < static_cast<std::int32_t>(text.size()));
        ASSERT_FALSE(seen[p]);
        seen[p] = true;
    }
    for (std::size_t i = 1; i < sa.size(); ++i) {
        ASSERT_TRUE(std::lexicographical_compare(text.begin() + sa[i - 1], text.end(),
                                                 text.begin() + sa[i], text.end()))
            << "at " << i;
    }
}

} // namespace
