#include "backend/DeviceRecords.h"

#include "model/JsonWriter.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

QString RegisteredDevice::platformIcon() const
{
    const QString name = platform.value_or(QString()).toLower();
    if (name == u"ios")
        return u"iphone"_s;
    if (name == u"macos")
        return u"laptopcomputer"_s;
    if (name == u"windows" || name == u"linux")
        return u"desktopcomputer"_s;
    return u"questionmark.circle"_s;
}

RegisteredDevice RegisteredDevice::decode(const JsonReader &json)
{
    RegisteredDevice device;
    device.id = json.integer(u"id"_s);
    device.deviceId = json.string(u"device_id"_s);
    device.nickname = json.string(u"nickname"_s);
    device.platform = json.optionalString(u"platform"_s);
    device.isActive = json.boolean(u"is_active"_s);
    device.lastSeenAt = json.optionalString(u"last_seen_at"_s);
    device.createdAt = json.string(u"created_at"_s);
    device.appVersion = json.optionalString(u"app_version"_s);
    return device;
}

QByteArray DeviceRegistrationRequest::toJson() const
{
    return JsonWriter::object({{u"device_id"_s, deviceId},
                               {u"device_name"_s, deviceName},
                               {u"platform"_s, platform},
                               {u"app_version"_s, appVersion}});
}

DeviceRegisterSuccessResponse DeviceRegisterSuccessResponse::decode(const JsonReader &json)
{
    return {json.string(u"status"_s), json.string(u"message"_s), json.string(u"device_id"_s)};
}

DeviceListResponse DeviceListResponse::decode(const JsonReader &json)
{
    DeviceListResponse response;
    response.devices = json.records<RegisteredDevice>(u"devices"_s);
    response.deviceLimit = json.integer(u"device_limit"_s);
    response.activeCount = json.integer(u"active_count"_s);
    response.canAddMore = json.boolean(u"can_add_more"_s);
    return response;
}

QByteArray DeviceRevokeRequest::toJson() const
{
    return JsonWriter::object({{u"device_id"_s, deviceId}});
}

DeviceRevokeSuccessResponse DeviceRevokeSuccessResponse::decode(const JsonReader &json)
{
    return {json.string(u"status"_s), json.string(u"message"_s)};
}

DeviceLimitRefusal DeviceLimitRefusal::parse(const QByteArray &body)
{
    DeviceLimitRefusal refusal;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return refusal;
    const QJsonValue detail = document.object().value(u"detail"_s);
    if (detail.isObject() && detail.toObject().contains(u"devices"_s)) {
        try {
            refusal.limit = DeviceListResponse::decode(JsonReader(detail.toObject(), u"detail"_s));
            refusal.kind = Kind::Limit;
        } catch (const DecodeError &error) {
            refusal.kind = Kind::Undecodable;
            refusal.text = error.description();
        }
    } else if (detail.isString()) {
        refusal.kind = Kind::Message;
        refusal.text = detail.toString();
    }
    return refusal;
}
