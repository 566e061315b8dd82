#include "backend/APIClient.h"

#include "backend/HttpExchange.h"

#include "model/AuthMessages.h"
#include "model/SecretMask.h"
#include "platform/DirectNetwork.h"
#include "platform/Log.h"
#include "platform/ReplyLimit.h"
#include "platform/Utf8.h"
#include "storage/KeychainManager.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kLoggedCharacters = 500;

// Errors Qt reports for an HTTP answer that arrived whole but carries an
// error status; the status code then decides.
bool reportsHttpStatus(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::NoError
        || (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

QByteArray mapStatus(int status, const QByteArray &body)
{
    if (status >= 200 && status <= 299) {
        if (const auto text = Utf8::decode(body))
            Log::system(APIClient::rawResponseLine(*text));
        return body;
    }
    switch (status) {
    case 401:
        throw APIError::unauthorized();
    case 403:
        throw APIError::forbidden();
    case 404:
        throw APIError::notFound();
    case 409:
        throw APIError::httpError(status, Utf8::decode(body).value_or(u"Conflict"_s));
    case 429:
        throw APIError::httpError(status, Utf8::decode(body).value_or(u"Rate limited"_s));
    default:
        throw APIError::httpError(status, Utf8::decode(body).value_or(u"Unknown error"_s));
    }
}

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

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

APIClient::~APIClient() = default;

APIClient &APIClient::shared()
{
    static APIClient *client = new APIClient(KeychainManager::shared(), Endpoints::fromBuild());
    return *client;
}

void APIClient::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds total)
{
    m_idleTimeout = idle;
    m_totalTimeout = total;
}

QString APIClient::rawResponseLine(const QString &body)
{
    return u"📄 AuthAPI: Raw response: "_s + HttpExchange::firstCharacters(SecretMask::apply(body), kLoggedCharacters);
}

QCoro::Task<QByteArray> APIClient::send(QString path, QString method, std::optional<QByteArray> body,
                                        bool requiresAuth)
{
    const QUrl url(m_endpoints.authBaseURL + path, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw APIError::invalidURL(path);

    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_idleTimeout.count()));
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("User-Agent", "VelorinSecure-macOS/" + m_appInfo().shortVersion().toUtf8());
    if (requiresAuth) {
        const auto token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
        if (!token)
            throw APIError::missingAccessToken();
        request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
    }

    const QByteArray verb = method.toUtf8();
    QNetworkReply *sent = nullptr;
    if (body)
        sent = m_network->sendCustomRequest(request, verb, *body);
    else if (verb == "GET")
        sent = m_network->get(request);
    else
        sent = m_network->sendCustomRequest(request, verb);
    // Owned by the client, so no reply outlives it (a request still running
    // when the client is destroyed then never completes).
    sent->setParent(this);
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(sent);

    ReplyLimit::apply(sent, m_totalTimeout);

    co_await reply.get();

    if (ReplyLimit::reasonFor(*reply) == ReplyLimit::Reason::TooLarge)
        throw TransportError::tooLarge();
    const QNetworkReply::NetworkError error = reply->error();
    // The client cancels a request only when one of its limits runs out.
    if (error == QNetworkReply::OperationCanceledError)
        throw TransportError::timedOut();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!reportsHttpStatus(error))
        throw TransportError(error, reply->errorString());
    if (!status.isValid())
        throw APIError::invalidResponse();
    co_return mapStatus(status.toInt(), reply->readAll());
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

QCoro::Task<> APIClient::runRefresh(std::shared_ptr<QPromise<void>> promise)
{
    try {
        const auto refreshToken = m_keychain.retrieveString(KeychainManager::refreshTokenKey);
        if (!refreshToken)
            throw APIError::missingAccessToken();
        const RefreshTokenResponse response =
            co_await post<RefreshTokenResponse>(ApiPath::refresh, RefreshTokenRequest{*refreshToken}, false);
        m_keychain.save(response.accessToken, KeychainManager::accessTokenKey);
        m_keychain.save(response.refreshToken, KeychainManager::refreshTokenKey);
        Log::system(u"✅ APIClient: Token refresh successful (coalesced)"_s);
        m_refresh.reset();
        promise->finish();
    } catch (...) {
        // Cleared before the waiters resume, so a call made from a waiter starts afresh.
        m_refresh.reset();
        promise->setException(std::current_exception());
        promise->finish();
    }
}
