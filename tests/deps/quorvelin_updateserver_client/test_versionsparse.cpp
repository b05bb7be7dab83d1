#include "UpdateMessage.pb.h"
#include "updateserverclient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ChannelEntry
{
    const char *name;
    int number;
    const char *text;
};

std::string makeReply(const std::vector<ChannelEntry> &channels, int licenseId = 7,
                      int licenseMin = -1)
{
    quorvelin::update::Versions msg;
    msg.set_licenseagreementid(licenseId);
    if (licenseMin >= 0)
        msg.set_licenseagreementidmin(licenseMin);
    for (const ChannelEntry &entry : channels) {
        quorvelin::update::Channel *channel = msg.add_channels();
        channel->set_name(entry.name);
        channel->set_version_number(entry.number);
        channel->set_version_string(entry.text);
    }
    return msg.SerializeAsString();
}

VersionsInfo sentinelInfo()
{
    VersionsInfo info;
    info.licenseAgreementId = 99;
    info.names.push_back("untouched");
    info.versions["untouched"] = ChannelVersion {1, "x"};
    return info;
}

void expectSentinel(const VersionsInfo &info)
{
    EXPECT_EQ(info.licenseAgreementId, 99);
    ASSERT_EQ(info.names.size(), 1u);
    EXPECT_EQ(info.names[0], "untouched");
    EXPECT_EQ(info.versions.size(), 1u);
}

} // namespace

TEST(VersionsParse, GoodReplyFillsNamesAndVersions)
{
    const std::string reply
        = makeReply({{"stable", 123, "3.5.0"}, {"beta", 130, "3.6.0 beta"}}, 7, 3);
    VersionsInfo info;
    ASSERT_EQ(parseVersions(reply.data(), int(reply.size()), info), 0);
    EXPECT_EQ(info.licenseAgreementId, 7);
    EXPECT_EQ(info.licenseAgreementIdMin, 3);
    EXPECT_EQ(info.names, (std::vector<std::string> {"stable", "beta"}));
    ASSERT_EQ(info.versions.size(), 2u);
    EXPECT_EQ(info.versions["stable"].version_number, 123);
    EXPECT_EQ(info.versions["stable"].version_string, "3.5.0");
    EXPECT_EQ(info.versions["beta"].version_number, 130);
    EXPECT_EQ(info.versions["beta"].version_string, "3.6.0 beta");
}

TEST(VersionsParse, AbsentOptionalMinimumIsZeroAndNoChannelsIsSuccess)
{
    const std::string reply = makeReply({});
    VersionsInfo info;
    ASSERT_EQ(parseVersions(reply.data(), int(reply.size()), info), 0);
    EXPECT_EQ(info.licenseAgreementId, 7);
    EXPECT_EQ(info.licenseAgreementIdMin, 0);
    EXPECT_TRUE(info.names.empty());
    EXPECT_TRUE(info.versions.empty());
}

TEST(VersionsParse, RepeatedNameKeepsFirstValuesButListsEveryName)
{
    const std::string reply
        = makeReply({{"beta", 10, "first"}, {"stable", 9, "s"}, {"beta", 11, "second"}});
    VersionsInfo info;
    ASSERT_EQ(parseVersions(reply.data(), int(reply.size()), info), 0);
    EXPECT_EQ(info.names, (std::vector<std::string> {"beta", "stable", "beta"}));
    ASSERT_EQ(info.versions.size(), 2u);
    EXPECT_EQ(info.versions["beta"].version_number, 10);
    EXPECT_EQ(info.versions["beta"].version_string, "first");
}

TEST(VersionsParse, UnknownFieldsAreSkipped)
{
    std::string reply = makeReply({{"stable", 5, "five"}});
    // Field 15 as a varint, field 16 as a length-delimited blob.
    reply += std::string("\x78\x05", 2);
    reply += std::string("\x82\x01\x03"
                         "abc",
                         6);
    VersionsInfo info;
    ASSERT_EQ(parseVersions(reply.data(), int(reply.size()), info), 0);
    EXPECT_EQ(info.versions["stable"].version_number, 5);
}

TEST(VersionsParse, FailuresLeaveOutputUnchanged)
{
    quorvelin::update::Versions noText;
    noText.set_licenseagreementid(1);
    quorvelin::update::Channel *channel = noText.add_channels();
    channel->set_name("stable");
    channel->set_version_number(3);
    const std::string missingVersionString = noText.SerializePartialAsString();

    const std::string empty;

    const std::string good = makeReply({{"stable", 1, "a"}});
    const std::string truncated = good.substr(0, good.size() - 2);
    const std::string garbage("\xff\xff\xff\xff\xff\xff", 6);

    struct Case
    {
        const char *label;
        const char *data;
        int size;
        int expected;
    } cases[] = {
        {"null data", nullptr, 4, 1},
        {"empty buffer", empty.data(), 0, 2},
        {"channel without version_string", missingVersionString.data(),
         int(missingVersionString.size()), 2},
        {"truncated", truncated.data(), int(truncated.size()), 2},
        {"garbage", garbage.data(), int(garbage.size()), 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        VersionsInfo info = sentinelInfo();
        EXPECT_EQ(parseVersions(c.data, c.size, info), c.expected);
        expectSentinel(info);
    }
}

TEST(VersionsParse, DefaultUrlIsPlainHttpOnTheClientPath)
{
    std::string url = "previous";
    getUpdateServerUrl(url);
    EXPECT_EQ(url.rfind("http://", 0), 0u);
    const std::string path = "/qvx-client-2";
    ASSERT_GT(url.size(), std::string("http://").size() + path.size());
    EXPECT_EQ(url.substr(url.size() - path.size()), path);
    EXPECT_EQ(url.find('?'), std::string::npos);
    EXPECT_TRUE(g_updateServerEmptyString.empty());
}
