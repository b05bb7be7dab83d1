#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log.h"
#include "nothrowvector.h"
#include "streams.h"

using namespace quorpatch;

namespace {

typedef std::vector<u8> Bytes;

Bytes bytesOf(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes bytesOf(const SourceStream &source)
{
    return Bytes(source.Buffer(), source.Buffer() + source.Remaining());
}

Bytes bytesOf(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

void writeText(SinkStream *sink, const std::string &text)
{
    ASSERT_TRUE(sink->Write(text.data(), text.size()));
}

class QuorpatchStreamsTest : public ::testing::Test
{
protected:
    void TearDown() override { SetAllocationFailureAfter(-1); }
};

} // namespace

TEST_F(QuorpatchStreamsTest, Varint32HasItsShortestForm)
{
    const struct
    {
        u32 value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {1, {0x01}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x80, 0x80, 0x01}},
        {(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
        {1u << 28, {0x80, 0x80, 0x80, 0x80, 0x01}},
        {20090218, {0xEA, 0x9A, 0xCA, 0x09}},
        {4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto &c : cases) {
        SinkStream sink;
        ASSERT_TRUE(sink.WriteVarint32(c.value));
        EXPECT_EQ(bytesOf(sink), c.bytes) << c.value;

        SourceStream source;
        source.Init(sink);
        u32 read = 0;
        ASSERT_TRUE(source.ReadVarint32(&read));
        EXPECT_EQ(read, c.value);
        EXPECT_TRUE(source.Empty());
    }
}

TEST_F(QuorpatchStreamsTest, Varint32Reader)
{
    const struct
    {
        Bytes bytes;
        bool ok;
        u32 value;
        std::size_t consumed;
    } cases[] = {
        {{0x00}, true, 0, 1},
        {{0x81, 0x00, 0x55}, true, 1, 2},
        // Longer forms than needed are read all the same.
        {{0x80, 0x80, 0x80, 0x80, 0x00}, true, 0, 5},
        // Only the low four bits of a fifth byte count.
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 4294967295u, 5},
        {{0x80, 0x80, 0x80, 0x80, 0x71}, true, 1u << 28, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x80}, false, 0, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x01}, false, 0, 0},
        {{0x80}, false, 0, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, false, 0, 0},
        {{}, false, 0, 0},
    };
    for (const auto &c : cases) {
        SourceStream source(c.bytes.data(), c.bytes.size());
        u32 value = 12345;
        EXPECT_EQ(source.ReadVarint32(&value), c.ok) << ::testing::PrintToString(c.bytes);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(source.Position(), c.consumed);
        } else {
            EXPECT_EQ(value, 12345u) << "a failed read stores nothing";
            EXPECT_EQ(source.Position(), 0u) << "a failed read does not move";
        }
        const u8 *end = ParseVarint32(c.bytes.data(), c.bytes.data() + c.bytes.size(), &value);
        EXPECT_EQ(end != nullptr, c.ok);
    }
}

TEST_F(QuorpatchStreamsTest, SignedVarint32UsesZigzag)
{
    const struct
    {
        i32 value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {INT_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
        {INT_MAX, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto &c : cases) {
        SinkStream sink;
        ASSERT_TRUE(sink.WriteSignedVarint32(c.value));
        EXPECT_EQ(bytesOf(sink), c.bytes) << c.value;
        SourceStream source;
        source.Init(sink);
        i32 read = 0;
        ASSERT_TRUE(source.ReadSignedVarint32(&read));
        EXPECT_EQ(read, c.value);
    }
    const Bytes truncated = {0xFF};
    SourceStream source(truncated.data(), truncated.size());
    i32 value;
    EXPECT_FALSE(source.ReadSignedVarint32(&value));
}

TEST_F(QuorpatchStreamsTest, SourceStreamBounds)
{
    const std::string text = "0123456789";
    SourceStream source(text.data(), text.size());
    char buffer[16] = {};

    ASSERT_TRUE(source.Read(buffer, 3));
    EXPECT_EQ(std::string(buffer, 3), "012");
    EXPECT_FALSE(source.Read(buffer, 8));
    EXPECT_FALSE(source.Skip(8));
    EXPECT_EQ(source.Remaining(), 7u) << "failed calls leave the cursor";

    SourceStream sub;
    EXPECT_TRUE(source.SubstreamAt(2, 3, &sub));
    EXPECT_EQ(bytesOf(sub), bytesOf("567"));
    EXPECT_EQ(source.Remaining(), 7u) << "SubstreamAt does not move";
    EXPECT_TRUE(source.SubstreamAt(7, 0, &sub));
    EXPECT_TRUE(sub.Empty());
    EXPECT_FALSE(source.SubstreamAt(8, 0, &sub));
    EXPECT_FALSE(source.SubstreamAt(5, 3, &sub));
    EXPECT_FALSE(source.SubstreamAt(1, ~std::size_t(0), &sub)) << "no wrap-around";

    EXPECT_FALSE(source.TakeSubstream(8, &sub));
    ASSERT_TRUE(source.TakeSubstream(4, &sub));
    EXPECT_EQ(bytesOf(sub), bytesOf("3456"));
    EXPECT_EQ(bytesOf(source), bytesOf("789"));
    ASSERT_TRUE(source.Skip(3));
    EXPECT_TRUE(source.Empty());
    EXPECT_TRUE(source.Read(buffer, 0));

    SourceStream empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_FALSE(empty.Read(buffer, 1));
}

TEST_F(QuorpatchStreamsTest, SinkGrowsByDoublingFrom256)
{
    SinkStream sink;
    EXPECT_TRUE(sink.Write(nullptr, 0));
    EXPECT_EQ(sink.Capacity(), 0u);

    const Bytes data(300, 0x5A);
    ASSERT_TRUE(sink.Write(data.data(), data.size()));
    EXPECT_EQ(sink.Capacity(), 512u);
    EXPECT_EQ(sink.Length(), 300u);

    SinkStream reserved;
    ASSERT_TRUE(reserved.Reserve(10));
    EXPECT_EQ(reserved.Capacity(), 256u);
    ASSERT_TRUE(reserved.Reserve(300));
    EXPECT_EQ(reserved.Capacity(), 300u);
    EXPECT_TRUE(reserved.Reserve(5));
    EXPECT_EQ(reserved.Capacity(), 300u);
    ASSERT_TRUE(reserved.Write(data.data(), 200));
    ASSERT_TRUE(reserved.Write(data.data(), 200));
    EXPECT_EQ(reserved.Capacity(), 600u);

    // Writing the sink's own bytes while it has to grow.
    SinkStream self;
    writeText(&self, std::string(256, 'a'));
    ASSERT_TRUE(self.Write(self.Buffer(), self.Length()));
    EXPECT_EQ(bytesOf(self), bytesOf(std::string(512, 'a')));
}

TEST_F(QuorpatchStreamsTest, FailedSinkStaysFailedUntilReleased)
{
    SinkStream sink;
    writeText(&sink, "kept so far");
    SetAllocationFailureAfter(0);
    const Bytes data(1000, 1);
    EXPECT_FALSE(sink.Write(data.data(), data.size()));
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(sink.Capacity(), 0xFFFFFFFFu);
    EXPECT_EQ(sink.Length(), 0u);
    EXPECT_EQ(sink.Buffer(), nullptr);

    EXPECT_FALSE(sink.Write(data.data(), 0));
    EXPECT_FALSE(sink.WriteVarint32(1));
    EXPECT_FALSE(sink.Reserve(0));
    EXPECT_FALSE(sink.Commit(0));

    sink.Release();
    EXPECT_FALSE(sink.Failed());
    EXPECT_TRUE(sink.WriteVarint32(1));

    // A capacity that would read as the failed marker is refused.
    SinkStream marker;
    EXPECT_FALSE(marker.Reserve(0xFFFFFFFFu));
    EXPECT_TRUE(marker.Failed());
}

TEST_F(QuorpatchStreamsTest, AppendMovesTheOtherSink)
{
    SinkStream target;
    writeText(&target, "head-");
    SinkStream other;
    writeText(&other, "tail");
    ASSERT_TRUE(target.Append(&other));
    EXPECT_EQ(bytesOf(target), bytesOf("head-tail"));
    EXPECT_EQ(other.Buffer(), nullptr);
    EXPECT_EQ(other.Length(), 0u);
    EXPECT_EQ(other.Capacity(), 0u);

    // The target cannot grow: the other keeps its bytes.
    writeText(&other, std::string(600, 'x'));
    SetAllocationFailureAfter(0);
    EXPECT_FALSE(target.Append(&other));
    EXPECT_EQ(other.Length(), 600u);

    // A failed sink has lost its bytes and cannot be appended as if empty.
    SinkStream fresh;
    SinkStream failed;
    SetAllocationFailureAfter(0);
    EXPECT_FALSE(failed.Reserve(1));
    EXPECT_FALSE(fresh.Append(&failed));
    EXPECT_TRUE(failed.Failed());
}

TEST_F(QuorpatchStreamsTest, CommitMarksReservedRoomAsWritten)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Reserve(4));
    std::memcpy(sink.Buffer(), "abcd", 4);
    EXPECT_FALSE(sink.Commit(257));
    ASSERT_TRUE(sink.Commit(4));
    EXPECT_EQ(bytesOf(sink), bytesOf("abcd"));
}

TEST_F(QuorpatchStreamsTest, WriteSizeAcceptsThirtyTwoBits)
{
    SinkStream sink;
    ASSERT_TRUE(sink.WriteSize(0xFFFFFFFFu));
    EXPECT_EQ(bytesOf(sink), (Bytes {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST_F(QuorpatchStreamsTest, CrcIsTheComplementOfCrc32)
{
    const struct
    {
        std::string text;
        u32 crc;
    } cases[] = {
        {"abc", 0xCADBBE3Du},
        {"", 0xFFFFFFFFu},
        {"123456789", ~0xCBF43926u},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CalculateCrc(reinterpret_cast<const u8 *>(c.text.data()), c.text.size()), c.crc)
            << c.text;
    }
    EXPECT_EQ(CalculateCrc(nullptr, 0), 0xFFFFFFFFu);
}

TEST(QuorpatchStreamsDeathTest, SizeAboveThirtyTwoBitsEndsTheProcess)
{
    EXPECT_EXIT(
        {
            SinkStream sink;
            sink.WriteSize(std::size_t(1) << 32);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(QuorpatchStreamsDeathTest, SizeCheckLogsItsAssertion)
{
    class StderrLines : public LogBase
    {
    public:
        void flush() override { }
        void receiveValue(u64) override { }
        void write(const std::string &message, int, const std::string &, u64, const std::string &,
                   const std::string &) override
        {
            std::fprintf(stderr, "<%s>\n", message.c_str());
        }
    };
    EXPECT_EXIT(
        {
            StderrLines lines;
            SinkStream sink;
            sink.WriteSize(std::size_t(5) << 32);
        },
        ::testing::ExitedWithCode(1),
        ::testing::HasSubstr("<Assertion \"value == narrowed_value\" failed at "
                             "../../deps/quorpatch/src/lib/streams.cpp:209; >"));
}

// Stream sets

TEST_F(QuorpatchStreamsTest, DefaultSetSerialisesTenEmptyStreams)
{
    SinkStreamSet set;
    SinkStream out;
    ASSERT_TRUE(set.SerializeTo(&out));
    Bytes expected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A};
    expected.resize(expected.size() + 10, 0x00);
    EXPECT_EQ(bytesOf(out), expected);

    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(out.Buffer(), out.Length()));
    EXPECT_EQ(parsed.count(), 10u);
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST_F(QuorpatchStreamsTest, SetRoundTripKeepsEveryStream)
{
    const std::vector<std::string> bodies
        = {"zero", "", "two", "", "", "five-five", "", "", "", "9"};
    SinkStreamSet set;
    for (std::size_t i = 0; i < bodies.size(); ++i)
        writeText(set.stream(i), bodies[i]);
    SinkStream out;
    writeText(&out, "prefix");
    ASSERT_TRUE(set.SerializeTo(&out));
    EXPECT_EQ(set.stream(0)->Length(), 0u) << "appended streams are released";

    SourceStream source;
    source.Init(out);
    ASSERT_TRUE(source.Skip(6));
    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(source));
    EXPECT_EQ(source.Remaining(), out.Length() - 6) << "parsing does not move the source";
    ASSERT_EQ(parsed.count(), 10u);
    for (std::size_t i = 0; i < bodies.size(); ++i)
        EXPECT_EQ(bytesOf(*parsed.stream(i)), bytesOf(bodies[i])) << i;
    EXPECT_EQ(parsed.stream(10), nullptr);
    EXPECT_FALSE(parsed.AllConsumed());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        ASSERT_TRUE(parsed.stream(i)->Skip(bodies[i].size()));
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST_F(QuorpatchStreamsTest, SetCountLimitsTheStreams)
{
    SinkStreamSet set;
    EXPECT_FALSE(set.SetCount(11));
    EXPECT_EQ(set.count(), 10u);
    ASSERT_TRUE(set.SetCount(2));
    EXPECT_EQ(set.stream(2), nullptr);
    writeText(set.stream(1), "ab");
    SinkStream out;
    ASSERT_TRUE(set.SerializeTo(&out));
    EXPECT_EQ(bytesOf(out), (Bytes {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x02, 'a', 'b'}));

    SinkStreamSet none;
    ASSERT_TRUE(none.SetCount(0));
    SinkStream empty;
    ASSERT_TRUE(none.SerializeTo(&empty));
    EXPECT_EQ(bytesOf(empty), (Bytes {0xEA, 0x9A, 0xCA, 0x09, 0x00}));
    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(empty.Buffer(), empty.Length()));
    EXPECT_EQ(parsed.count(), 0u);
    EXPECT_EQ(parsed.stream(0), nullptr);
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST_F(QuorpatchStreamsTest, MalformedSetsAreRejected)
{
    const struct
    {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"truncated magic", {0xEA, 0x9A}},
        {"wrong magic", {0xEA, 0x9A, 0xCA, 0x08, 0x00}},
        {"no count", {0xEA, 0x9A, 0xCA, 0x09}},
        {"trailing byte", {0xEA, 0x9A, 0xCA, 0x09, 0x00, 0x00}},
        {"count 11", {0xEA, 0x9A, 0xCA, 0x09, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"missing length", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00}},
        {"truncated length", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x80}},
        {"body too short", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01, 0x02, 'a', 'b'}},
        {"body too long", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01, 0x01, 'a', 'b', 'c'}},
        {"huge length", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a'}},
    };
    for (const auto &c : cases) {
        SourceStreamSet set;
        EXPECT_FALSE(set.Parse(c.bytes.data(), c.bytes.size())) << c.what;
        EXPECT_EQ(set.stream(0), nullptr) << c.what << ": a failed parse leaves no streams";
    }
}

TEST_F(QuorpatchStreamsTest, NestedSetOfEmptyStreamsIsOneZeroByte)
{
    SinkStreamSet outer;
    SinkStreamSet inner;
    ASSERT_TRUE(outer.WriteNestedSet(&inner));
    EXPECT_EQ(bytesOf(*outer.stream(0)), Bytes {0x00});
    for (std::size_t i = 1; i < kMaxStreams; ++i)
        EXPECT_EQ(outer.stream(i)->Length(), 0u);

    SinkStream out;
    ASSERT_TRUE(outer.SerializeTo(&out));
    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(out.Buffer(), out.Length()));
    SourceStreamSet readBack;
    ASSERT_TRUE(parsed.ReadNestedSet(&readBack));
    EXPECT_EQ(readBack.count(), 10u);
    for (std::size_t i = 0; i < kMaxStreams; ++i)
        EXPECT_TRUE(readBack.stream(i)->Empty());
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST_F(QuorpatchStreamsTest, NestedSetsReadBackInOrder)
{
    SinkStreamSet outer;
    writeText(outer.stream(2), "outer-before|");

    SinkStreamSet first;
    writeText(first.stream(0), "A0");
    writeText(first.stream(2), "A2");
    ASSERT_TRUE(outer.WriteNestedSet(&first));
    EXPECT_EQ(bytesOf(*outer.stream(0)), (Bytes {0x03, 0x02, 0x00, 0x02, 'A', '0'}))
        << "control data first, then inner stream 0";
    EXPECT_EQ(first.stream(2)->Length(), 0u) << "inner streams are released";

    SinkStreamSet second;
    writeText(second.stream(1), "B1");
    writeText(second.stream(9), "B9");
    ASSERT_TRUE(outer.WriteNestedSet(&second));

    SinkStream out;
    ASSERT_TRUE(outer.SerializeTo(&out));
    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(out.Buffer(), out.Length()));
    ASSERT_TRUE(parsed.stream(2)->Skip(13));

    SourceStreamSet a;
    ASSERT_TRUE(parsed.ReadNestedSet(&a));
    EXPECT_EQ(bytesOf(*a.stream(0)), bytesOf("A0"));
    EXPECT_TRUE(a.stream(1)->Empty());
    EXPECT_EQ(bytesOf(*a.stream(2)), bytesOf("A2"));
    EXPECT_TRUE(a.stream(3)->Empty());

    SourceStreamSet b;
    ASSERT_TRUE(parsed.ReadNestedSet(&b));
    EXPECT_TRUE(b.stream(0)->Empty());
    EXPECT_EQ(bytesOf(*b.stream(1)), bytesOf("B1"));
    EXPECT_EQ(bytesOf(*b.stream(9)), bytesOf("B9"));
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST_F(QuorpatchStreamsTest, MalformedNestedSetsAreRejected)
{
    const struct
    {
        const char *what;
        Bytes stream0;
        std::string stream1;
    } cases[] = {
        {"no control data", {}, ""},
        {"more than ten streams", {0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, ""},
        {"truncated lengths", {0x02, 0x00}, ""},
        {"stream shorter than its length", {0x02, 0x00, 0x05}, "abcd"},
        {"control data shorter than stream 0", {0x01, 0x09}, ""},
    };
    for (const auto &c : cases) {
        SinkStreamSet outer;
        ASSERT_TRUE(outer.stream(0)->Write(c.stream0.data(), c.stream0.size()));
        writeText(outer.stream(1), c.stream1);
        SinkStream out;
        ASSERT_TRUE(outer.SerializeTo(&out));
        SourceStreamSet parsed;
        ASSERT_TRUE(parsed.Parse(out.Buffer(), out.Length()));
        SourceStreamSet inner;
        EXPECT_FALSE(parsed.ReadNestedSet(&inner)) << c.what;
    }
}

TEST_F(QuorpatchStreamsTest, NestedSetsNeedTheirStreams)
{
    // Reading from a set without streams.
    const Bytes noStreams = {0xEA, 0x9A, 0xCA, 0x09, 0x00};
    SourceStreamSet empty;
    ASSERT_TRUE(empty.Parse(noStreams.data(), noStreams.size()));
    SourceStreamSet inner;
    EXPECT_FALSE(empty.ReadNestedSet(&inner));

    // A nested set of three streams inside a set of two.
    const Bytes twoStreams = {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x04, 0x00, 0x03, 0x00, 0x00, 0x01};
    SourceStreamSet two;
    ASSERT_TRUE(two.Parse(twoStreams.data(), twoStreams.size()));
    EXPECT_FALSE(two.ReadNestedSet(&inner));

    // Writing into sets too small for the nested one.
    SinkStreamSet nested;
    writeText(nested.stream(2), "x");
    SinkStreamSet small;
    ASSERT_TRUE(small.SetCount(2));
    EXPECT_FALSE(small.WriteNestedSet(&nested));
    EXPECT_EQ(nested.stream(2)->Length(), 1u);
    SinkStreamSet none;
    ASSERT_TRUE(none.SetCount(0));
    SinkStreamSet emptyInner;
    EXPECT_FALSE(none.WriteNestedSet(&emptyInner));
}

TEST_F(QuorpatchStreamsTest, AllocationFailuresFailTheSetOperations)
{
    {
        SinkStreamSet set;
        writeText(set.stream(0), "data");
        SinkStream out;
        ScopedAllocationFailure failNext(0);
        EXPECT_FALSE(set.SerializeTo(&out));
    }
    {
        SinkStreamSet set;
        writeText(set.stream(0), "data");
        SinkStream out;
        ScopedAllocationFailure failSecond(1);
        EXPECT_FALSE(set.SerializeTo(&out));
    }
    {
        // A stream that lost its bytes must not serialise as empty.
        SinkStreamSet set;
        {
            ScopedAllocationFailure failNext(0);
            EXPECT_FALSE(set.stream(3)->Write("x", 1));
        }
        SinkStream out;
        EXPECT_FALSE(set.SerializeTo(&out));

        SinkStreamSet outer;
        EXPECT_FALSE(outer.WriteNestedSet(&set));
    }
}
