#include "backend/EntitlementRecords.h"

#include "model/InternetDateTime.h"
#include "model/JsonWriter.h"

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// A stored date: a finite number of seconds since the reference date.
QDateTime referenceDate(const JsonReader &json, const QString &key)
{
    const double seconds = json.number(key);
    if (!std::isfinite(seconds))
        throw DecodeError(u"Invalid date for key \""_s + key + u'"');
    return InternetDateTime::fromReferenceSeconds(seconds);
}

} // namespace

SubscriptionStatusResponse SubscriptionStatusResponse::decode(const JsonReader &json)
{
    SubscriptionStatusResponse response;
    response.status = json.string(u"status"_s);
    response.plan = json.string(u"plan"_s);
    response.expiresAt = json.date(u"expires_at"_s, JsonReader::DateRule::NoFraction);
    response.isTrial = json.boolean(u"is_trial"_s);
    return response;
}

QByteArray EntitlementCache::toJson() const
{
    return JsonWriter::object({
        {u"isActive"_s, isActive},
        {u"expiresAt"_s, InternetDateTime::toReferenceSeconds(expiresAt)},
        {u"lastVerified"_s, InternetDateTime::toReferenceSeconds(lastVerified)},
        {u"provider"_s, provider},
    });
}

EntitlementCache EntitlementCache::decode(const JsonReader &json)
{
    EntitlementCache cache;
    cache.isActive = json.boolean(u"isActive"_s);
    cache.expiresAt = referenceDate(json, u"expiresAt"_s);
    cache.lastVerified = referenceDate(json, u"lastVerified"_s);
    cache.provider = json.string(u"provider"_s);
    return cache;
}
