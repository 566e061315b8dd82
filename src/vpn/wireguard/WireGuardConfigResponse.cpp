#include "vpn/wireguard/WireGuardConfigResponse.h"

using namespace Qt::StringLiterals;

WireGuardConfigResponse WireGuardConfigResponse::decode(const JsonReader &json)
{
    WireGuardConfigResponse config;
    config.interfacePrivateKey = json.string(u"interface_private_key"_s);
    config.interfaceAddress = json.string(u"interface_address"_s);
    config.interfaceDns = json.string(u"interface_dns"_s);
    config.peerPublicKey = json.string(u"peer_public_key"_s);
    config.peerEndpoint = json.string(u"peer_endpoint"_s);
    config.peerAllowedIps = json.string(u"peer_allowed_ips"_s);
    config.serverName = json.string(u"server_name"_s);
    config.serverLocation = json.string(u"server_location"_s);
    return config;
}
