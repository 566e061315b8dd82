#include "model/Account.h"

#include "model/InternetDateTime.h"

using namespace Qt::StringLiterals;

namespace {

constexpr std::pair<const char16_t *, SubscriptionTier> kTiers[] = {
    {u"free", SubscriptionTier::Free},
    {u"monthly", SubscriptionTier::Monthly},
    {u"yearly", SubscriptionTier::Yearly},
    {u"partner", SubscriptionTier::Partner},
};

constexpr std::pair<const char16_t *, SubscriptionStatus> kStatuses[] = {
    {u"active", SubscriptionStatus::Active},
    {u"expired", SubscriptionStatus::Expired},
    {u"cancelled", SubscriptionStatus::Cancelled},
    {u"trial", SubscriptionStatus::Trial},
};

template<typename E, size_t N>
QString rawValueIn(const std::pair<const char16_t *, E> (&table)[N], E value)
{
    for (const auto &[name, entry] : table)
        if (entry == value)
            return QString::fromUtf16(name);
    return {};
}

} // namespace

namespace SubscriptionValues {

QString rawValue(SubscriptionTier tier)
{
    return rawValueIn(kTiers, tier);
}

QString rawValue(SubscriptionStatus status)
{
    return rawValueIn(kStatuses, status);
}

} // namespace SubscriptionValues

QJsonObject Subscription::toJson() const
{
    QJsonObject json{
        {u"tier"_s, SubscriptionValues::rawValue(tier)},
        {u"status"_s, SubscriptionValues::rawValue(status)},
        {u"auto_renew"_s, autoRenew},
    };
    if (expiresAt)
        json.insert(u"expires_at"_s, InternetDateTime::toReferenceSeconds(*expiresAt));
    return json;
}

Subscription Subscription::decode(const JsonReader &json)
{
    return Subscription{
        json.enumeration<SubscriptionTier>(u"tier"_s, kTiers),
        json.enumeration<SubscriptionStatus>(u"status"_s, kStatuses),
        json.optionalDate(u"expires_at"_s),
        json.boolean(u"auto_renew"_s),
    };
}

QJsonObject User::toJson() const
{
    QJsonObject json{
        {u"user_id"_s, id},
        {u"email"_s, email},
        {u"created_at"_s, InternetDateTime::toReferenceSeconds(createdAt)},
    };
    if (subscription)
        json.insert(u"subscription"_s, subscription->toJson());
    return json;
}

User User::decode(const JsonReader &json)
{
    return User{
        json.string(u"user_id"_s),
        json.string(u"email"_s),
        json.date(u"created_at"_s),
        json.optionalRecord<Subscription>(u"subscription"_s),
    };
}
