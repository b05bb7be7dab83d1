// Serialised version-server replies for tests.
#ifndef VERSIONREPLYTESTDATA_H
#define VERSIONREPLYTESTDATA_H

#include "UpdateMessage.pb.h"

#include <QByteArray>

#include <initializer_list>
#include <string>

struct ChannelEntry
{
    const char *name;
    int number;
    const char *text;
};

inline QByteArray versionReply(std::initializer_list<ChannelEntry> channels)
{
    quorvelin::update::Versions msg;
    msg.set_licenseagreementid(1);
    for (const ChannelEntry &entry : channels) {
        quorvelin::update::Channel *channel = msg.add_channels();
        channel->set_name(entry.name);
        channel->set_version_number(entry.number);
        channel->set_version_string(entry.text);
    }
    const std::string bytes = msg.SerializeAsString();
    return QByteArray(bytes.data(), int(bytes.size()));
}

#endif // VERSIONREPLYTESTDATA_H
