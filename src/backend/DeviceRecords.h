#pragma once

#include "model/JsonReader.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// Wire records of the VPN API's device list. Keys are given per field; dates
// stay the text the backend sends.

// One device of the account: "id" (integer), "device_id", "nickname",
// "platform" (optional), "is_active", "last_seen_at" (optional),
// "created_at", "app_version" (optional).
struct RegisteredDevice
{
    qint64 id = 0;
    QString deviceId;
    QString nickname;
    std::optional<QString> platform;
    bool isActive = false;
    std::optional<QString> lastSeenAt;
    QString createdAt;
    std::optional<QString> appVersion;

    bool operator==(const RegisteredDevice &) const = default;

    // The symbol for the platform, chosen on its lower-cased text (a missing
    // platform counts as empty): "ios" "iphone", "macos" "laptopcomputer",
    // "windows" and "linux" "desktopcomputer", anything else
    // "questionmark.circle".
    QString platformIcon() const;
    // Whether this is the device whose identifier is `storedDeviceId` (the
    // stored "device_id"; nothing never matches).
    bool isCurrentDevice(const std::optional<QString> &storedDeviceId) const
    {
        return storedDeviceId && *storedDeviceId == deviceId;
    }

    static RegisteredDevice decode(const JsonReader &json);
};

// POST /devices/register: "device_id", "device_name", "platform", "app_version".
struct DeviceRegistrationRequest
{
    DeviceRegistrationRequest(QString deviceId, QString deviceName, QString platform, QString appVersion)
        : deviceId(std::move(deviceId)), deviceName(std::move(deviceName)), platform(std::move(platform)),
          appVersion(std::move(appVersion))
    {
    }
    QString deviceId;
    QString deviceName;
    QString platform;
    QString appVersion;
    QByteArray toJson() const;
};

// Answer to a registration: "status", "message", "device_id".
struct DeviceRegisterSuccessResponse
{
    QString status;
    QString message;
    QString deviceId;
    static DeviceRegisterSuccessResponse decode(const JsonReader &json);
};

// The device list, also sent inside a refusal at the device limit:
// "devices", "device_limit", "active_count", "can_add_more".
struct DeviceListResponse
{
    QList<RegisteredDevice> devices;
    qint64 deviceLimit = 0;
    qint64 activeCount = 0;
    bool canAddMore = false;
    static DeviceListResponse decode(const JsonReader &json);
};

// POST /devices/revoke: "device_id".
struct DeviceRevokeRequest
{
    explicit DeviceRevokeRequest(QString deviceId)
        : deviceId(std::move(deviceId))
    {
    }
    QString deviceId;
    QByteArray toJson() const;
};

// Answer to a revoke: "status", "message".
struct DeviceRevokeSuccessResponse
{
    QString status;
    QString message;
    static DeviceRevokeSuccessResponse decode(const JsonReader &json);
};

// What the body of a registration refused with 403 says. Its "detail" is
// either the device list at the limit (an object with "devices", decoded as
// DeviceListResponse) or a text for the user; any other body says nothing.
struct DeviceLimitRefusal
{
    enum class Kind {
        Limit, // `limit` holds the decoded list
        Message, // `text` is the detail text
        Undecodable, // "detail" has "devices" but is no device list; `text` says why
        Nothing, // not a JSON object, or no usable "detail"
    };
    Kind kind = Kind::Nothing;
    DeviceListResponse limit;
    QString text;

    static DeviceLimitRefusal parse(const QByteArray &body);
};

Q_DECLARE_METATYPE(RegisteredDevice)
