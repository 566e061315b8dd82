// The VPN API: devices, subscription status and per-server configurations.
#include "devserver/ApiError.h"
#include "devserver/DevServer.h"
#include "devserver/Time.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

QJsonValue optionalText(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonObject deviceJson(const Store::Device &device)
{
    return QJsonObject{{u"id"_s, device.id},
                       {u"device_id"_s, device.deviceId},
                       {u"nickname"_s, device.nickname},
                       {u"platform"_s, optionalText(device.platform)},
                       {u"is_active"_s, device.active},
                       {u"last_seen_at"_s, device.lastSeenAt ? QJsonValue(Time::dateTimeMs(*device.lastSeenAt))
                                                             : QJsonValue(QJsonValue::Null)},
                       {u"created_at"_s, Time::dateTimeSeconds(device.createdAt)},
                       {u"app_version"_s, optionalText(device.appVersion)}};
}

std::optional<QString> emptyAsNone(const QString &text)
{
    const QString trimmed = text.trimmed();
    return trimmed.isEmpty() ? std::nullopt : std::optional<QString>(trimmed);
}

} // namespace

QJsonObject DevServer::deviceListJson(const QString &userId, bool activeOnly)
{
    QJsonArray devices;
    for (const Store::Device &device : m_store.devices(userId))
        if (device.active || !activeOnly)
            devices.append(deviceJson(device));
    const int active = m_store.activeDeviceCount(userId);
    return QJsonObject{{u"devices"_s, devices},
                       {u"device_limit"_s, m_options.deviceLimit},
                       {u"active_count"_s, active},
                       {u"can_add_more"_s, active < m_options.deviceLimit}};
}

void DevServer::registerDevice(const ExchangePtr &exchange, const Store::User &user)
{
    const JsonBody body(exchange->body());
    const QString deviceId = body.string(u"device_id"_s, 128).trimmed();
    const QString name = body.string(u"device_name"_s, 200);
    const QString platform = body.string(u"platform"_s, 32);
    const QString appVersion = body.string(u"app_version"_s, 32);
    if (deviceId.isEmpty())
        throw ApiError::make(400, u"The field \"device_id\" must not be empty"_s);

    const qint64 now = Time::nowMs();
    std::optional<Store::Device> device = m_store.device(user.id, deviceId);
    const bool wasActive = device && device->active;
    if (!wasActive && m_store.activeDeviceCount(user.id) >= m_options.deviceLimit) {
        const QString message = u"This account already uses its %1 devices. Remove one to add this device."_s.arg(
            m_options.deviceLimit);
        throw ApiError{403, QJsonObject{{u"error"_s, message}, {u"detail"_s, deviceListJson(user.id, true)}}, {}};
    }
    const QString nickname = emptyAsNone(name).value_or(u"Unnamed device"_s);
    if (device) {
        device->nickname = nickname;
        device->platform = emptyAsNone(platform);
        device->appVersion = emptyAsNone(appVersion);
        device->active = true;
        device->lastSeenAt = now;
        m_store.updateDevice(user.id, *device);
    } else {
        m_store.addDevice(user.id, Store::Device{0, deviceId, nickname, emptyAsNone(platform), emptyAsNone(appVersion),
                                                 true, std::nullopt, now});
    }
    const QString message = wasActive ? u"Device already registered"_s
                                      : (device ? u"Device registered again"_s : u"Device registered"_s);
    exchange->reply(device ? 200 : 201, QJsonObject{{u"status"_s, u"ok"_s},
                                                    {u"message"_s, message},
                                                    {u"device_id"_s, deviceId}});
}

void DevServer::listDevices(const ExchangePtr &exchange, const Store::User &user)
{
    exchange->reply(200, deviceListJson(user.id, false));
}

void DevServer::revokeDevice(const ExchangePtr &exchange, const Store::User &user)
{
    const JsonBody body(exchange->body());
    const QString deviceId = body.string(u"device_id"_s, 128).trimmed();
    std::optional<Store::Device> device = m_store.device(user.id, deviceId);
    if (!device)
        throw ApiError::make(404, u"That device is not registered to this account."_s);
    const bool wasActive = device->active;
    if (wasActive) {
        device->active = false;
        m_store.updateDevice(user.id, *device);
    }
    exchange->reply(200, QJsonObject{{u"status"_s, u"ok"_s},
                                     {u"message"_s, wasActive ? u"Device removed"_s : u"Device already removed"_s}});
}

void DevServer::subscriptionStatus(const ExchangePtr &exchange, const Store::User &user)
{
    exchange->reply(200, subscriptionJson(user));
}

void DevServer::configuration(const ExchangePtr &exchange, const Store::User &user, ServerCatalogue::Protocol protocol)
{
    using Protocol = ServerCatalogue::Protocol;
    const QString serverId = exchange->query().queryItemValue(u"server_id"_s, QUrl::FullyDecoded).trimmed();
    const ServerCatalogue::Server *server = m_catalogue.find(serverId);
    if (!server)
        throw ApiError::make(404, u"Unknown server \""_s + serverId.left(100) + u'"');
    QJsonObject config = server->section(protocol);
    if (config.isEmpty())
        throw ApiError::make(404, u"The server "_s + server->id + u" does not offer "_s
                                      + ServerCatalogue::protocolName(protocol));
    if (user.planExpiresAt <= Time::nowMs()) {
        const QString message = u"Your subscription has expired. Renew it to connect."_s;
        throw ApiError{403, QJsonObject{{u"error"_s, message}, {u"detail"_s, message}}, {}};
    }
    switch (protocol) {
    case Protocol::IKEv2:
        config.insert(u"local_id"_s, user.eapUsername);
        config.insert(u"username"_s, user.eapUsername);
        config.insert(u"password"_s, user.eapPassword);
        break;
    case Protocol::WireGuard:
        config.insert(u"interface_private_key"_s, user.wireguardPrivateKey);
        config.insert(u"interface_address"_s, user.wireguardAddress);
        break;
    case Protocol::Xray:
        config.insert(u"uuid"_s, user.vlessUuid);
        break;
    }
    exchange->reply(200, config);
}
