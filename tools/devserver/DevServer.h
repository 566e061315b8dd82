#pragma once

#include "devserver/HttpFrontEnd.h"
#include "devserver/RateLimiter.h"
#include "devserver/ServerCatalogue.h"
#include "devserver/Store.h"
#include "devserver/Workers.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <mutex>

// Everything the command line can set; the defaults are those of a normal run.
struct DevServerOptions
{
    QString dataDir;
    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 8787;
    QString serversFile;
    bool seedDemo = false;
    int accessTokenTtl = 15 * 60;             // seconds
    int refreshTokenTtl = 30 * 24 * 3600;     // seconds
    int deviceLimit = 3;
    QString defaultPlan = QStringLiteral("monthly");
    int planDays = 30;
    int pbkdf2Iterations = 310000;
    int maxLoginFailures = 5;
    int lockoutSeconds = 5 * 60;
    int resendCooldown = 30;                  // seconds
    int codeTriesPerHour = 10;                // wrong codes per e-mail address
    int clientTriesPerHour = 50;              // wrong codes and passwords per client address
    int hashQueue = 16;                       // password hashes waiting for a worker
    HttpLimits http;
    QString tlsCertFile;
    QString tlsKeyFile;
};

// The development backend: the authentication service ("/auth/...") and the
// VPN API ("/api/v1/...") on one port, over one store.
class DevServer : public QObject
{
    Q_OBJECT
public:
    struct DemoAccount
    {
        QString email;
        QString password;
        QString plan;
        QString expiresAt;
    };

    DevServer(DevServerOptions options, Store &store, ServerCatalogue catalogue, QObject *parent = nullptr);
    ~DevServer() override;

    // Returns the bound port, or 0 with a reason in `error`. With `tls` set
    // the port speaks HTTPS only.
    quint16 listen(const std::optional<QSslConfiguration> &tls, QString *error);

    // Creates the demo account, or makes an existing one usable again: its
    // password, a verified address and an active yearly plan.
    DemoAccount seedDemo();

    static const QString kDemoEmail;
    static const QString kDemoPassword;

private:
    using Handler = std::function<void(DevServer *, const ExchangePtr &)>;
    using UserHandler = std::function<void(DevServer *, const ExchangePtr &, const Store::User &)>;
    struct Route
    {
        QString method;
        QString path;
        Handler handler;
    };

    void addRoute(const QString &method, const QString &path, Handler handler);
    void addUserRoute(const QString &method, const QString &path, UserHandler handler);
    void dispatch(const ExchangePtr &exchange);
    // Runs `work`, turning a refusal or a failure into the exchange's answer.
    static void guarded(const ExchangePtr &exchange, const std::function<void()> &work);

    // Refuses (503) when the queue of password hashes is full.
    void requireHashCapacity() const;
    // Derives a password hash on a worker thread and continues with `done`
    // on this object's thread, guarded as above; refuses as above first.
    void derivePasswordHash(const ExchangePtr &exchange, const QString &password, const QByteArray &salt,
                            int iterations, std::function<void(const QByteArray &)> done);
    Q_INVOKABLE void finishPasswordHashes();

    // Authentication service
    void registerAccount(const ExchangePtr &exchange);
    void verifyEmail(const ExchangePtr &exchange);
    void resendCode(const ExchangePtr &exchange);
    void login(const ExchangePtr &exchange);
    void refresh(const ExchangePtr &exchange);
    void me(const ExchangePtr &exchange, const Store::User &user);
    void forgotPassword(const ExchangePtr &exchange);
    void resetPassword(const ExchangePtr &exchange);

    // VPN API
    void registerDevice(const ExchangePtr &exchange, const Store::User &user);
    void listDevices(const ExchangePtr &exchange, const Store::User &user);
    void revokeDevice(const ExchangePtr &exchange, const Store::User &user);
    void subscriptionStatus(const ExchangePtr &exchange, const Store::User &user);
    void configuration(const ExchangePtr &exchange, const Store::User &user, ServerCatalogue::Protocol protocol);

    // Helpers shared by the handlers
    Store::User userForBearer(const ExchangePtr &exchange);
    QJsonObject issueTokens(const QString &userId, const QString &family);
    // Returns when `code` is the live code of `owner` for `purpose`, else
    // refuses. An address with no account, or one whose account has no use
    // for the purpose, is held against a decoy that never matches and counts
    // wrong tries like a real code, so a stranger gets the same answers.
    void requireCode(const ExchangePtr &exchange, const QString &email, const std::optional<Store::User> &owner,
                     const QString &purpose, const QString &code);
    // Starts a new code for the address and purpose: mailed when `owner` is
    // given, a decoy otherwise. Refuses (429) within the cool-down of the
    // previous request for the same address and purpose when asked to.
    void startCode(const QString &email, const Store::User *owner, const QString &purpose, bool enforceCooldown);
    void startDecoy(const QString &key, qint64 now);
    void mail(const QString &email, const QString &purpose, const QString &code);
    Store::User newAccount(const QString &email, const QByteArray &hash, const QByteArray &salt, bool verified);
    QJsonObject subscriptionJson(const Store::User &user) const;
    QJsonObject deviceListJson(const QString &userId, bool activeOnly);

    DevServerOptions m_options;
    Store &m_store;
    ServerCatalogue m_catalogue;
    HttpFrontEnd *m_http;
    QList<Route> m_routes;
    QTimer m_purgeTimer;
    // Abuse limits, in memory and the same for every address, whether or not
    // it has an account: requests for codes, wrong codes per address and
    // per client, wrong passwords in a row per address.
    RateLimiter m_codeRequests;
    RateLimiter m_addressCodeTries;
    RateLimiter m_clientTries;
    RateLimiter m_loginFailures;
    QHash<QString, Store::Code> m_decoyCodes; // by purpose:address
    // Requests waiting for a password hash, by job number (this thread only),
    // and the hashes the workers have finished (under the mutex).
    struct PendingHash
    {
        ExchangePtr exchange;
        std::function<void(const QByteArray &)> done;
    };
    static constexpr int kHashThreads = 2;
    QHash<quint64, PendingHash> m_pendingHashes;
    quint64 m_nextHashJob = 0;
    std::mutex m_finishedMutex;
    QList<QPair<quint64, QByteArray>> m_finishedHashes;
    // Last member: destroyed first, so its jobs finish while the rest exists.
    Workers m_hashWorkers{kHashThreads};
};
