#pragma once

#include "model/JsonReader.h"

#include <QString>

// The WireGuard parameters the VPN API gives for one server and user. All
// eight keys are required and every value is text.
struct WireGuardConfigResponse
{
    QString interfacePrivateKey; // "interface_private_key": a secret, never logged
    QString interfaceAddress; // "interface_address"
    QString interfaceDns; // "interface_dns"
    QString peerPublicKey; // "peer_public_key"
    QString peerEndpoint; // "peer_endpoint": address and port
    QString peerAllowedIps; // "peer_allowed_ips"
    QString serverName; // "server_name": used in a log line
    QString serverLocation; // "server_location": shown as the service's server name

    static WireGuardConfigResponse decode(const JsonReader &json);
};
