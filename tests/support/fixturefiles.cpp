#include "fixturefiles.h"

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace qvxtest {

std::vector<std::uint8_t> ReadFixture(const std::string &name)
{
    std::ifstream in(std::string(QVX_TEST_DATA_DIR) + "/deps/quorpatch/fixtures/" + name,
                     std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> Fixture(const std::string &name)
{
    const std::vector<std::uint8_t> data = ReadFixture(name);
    EXPECT_FALSE(data.empty()) << "missing fixture " << name;
    return data;
}

} // namespace qvxtest
