#include "backend/APIClient.h"

#include "backend/HttpExchange.h"

#include "model/AuthMessages.h"
#include "platform/DirectNetwork.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "storage/KeychainManager.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>

using namespace Qt::StringLiterals;

namespace {

// Renewal starts this long before a known expiry (at most a fifth of the
// lifetime, for short-lived tokens).
constexpr std::chrono::seconds kRenewAhead(60);
// How long a refresh waits for another process's refresh to finish; past
// that the other is taken to be stuck and this one goes ahead.
constexpr std::chrono::milliseconds kRefreshLockWait(70000);
constexpr std::chrono::milliseconds kRefreshLockPoll(50);

// A refresh the service refused: the refresh token is spent, expired or
// revoked, so the session cannot go on.
bool isRefusal(const std::exception &error)
{
    const auto *api = dynamic_cast<const APIError *>(&error);
    return api && (api->kind() == APIError::Kind::Unauthorized || api->kind() == APIError::Kind::Forbidden);
}

} // namespace

APIClient::APIClient(KeychainManager &keychainManager, Endpoints endpoints, QNetworkAccessManager *network,
                     AppInfoSource appInfo, QObject *parent)
    : QObject(parent)
    , m_keychain(keychainManager)
    , m_endpoints(std::move(endpoints))
    , m_network(network ? network : DirectNetwork::create(this))
    , m_appInfo(appInfo ? std::move(appInfo) : AppInfoSource(&AppInfo::current))
{
}

APIClient::~APIClient()
{
    if (HttpExchange::AccessTokenRenewer::current() == this)
        HttpExchange::AccessTokenRenewer::setCurrent(nullptr);
}

void APIClient::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds total)
{
    m_idleTimeout = idle;
    m_totalTimeout = total;
}

QCoro::Task<QByteArray> APIClient::send(QString path, QString method, std::optional<QByteArray> body,
                                        bool requiresAuth)
{
    const std::optional<QUrl> url = HttpExchange::absoluteUrl(m_endpoints.authBaseURL + path);
    if (!url)
        throw APIError::invalidURL(path);
    std::optional<QString> token;
    if (requiresAuth) {
        token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
        if (!token)
            throw APIError::missingAccessToken();
    }
    const QNetworkRequest request = HttpExchange::makeRequest(
        *url, m_idleTimeout, token, "VelorinSecure-macOS/" + m_appInfo().shortVersion().toUtf8(), true);

    const QByteArray verb = method.toUtf8();
    auto sending = requiresAuth
        ? HttpExchange::sendAuthorized(m_network, request, verb, std::move(body), this, this, m_totalTimeout)
        : HttpExchange::send(m_network, request, verb, std::move(body), this, m_totalTimeout);
    const HttpExchange::Answer answer = co_await std::move(sending);
    if (!answer.status)
        throw APIError::invalidResponse();
    if (*answer.status < 200 || *answer.status > 299)
        throw APIError::forStatus(*answer.status, answer.body);
    if (const auto logged = HttpExchange::loggedBody(answer.body))
        Log::system(u"📄 AuthAPI: Raw response: "_s + *logged);
    co_return answer.body;
}

QCoro::Task<> APIClient::refreshAccessToken()
{
    QFuture<void> refresh;
    if (m_refresh) {
        refresh = *m_refresh;
    } else {
        auto promise = std::make_shared<QPromise<void>>();
        promise->start();
        refresh = promise->future();
        m_refresh = refresh;
        // Runs until its first wait; it may also end right here.
        runRefresh(std::move(promise));
    }
    co_await refresh;
}

QCoro::Task<> APIClient::takeRefreshLock(FileLock &lock)
{
    const QDeadlineTimer deadline(kRefreshLockWait);
    while (!lock.tryLock() && lock.isOpen() && !deadline.hasExpired())
        co_await QCoro::sleepFor(kRefreshLockPoll);
}

QCoro::Task<> APIClient::runRefresh(std::shared_ptr<QPromise<void>> promise)
{
    std::optional<QString> refusal;
    std::exception_ptr refused;
    try {
        const auto known = m_keychain.retrieveString(KeychainManager::refreshTokenKey);
        if (!known)
            throw APIError::missingAccessToken();
        // One refresh at a time among the processes sharing the store; the
        // lock goes with this frame. Without a usable lock file it goes ahead.
        FileLock lock(m_keychain.refreshLockPath());
        co_await takeRefreshLock(lock);
        // A process that refreshed while this one waited has stored a new
        // pair, and the token read above is spent: use theirs.
        m_keychain.reload();
        const auto refreshToken = m_keychain.retrieveString(KeychainManager::refreshTokenKey);
        if (!refreshToken)
            throw APIError::missingAccessToken();
        if (*refreshToken == *known) {
            std::optional<RefreshTokenResponse> response;
            try {
                response = co_await post<RefreshTokenResponse>(ApiPath::refresh, RefreshTokenRequest{*refreshToken}, false);
            } catch (const std::exception &error) {
                if (!isRefusal(error))
                    throw;
                refusal = errorDescription(error);
                refused = std::current_exception();
            }
            if (refused)
                std::rethrow_exception(refused);
            m_keychain.save(response->accessToken, KeychainManager::accessTokenKey);
            m_keychain.save(response->refreshToken, KeychainManager::refreshTokenKey);
            noteAccessTokenLifetime(response->accessToken, response->expiresIn);
        }
        Log::system(u"✅ APIClient: Token refresh successful (coalesced)"_s);
        m_refresh.reset();
        promise->finish();
    } catch (...) {
        // Cleared before the waiters resume, so a call made from a waiter starts afresh.
        m_refresh.reset();
        if (refusal)
            emit sessionEnded(*refusal);
        promise->setException(std::current_exception());
        promise->finish();
    }
}

void APIClient::noteAccessTokenLifetime(const QString &accessToken, qint64 expiresInSeconds)
{
    if (expiresInSeconds <= 0)
        return;
    const std::chrono::milliseconds lifetime = std::chrono::seconds(expiresInSeconds);
    m_timedToken = accessToken;
    m_renewAt = QDeadlineTimer(lifetime - std::min<std::chrono::milliseconds>(kRenewAhead, lifetime / 5));
}

bool APIClient::expiresSoon(const QString &token) const
{
    return !m_timedToken.isEmpty() && token == m_timedToken && m_renewAt.hasExpired();
}

QCoro::Task<std::optional<QString>> APIClient::renewedAccessToken(QString token)
{
    // Another request, or another process, may have renewed it already.
    m_keychain.reload();
    const auto stored = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (stored && *stored != token)
        co_return stored;
    bool ended = false;
    try {
        co_await refreshAccessToken();
    } catch (const APIError &error) {
        // Refused, or no refresh token at all: the session is over. Anything
        // else (a server fault) goes to the caller.
        ended = isRefusal(error) || error.kind() == APIError::Kind::MissingAccessToken;
        if (!ended)
            throw;
    }
    if (ended)
        co_return std::nullopt;
    co_return m_keychain.retrieveString(KeychainManager::accessTokenKey);
}
