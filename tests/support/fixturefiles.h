// The committed test executables in tests/deps/quorpatch/fixtures/.
#ifndef FIXTUREFILES_H
#define FIXTUREFILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace qvxtest {

// The fixture's bytes; empty when it is missing.
std::vector<std::uint8_t> ReadFixture(const std::string &name);
// The same, and a failed expectation when the fixture is missing or empty.
std::vector<std::uint8_t> Fixture(const std::string &name);

} // namespace qvxtest

#endif // FIXTUREFILES_H
