#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "nothrowvector.h"

using namespace quorpatch;

namespace {

template<typename T> struct VariantInfo;
template<> struct VariantInfo<int *>
{
    static int *item(std::size_t i) { return reinterpret_cast<int *>(i * 8 + 8); }
    static constexpr std::size_t initial = 32;
};
template<> struct VariantInfo<u32>
{
    static u32 item(std::size_t i) { return u32(i * 3 + 1); }
    static constexpr std::size_t initial = 64;
};
template<> struct VariantInfo<u8>
{
    static u8 item(std::size_t i) { return u8(i * 7 + 1); }
    static constexpr std::size_t initial = 256;
};

template<typename T> class QuorpatchNoThrowVectorTest : public ::testing::Test
{
protected:
    void TearDown() override { SetAllocationFailureAfter(-1); }
    std::vector<T> items(std::size_t n, std::size_t from = 0)
    {
        std::vector<T> result;
        for (std::size_t i = 0; i < n; ++i)
            result.push_back(VariantInfo<T>::item(from + i));
        return result;
    }
};

typedef ::testing::Types<int *, u32, u8> Variants;
TYPED_TEST_SUITE(QuorpatchNoThrowVectorTest, Variants);

} // namespace

TYPED_TEST(QuorpatchNoThrowVectorTest, ReserveAllocatesAtLeastTheInitialRoom)
{
    const std::size_t initial = VariantInfo<TypeParam>::initial;
    NoThrowVector<TypeParam> vector;
    EXPECT_EQ(vector.capacity(), 0u);
    ASSERT_TRUE(vector.Reserve(10));
    EXPECT_EQ(vector.capacity(), initial);
    const TypeParam *buffer = vector.data();
    EXPECT_TRUE(vector.Reserve(initial - 1));
    EXPECT_EQ(vector.data(), buffer) << "a smaller reserve keeps the buffer";
    ASSERT_TRUE(vector.Reserve(initial + 5));
    EXPECT_EQ(vector.capacity(), initial + 5);
    EXPECT_EQ(vector.size(), 0u);
}

TYPED_TEST(QuorpatchNoThrowVectorTest, AppendDoublesAndKeepsContents)
{
    const std::size_t initial = VariantInfo<TypeParam>::initial;
    NoThrowVector<TypeParam> vector;
    EXPECT_TRUE(vector.Append(nullptr, 0));
    EXPECT_EQ(vector.capacity(), 0u) << "appending nothing changes nothing";

    const auto first = this->items(1);
    ASSERT_TRUE(vector.Append(first.data(), 1));
    EXPECT_EQ(vector.capacity(), initial);

    const auto more = this->items(initial, 1);
    ASSERT_TRUE(vector.Append(more.data(), more.size()));
    EXPECT_EQ(vector.capacity(), initial * 2);

    const auto lots = this->items(initial * 3, initial + 1);
    ASSERT_TRUE(vector.Append(lots.data(), lots.size()));
    EXPECT_EQ(vector.capacity(), initial * 8) << "doubled until it holds everything";
    ASSERT_EQ(vector.size(), initial * 4 + 1);
    for (std::size_t i = 0; i < vector.size(); ++i)
        ASSERT_EQ(vector[i], VariantInfo<TypeParam>::item(i)) << i;

    // Appending a part of itself while it has to grow.
    NoThrowVector<TypeParam> self;
    const auto some = this->items(initial);
    ASSERT_TRUE(self.Append(some.data(), some.size()));
    ASSERT_TRUE(self.Append(self.data(), self.size()));
    ASSERT_EQ(self.size(), 2 * initial);
    EXPECT_EQ(self[initial + 3], some[3]);
}

TYPED_TEST(QuorpatchNoThrowVectorTest, FailedAllocationIsSticky)
{
    const auto some = this->items(5);
    // Growth fails.
    NoThrowVector<TypeParam> vector;
    ASSERT_TRUE(vector.Append(some.data(), some.size()));
    {
        ScopedAllocationFailure failNext(0);
        const auto lots = this->items(1000);
        EXPECT_FALSE(vector.Append(lots.data(), lots.size()));
    }
    EXPECT_TRUE(vector.failed());
    EXPECT_EQ(vector.size(), 0u);
    EXPECT_EQ(vector.data(), nullptr);
    EXPECT_EQ(vector.capacity(), 0xFFFFFFFFu);
    // The allocator works again; the vector stays failed.
    EXPECT_FALSE(vector.Append(some.data(), some.size()));
    EXPECT_FALSE(vector.Append(some.data(), 0));
    EXPECT_FALSE(vector.Reserve(0));
    EXPECT_FALSE(vector.Reserve(1));

    // The first reserve fails.
    NoThrowVector<TypeParam> other;
    SetAllocationFailureAfter(0);
    EXPECT_FALSE(other.Reserve(1));
    EXPECT_TRUE(other.failed());
    EXPECT_FALSE(other.Append(some.data(), 1));
}

TYPED_TEST(QuorpatchNoThrowVectorTest, AppendBeyondTheElementLimitFails)
{
    NoThrowVector<TypeParam> vector;
    const auto one = this->items(1);
    ASSERT_TRUE(vector.Append(one.data(), 1));
    EXPECT_FALSE(vector.Append(one.data(), NoThrowVectorTraits<TypeParam>::kLimit));
    EXPECT_FALSE(vector.failed()) << "refused before any allocation";
    EXPECT_EQ(vector.size(), 1u);
}

TEST(QuorpatchNoThrowVectorBytesTest, ElementLimits)
{
    EXPECT_EQ(NoThrowVectorTraits<void *>::kLimit, (std::size_t(1) << 61) - 1);
    EXPECT_EQ(NoThrowVectorTraits<u32>::kLimit, (std::size_t(1) << 62) - 1);
    EXPECT_EQ(NoThrowVectorTraits<u8>::kLimit, ~std::size_t(0));
}

TEST(QuorpatchNoThrowVectorBytesTest, ResizeFillsOrShrinks)
{
    NoThrowVector<u8> bytes;
    ASSERT_TRUE(bytes.Resize(10, 0xAB));
    EXPECT_EQ(bytes.size(), 10u);
    EXPECT_EQ(bytes.capacity(), 256u);
    const u8 tail[] = {1, 2};
    ASSERT_TRUE(bytes.Append(tail, 2));
    ASSERT_TRUE(bytes.Resize(300, 0));
    EXPECT_EQ(bytes.capacity(), 300u);
    EXPECT_EQ(bytes[9], 0xAB);
    EXPECT_EQ(bytes[11], 2);
    EXPECT_EQ(bytes[299], 0);

    const u8 *buffer = bytes.data();
    ASSERT_TRUE(bytes.Resize(4, 0xFF));
    EXPECT_EQ(bytes.size(), 4u);
    EXPECT_EQ(bytes.capacity(), 300u);
    EXPECT_EQ(bytes.data(), buffer);

    ScopedAllocationFailure failNext(0);
    EXPECT_FALSE(bytes.Resize(1000, 0));
    EXPECT_TRUE(bytes.failed());
}

TEST(QuorpatchNoThrowVectorBytesTest, ObjectsOnTheFailingAllocator)
{
    struct Pair
    {
        Pair(int a, int b)
            : sum(a + b)
        { }
        int sum;
    };
    Pair *pair = NewNoThrow<Pair>(2, 3);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->sum, 5);
    DeleteNoThrow(pair);

    ScopedAllocationFailure failSecond(1);
    Pair *first = NewNoThrow<Pair>(1, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(NewNoThrow<Pair>(1, 1), nullptr);
    Pair *third = NewNoThrow<Pair>(1, 1);
    EXPECT_NE(third, nullptr) << "only one allocation fails";
    DeleteNoThrow(first);
    DeleteNoThrow(third);
}
