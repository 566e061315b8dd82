#pragma once

#include "model/JsonReader.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The records of the subscription sync: the VPN API's answer and the copy the
// client keeps. Plain values without I/O, apart from EntitlementManager so
// that they can be decoded on their own (tests, fuzzing).

// The body of GET /subscriptions/status: "status", "plan", "expires_at",
// "is_trial", all required. Its date is a plain internet date-time; one with
// fractional seconds does not decode.
struct SubscriptionStatusResponse
{
    QString status;
    QString plan;
    QDateTime expiresAt;
    bool isTrial = false;

    static SubscriptionStatusResponse decode(const JsonReader &json);
};

// The cached subscription, as the account screen shows it. Stored as JSON
// bytes whose keys are the field names ("isActive", "expiresAt",
// "lastVerified", "provider") and whose dates are numbers of seconds since
// 2001-01-01 00:00:00 UTC.
struct EntitlementCache
{
    bool isActive = false;
    QDateTime expiresAt;
    QDateTime lastVerified;
    QString provider;

    bool operator==(const EntitlementCache &) const = default;

    QByteArray toJson() const;
    static EntitlementCache decode(const JsonReader &json);
};
