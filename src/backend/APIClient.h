#pragma once

#include "backend/APIError.h"
#include "backend/Endpoints.h"
#include "backend/HttpExchange.h"
#include "model/JsonReader.h"
#include "platform/AppInfo.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class FileLock;
class KeychainManager;
class QNetworkAccessManager;

// The HTTP client of the authentication service.
//
// Builds JSON requests against Endpoints::authBaseURL, attaches the bearer
// token when asked, turns HTTP statuses into APIError, decodes 2xx bodies
// with JsonReader, and refreshes the token pair so that concurrent callers
// share one refresh. Lives on the main thread; every coroutine here runs
// there and suspends only while waiting for the network.
//
// Failures are thrown to the caller, never logged here: APIError (statuses,
// a missing token, a bad URL), TransportError (no complete HTTP answer,
// time-outs) and DecodeError (a 2xx body that does not match T). All derive
// from AppError.
//
// Time-outs: a request fails when no data moves for the idle limit (30 s) or
// when the whole exchange takes longer than the total limit (60 s).
//
// It also renews the session for every signed-in request of the process
// (HttpExchange::sendAuthorized): a request answered 401 gets one shared
// refresh and one retry, and a token whose lifetime is known is refreshed
// shortly before it runs out. Refreshes are serialised across the processes
// sharing the token store, since the service ends the whole sign-in when a
// refresh token is presented twice.
class APIClient : public QObject, public HttpExchange::AccessTokenRenewer
{
    Q_OBJECT
public:
    using AppInfoSource = std::function<AppInfo()>;

    static constexpr std::chrono::milliseconds defaultIdleTimeout = std::chrono::seconds(30);
    static constexpr std::chrono::milliseconds defaultTotalTimeout = std::chrono::seconds(60);

    // `network` may be null: the client then makes and owns its own. The
    // AppInfo source gives the version for the User-Agent header
    // (AppInfo::current when empty).
    APIClient(KeychainManager &keychainManager, Endpoints endpoints, QNetworkAccessManager *network = nullptr,
              AppInfoSource appInfo = {}, QObject *parent = nullptr);
    ~APIClient() override;

    const Endpoints &endpoints() const { return m_endpoints; }
    KeychainManager &keychainManager() const { return m_keychain; }

    void setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds total);

    // Sends `method` to authBaseURL + path and decodes the 2xx body as T
    // (a record with `static T decode(const JsonReader &)`).
    template<typename T>
    QCoro::Task<T> request(QString path, QString method, std::optional<QByteArray> body, bool requiresAuth)
    {
        return decoded<T>(send(std::move(path), std::move(method), std::move(body), requiresAuth));
    }

    // POSTs the body record B (with `QByteArray toJson() const`) and decodes T.
    template<typename T, typename B>
    QCoro::Task<T> post(QString path, const B &body, bool requiresAuth)
    {
        return request<T>(std::move(path), QStringLiteral("POST"), body.toJson(), requiresAuth);
    }

    // Exchanges the stored refresh token for a new pair and stores both
    // tokens. A call while a refresh runs waits for that refresh and shares
    // its outcome; no second request is sent. Fails with missingAccessToken,
    // without a request, when no refresh token is stored. Tokens are left as
    // they were unless the refresh succeeded.
    QCoro::Task<> refreshAccessToken();
    bool isRefreshing() const { return m_refresh.has_value(); }

    // Notes the lifetime the service gave with an access token ("expires_in",
    // seconds), so that requests renew it shortly before it runs out.
    void noteAccessTokenLifetime(const QString &accessToken, qint64 expiresInSeconds);
    bool expiresSoon(const QString &token) const override;
    QCoro::Task<std::optional<QString>> renewedAccessToken(QString token) override;

    // The untyped core of request(): sends and gives the whole 2xx body.
    QCoro::Task<QByteArray> send(QString path, QString method, std::optional<QByteArray> body, bool requiresAuth);

signals:
    // The service refused the refresh token (spent, expired or revoked):
    // the stored session is over. `reason` is the refusal's description.
    void sessionEnded(const QString &reason);

private:
    // The templates above are plain functions over two coroutines, send()
    // (compiled out of line) and decoded(): g++ 12 at -O1 and above warns falsely
    // (maybe-uninitialized) when an empty std::optional argument is moved into
    // the frame of a coroutine inlined into its caller.
    template<typename T>
    static QCoro::Task<T> decoded(QCoro::Task<QByteArray> sending)
    {
        const QByteArray data = co_await std::move(sending);
        co_return decodeBody<T>(data);
    }

    QCoro::Task<> runRefresh(std::shared_ptr<QPromise<void>> promise);
    QCoro::Task<> takeRefreshLock(FileLock &lock);

    KeychainManager &m_keychain;
    const Endpoints m_endpoints;
    QNetworkAccessManager *m_network;
    AppInfoSource m_appInfo;
    std::chrono::milliseconds m_idleTimeout = defaultIdleTimeout;
    std::chrono::milliseconds m_totalTimeout = defaultTotalTimeout;
    std::optional<QFuture<void>> m_refresh;
    // The access token whose lifetime is known, and when to renew it.
    QString m_timedToken;
    QDeadlineTimer m_renewAt;
};
