// Reply of the version server: the newest version of each update channel.
#ifndef QUORVELIN_UPDATESERVERCLIENT_H
#define QUORVELIN_UPDATESERVERCLIENT_H

#include <map>
#include <string>
#include <vector>

namespace quorvelin {
namespace update {
class Versions;
} // namespace update
} // namespace quorvelin

struct ChannelVersion
{
    int version_number = 0;
    std::string version_string;
};

struct VersionsInfo
{
    int licenseAgreementId = 0;
    int licenseAgreementIdMin = 0;
    // Every channel name in reply order, repeats included.
    std::vector<std::string> names;
    // The first channel of each name wins.
    std::map<std::string, ChannelVersion> versions;
};

// Result of a lookup that finds nothing.
extern std::string g_updateServerEmptyString;
// Address that the version query asks.
extern std::string g_updateServerUrl;

// Sets the two strings above; runs before main.
void initUpdateServerClientGlobals();

// Parses a serialised Versions message. Returns 0 on success, 1 when data is null, 2 when the
// bytes do not parse (out is then unchanged).
int parseVersions(const char *data, int size, VersionsInfo &out);

void fillVersionsInfo(VersionsInfo &out, const quorvelin::update::Versions &msg);

void getUpdateServerUrl(std::string &out);

#endif // QUORVELIN_UPDATESERVERCLIENT_H
