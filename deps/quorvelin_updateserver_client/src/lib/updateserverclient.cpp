#include "updateserverclient.h"

#include "UpdateMessage.pb.h"

#ifndef QVX_VERSION_SERVER_HOST
#define QVX_VERSION_SERVER_HOST "update.quorvelin.example"
#endif

std::string g_updateServerEmptyString;
std::string g_updateServerUrl;

void initUpdateServerClientGlobals()
{
    g_updateServerEmptyString.clear();
    g_updateServerUrl = std::string("http://") + QVX_VERSION_SERVER_HOST + "/qvx-client-2";
}

namespace {
struct GlobalsInitialiser
{
    GlobalsInitialiser() { initUpdateServerClientGlobals(); }
};
const GlobalsInitialiser s_globalsInitialiser;
} // namespace

int parseVersions(const char *data, int size, VersionsInfo &out)
{
    if (!data)
        return 1;
    quorvelin::update::Versions msg;
    // Same as a full parse, but the runtime does not log the missing fields.
    if (size < 0 || !msg.ParsePartialFromArray(data, size) || !msg.IsInitialized())
        return 2;
    fillVersionsInfo(out, msg);
    return 0;
}

void fillVersionsInfo(VersionsInfo &out, const quorvelin::update::Versions &msg)
{
    out.licenseAgreementId = msg.licenseagreementid();
    out.licenseAgreementIdMin = msg.licenseagreementidmin();
    for (const quorvelin::update::Channel &channel : msg.channels()) {
        out.names.push_back(channel.name());
        out.versions.emplace(channel.name(),
                             ChannelVersion {channel.version_number(), channel.version_string()});
    }
}

void getUpdateServerUrl(std::string &out)
{
    out = g_updateServerUrl;
}
