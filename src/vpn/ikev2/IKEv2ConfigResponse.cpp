#include "vpn/ikev2/IKEv2ConfigResponse.h"

using namespace Qt::StringLiterals;

IKEv2ConfigResponse IKEv2ConfigResponse::decode(const JsonReader &json)
{
    IKEv2ConfigResponse config;
    config.protocolType = json.string(u"protocol"_s);
    config.serverAddress = json.string(u"server_address"_s);
    config.serverId = json.string(u"server_id"_s);
    config.remoteId = json.string(u"remote_id"_s);
    config.localId = json.string(u"local_id"_s);
    config.username = json.string(u"username"_s);
    config.password = json.string(u"password"_s);
    config.caName = json.string(u"ca_name"_s);
    config.serverName = json.string(u"server_name"_s);
    config.serverLocation = json.string(u"server_location"_s);
    return config;
}
