#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The servers the VPN API hands out configurations for, read from a JSON
// file. Each server carries, per protocol, the parts of the configuration
// that are the same for every user; the per-user credentials are added when
// a configuration is served.
//
//   { "default_server": "sg-node-01",
//     "servers": [ { "id": "sg-node-01", "address": "203.0.113.10",
//                    "name": "Singapore", "location": "Singapore, SG",
//                    "ikev2": { ... }, "wireguard": { ... }, "xray": { ... } } ] }
//
// Inside a protocol section a key may be left out where the server's own
// "address", "name" or "location" (or a common default) supplies it; see
// README.md. A protocol section that is missing means the server does not
// offer that protocol.
class ServerCatalogue
{
public:
    enum class Protocol { IKEv2, WireGuard, Xray };

    struct Server
    {
        QString id;
        QJsonObject ikev2;     // empty: not offered
        QJsonObject wireguard; // empty: not offered
        QJsonObject xray;      // empty: not offered

        const QJsonObject &section(Protocol protocol) const;
    };

    // Reads and checks a catalogue file. On failure returns false and puts a
    // message naming the file and the fault in `error`.
    bool load(const QString &path, QString *error);
    bool loadJson(const QByteArray &json, QString *error);

    // The server with that id; an empty id means the default server.
    // Returns nullptr when there is no such server.
    const Server *find(const QString &id) const;

    const QList<Server> &servers() const { return m_servers; }
    QString defaultServerId() const { return m_default; }

    static QString protocolName(Protocol protocol);

private:
    QList<Server> m_servers;
    QString m_default;
};
