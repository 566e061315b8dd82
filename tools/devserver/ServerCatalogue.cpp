#include "devserver/ServerCatalogue.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

// Thrown while checking a file; turned into the message of load().
struct CatalogueFault
{
    QString message;
};

QString text(const QJsonObject &object, const QString &key, const QString &where)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return {};
    if (!value.isString() || value.toString().trimmed().isEmpty())
        throw CatalogueFault{where + u": \""_s + key + u"\" must be a non-empty string"_s};
    return value.toString();
}

// Fills `key` from `fallback` when the section leaves it out, and checks
// that the result is a non-empty string.
void requireText(QJsonObject &section, const QString &key, const QString &fallback, const QString &where)
{
    QString value = text(section, key, where);
    if (value.isEmpty())
        value = fallback;
    if (value.isEmpty())
        throw CatalogueFault{where + u": \""_s + key + u"\" is missing"_s};
    section.insert(key, value);
}

QJsonObject ikev2Section(const QJsonObject &raw, const QString &address, const QString &name,
                         const QString &location, const QString &where)
{
    QJsonObject section = raw;
    section.insert(u"protocol"_s, u"ikev2"_s);
    requireText(section, u"server_address"_s, address, where);
    const QString serverAddress = section.value(u"server_address"_s).toString();
    requireText(section, u"server_id"_s, serverAddress, where);
    requireText(section, u"remote_id"_s, section.value(u"server_id"_s).toString(), where);
    requireText(section, u"ca_name"_s, u"Velorin VPN CA"_s, where);
    requireText(section, u"server_name"_s, name, where);
    requireText(section, u"server_location"_s, location, where);
    return section;
}

QJsonObject wireguardSection(const QJsonObject &raw, const QString &address, const QString &name,
                             const QString &location, const QString &where)
{
    QJsonObject section = raw;
    requireText(section, u"peer_public_key"_s, {}, where);
    const QByteArray key = QByteArray::fromBase64(section.value(u"peer_public_key"_s).toString().toLatin1());
    if (key.size() != 32)
        throw CatalogueFault{where + u": \"peer_public_key\" must be 32 bytes in base64"_s};
    requireText(section, u"peer_endpoint"_s, address.isEmpty() ? QString() : address + u":51820"_s, where);
    requireText(section, u"peer_allowed_ips"_s, u"0.0.0.0/0, ::/0"_s, where);
    requireText(section, u"interface_dns"_s, u"10.66.0.1"_s, where);
    requireText(section, u"server_name"_s, name, where);
    requireText(section, u"server_location"_s, location, where);
    return section;
}

QJsonObject xraySection(const QJsonObject &raw, const QString &address, const QString &name,
                        const QString &location, const QString &where)
{
    QJsonObject section = raw;
    requireText(section, u"server_address"_s, address, where);
    const QJsonValue port = section.value(u"server_port"_s);
    if (port.isUndefined()) {
        section.insert(u"server_port"_s, 443);
    } else if (!port.isDouble() || port.toDouble() != static_cast<double>(port.toInt())
               || port.toInt() < 1 || port.toInt() > 65535) {
        throw CatalogueFault{where + u": \"server_port\" must be a whole number from 1 to 65535"_s};
    }
    requireText(section, u"public_key"_s, {}, where);
    requireText(section, u"short_id"_s, {}, where);
    requireText(section, u"server_name"_s, {}, where);
    requireText(section, u"server_location"_s, location, where);
    requireText(section, u"flow"_s, u"xtls-rprx-vision"_s, where);
    requireText(section, u"fingerprint"_s, u"chrome"_s, where);
    // The display name is optional in the response; it is sent when known.
    const QString displayName = text(section, u"display_name"_s, where);
    if (displayName.isEmpty() && !name.isEmpty())
        section.insert(u"display_name"_s, name);
    return section;
}

QJsonObject optionalSection(const QJsonObject &server, const QString &key, const QString &where)
{
    const QJsonValue value = server.value(key);
    if (value.isUndefined())
        return {};
    if (!value.isObject())
        throw CatalogueFault{where + u": \""_s + key + u"\" must be an object"_s};
    return value.toObject();
}

} // namespace

const QJsonObject &ServerCatalogue::Server::section(Protocol protocol) const
{
    switch (protocol) {
    case Protocol::IKEv2:
        return ikev2;
    case Protocol::WireGuard:
        return wireguard;
    case Protocol::Xray:
        break;
    }
    return xray;
}

QString ServerCatalogue::protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::IKEv2:
        return u"IKEv2"_s;
    case Protocol::WireGuard:
        return u"WireGuard"_s;
    case Protocol::Xray:
        break;
    }
    return u"Xray Reality"_s;
}

bool ServerCatalogue::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = u"cannot read server list "_s + path + u": "_s + file.errorString();
        return false;
    }
    if (loadJson(file.readAll(), error))
        return true;
    *error = u"server list "_s + path + u": "_s + *error;
    return false;
}

bool ServerCatalogue::loadJson(const QByteArray &json, QString *error)
{
    try {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
        if (parseError.error != QJsonParseError::NoError)
            throw CatalogueFault{u"not valid JSON ("_s + parseError.errorString() + u" at offset "_s
                                 + QString::number(parseError.offset) + u')'};
        if (!document.isObject() || !document.object().value(u"servers"_s).isArray())
            throw CatalogueFault{u"expected an object with a \"servers\" array"_s};
        QList<Server> servers;
        QSet<QString> ids;
        const QJsonArray list = document.object().value(u"servers"_s).toArray();
        for (qsizetype i = 0; i < list.size(); ++i) {
            QString where = u"servers["_s + QString::number(i) + u']';
            if (!list[i].isObject())
                throw CatalogueFault{where + u": expected an object"_s};
            const QJsonObject raw = list[i].toObject();
            Server server;
            server.id = text(raw, u"id"_s, where);
            if (server.id.isEmpty())
                throw CatalogueFault{where + u": \"id\" is missing"_s};
            if (ids.contains(server.id))
                throw CatalogueFault{where + u": the id \""_s + server.id + u"\" appears twice"_s};
            ids.insert(server.id);
            where = u"server \""_s + server.id + u'"';
            const QString address = text(raw, u"address"_s, where);
            const QString name = text(raw, u"name"_s, where);
            const QString location = text(raw, u"location"_s, where);
            const QJsonObject ikev2 = optionalSection(raw, u"ikev2"_s, where);
            const QJsonObject wireguard = optionalSection(raw, u"wireguard"_s, where);
            const QJsonObject xray = optionalSection(raw, u"xray"_s, where);
            if (raw.contains(u"ikev2"_s))
                server.ikev2 = ikev2Section(ikev2, address, name, location, where + u" ikev2"_s);
            if (raw.contains(u"wireguard"_s))
                server.wireguard = wireguardSection(wireguard, address, name, location, where + u" wireguard"_s);
            if (raw.contains(u"xray"_s))
                server.xray = xraySection(xray, address, name, location, where + u" xray"_s);
            servers.append(server);
        }
        if (servers.isEmpty())
            throw CatalogueFault{u"the \"servers\" array is empty"_s};
        QString defaultId = text(document.object(), u"default_server"_s, u"the file"_s);
        if (defaultId.isEmpty())
            defaultId = servers.first().id;
        else if (!ids.contains(defaultId))
            throw CatalogueFault{u"\"default_server\" names the unknown server \""_s + defaultId + u'"'};
        m_servers = servers;
        m_default = defaultId;
        return true;
    } catch (const CatalogueFault &fault) {
        *error = fault.message;
        return false;
    }
}

const ServerCatalogue::Server *ServerCatalogue::find(const QString &id) const
{
    const QString wanted = id.isEmpty() ? m_default : id;
    for (const Server &server : m_servers)
        if (server.id == wanted)
            return &server;
    return nullptr;
}
