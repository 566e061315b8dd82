#include "backend/EntitlementManager.h"

#include "backend/APIError.h"
#include "backend/HttpExchange.h"
#include "model/InternetDateTime.h"
#include "platform/DirectNetwork.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

QString trueOrFalse(bool value)
{
    return value ? u"true"_s : u"false"_s;
}

} // namespace

QString EntitlementError::description() const
{
    switch (m_kind) {
    case Kind::InvalidURL:
        return u"Invalid subscription status URL"_s;
    case Kind::ServerError:
        return u"Subscription status server error"_s;
    case Kind::Unauthorized:
        return u"Subscription status request unauthorized"_s;
    case Kind::NoInternet:
        return u"No internet connection"_s;
    }
    return {};
}

EntitlementManager::EntitlementManager(UserDefaults &appGroup, Endpoints endpoints, QNetworkAccessManager *network,
                                       QObject *parent)
    : QObject(parent)
    , m_appGroup(appGroup)
    , m_endpoints(std::move(endpoints))
    , m_network(network ? network : DirectNetwork::create(this))
{
}

QCoro::Task<> EntitlementManager::syncWithBackend(QString accessToken)
{
    Log::system(u"🔄 [EntitlementManager] Starting backend sync with subscription status..."_s);
    const QString urlText = m_endpoints.vpnApiBaseURL() + ApiPath::subscriptionStatus;
    const std::optional<QUrl> url = HttpExchange::absoluteUrl(urlText);
    if (!url) {
        Log::system(u"❌ [EntitlementManager] Invalid URL construction"_s);
        throw EntitlementError(EntitlementError::Kind::InvalidURL);
    }
    Log::system(u"🌐 [EntitlementManager] Fetching from: "_s + urlText);

    const QNetworkRequest request = HttpExchange::makeRequest(*url, m_timeout, accessToken);
    HttpExchange::Answer answer;
    try {
        answer = co_await HttpExchange::sendAuthorized(m_network, request, "GET", std::nullopt, this);
    } catch (const std::exception &error) {
        Log::system(u"❌ [EntitlementManager] Sync failed: "_s + errorDescription(error));
        throw;
    }
    if (!answer.status) {
        Log::system(u"❌ [EntitlementManager] Invalid response type"_s);
        throw EntitlementError(EntitlementError::Kind::ServerError);
    }
    const int status = *answer.status;
    Log::system(u"📊 [EntitlementManager] Response status: "_s + QString::number(status));

    if (status == 401) {
        Log::system(u"❌ [EntitlementManager] Unauthorized - JWT token rejected by backend"_s);
        Log::system(u"⚠️ [EntitlementManager] Token might be expired or invalid"_s);
        throw EntitlementError(EntitlementError::Kind::Unauthorized);
    }
    if (status != 200) {
        Log::system(u"❌ [EntitlementManager] Unexpected status: "_s + QString::number(status));
        throw EntitlementError(EntitlementError::Kind::ServerError);
    }

    Log::system(u"✅ [EntitlementManager] Received 200 OK"_s);
    SubscriptionStatusResponse subscription;
    try {
        subscription = decodeBody<SubscriptionStatusResponse>(answer.body);
    } catch (const std::exception &error) {
        Log::system(u"❌ [EntitlementManager] Sync failed: "_s + errorDescription(error));
        throw;
    }
    Log::system(u"✅ [EntitlementManager] Subscription decoded successfully"_s);
    // Exactly "active": "Active" and "trial" count as inactive.
    const bool isActive = subscription.status == u"active";
    Log::system(u"✅ [EntitlementManager] Active: "_s + trueOrFalse(isActive) + u", Expires: "_s
                + InternetDateTime::logDescription(subscription.expiresAt));
    saveEntitlement(isActive, subscription.expiresAt, subscription.plan);
    Log::system(u"✅ [EntitlementManager] Synced with backend: active="_s + trueOrFalse(isActive));
}

void EntitlementManager::saveEntitlement(bool isActive, const QDateTime &expiresAt, const QString &provider)
{
    const EntitlementCache cache{isActive, expiresAt, QDateTime::currentDateTimeUtc(), provider};
    if (!m_appGroup.set(cacheKey, cache.toJson())) {
        Log::system(u"❌ [EntitlementManager] Failed to encode or access shared storage"_s);
        return;
    }
    Log::system(u"✅ [EntitlementManager] Saved entitlement: active="_s + trueOrFalse(isActive) + u", expires="_s
                + InternetDateTime::logDescription(expiresAt) + u", provider="_s + provider);
    emit cacheChanged();
}

std::optional<EntitlementCache> EntitlementManager::loadCachedEntitlement() const
{
    if (!m_appGroup.contains(cacheKey)) {
        Log::system(u"⚠️ [EntitlementManager] No cached entitlement found"_s);
        return std::nullopt;
    }
    const auto bytes = m_appGroup.data(cacheKey);
    if (!bytes)
        return std::nullopt;
    return tryDecodeBody<EntitlementCache>(*bytes);
}

void EntitlementManager::clearCache()
{
    m_appGroup.remove(cacheKey);
    Log::system(u"🗑️ [EntitlementManager] Cleared entitlement cache"_s);
    emit cacheChanged();
}
