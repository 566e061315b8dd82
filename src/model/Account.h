#pragma once

#include "model/JsonReader.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include <optional>

// The account records the authentication service publishes and the screens show.

// Subscription plans, in this order. Raw values: "free", "monthly", "yearly", "partner".
enum class SubscriptionTier { Free, Monthly, Yearly, Partner };
// Subscription states, in this order. Raw values: "active", "expired", "cancelled", "trial".
enum class SubscriptionStatus { Active, Expired, Cancelled, Trial };

namespace SubscriptionValues {
QString rawValue(SubscriptionTier tier);
QString rawValue(SubscriptionStatus status);
} // namespace SubscriptionValues

// JSON keys: "tier", "status", "expires_at" (optional), "auto_renew".
struct Subscription
{
    SubscriptionTier tier = SubscriptionTier::Free;
    SubscriptionStatus status = SubscriptionStatus::Active;
    std::optional<QDateTime> expiresAt;
    bool autoRenew = false;

    bool operator==(const Subscription &) const = default;

    // Dates are written as seconds since 2001-01-01 00:00:00 UTC, the way a
    // default encoder writes them; an absent expiry is left out.
    QJsonObject toJson() const;
    // Dates follow the two-try internet date-time rule; an unknown tier or
    // status fails the whole record.
    static Subscription decode(const JsonReader &json);
};

// JSON keys: "user_id", "email", "created_at", "subscription" (optional).
struct User
{
    QString id;
    QString email;
    QDateTime createdAt;
    std::optional<Subscription> subscription;

    bool operator==(const User &) const = default;

    QJsonObject toJson() const;
    static User decode(const JsonReader &json);
};

// The sign-in state: authenticated with a user, unauthenticated, or loading
// (a session restore is running).
class AuthState
{
public:
    enum class Kind { Authenticated, Unauthenticated, Loading };

    AuthState() = default; // unauthenticated
    static AuthState authenticated(User user) { return AuthState(Kind::Authenticated, std::move(user)); }
    static AuthState unauthenticated() { return AuthState(Kind::Unauthenticated); }
    static AuthState loading() { return AuthState(Kind::Loading); }

    Kind kind() const { return m_kind; }
    bool isAuthenticated() const { return m_kind == Kind::Authenticated; }
    // The signed-in user; nothing unless authenticated.
    const std::optional<User> &user() const { return m_user; }

    bool operator==(const AuthState &) const = default;

private:
    explicit AuthState(Kind kind, std::optional<User> user = std::nullopt)
        : m_kind(kind)
        , m_user(std::move(user))
    {
    }

    Kind m_kind = Kind::Unauthenticated;
    std::optional<User> m_user;
};

Q_DECLARE_METATYPE(SubscriptionTier)
Q_DECLARE_METATYPE(SubscriptionStatus)
Q_DECLARE_METATYPE(Subscription)
Q_DECLARE_METATYPE(User)
Q_DECLARE_METATYPE(AuthState)
