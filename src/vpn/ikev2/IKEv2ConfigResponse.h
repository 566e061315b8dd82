#pragma once

#include "model/JsonReader.h"

#include <QString>

// The connection parameters the VPN API gives for one IKEv2 server and user.
// All ten keys are required and every value is text.
struct IKEv2ConfigResponse
{
    QString protocolType; // "protocol"; not used by the client
    QString serverAddress; // "server_address": the address to dial and the server certificate's name
    QString serverId; // "server_id": the tunnel's remote identifier
    QString remoteId; // "remote_id"; not used by the client
    QString localId; // "local_id": the tunnel's local identifier
    QString username; // "username": the EAP user name
    QString password; // "password": the EAP password; a secret, never logged
    QString caName; // "ca_name"; not used by the client
    QString serverName; // "server_name": shown as the service's server name
    QString serverLocation; // "server_location"; not used by the client

    static IKEv2ConfigResponse decode(const JsonReader &json);
};
