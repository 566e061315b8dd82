#include "devserver/DevServer.h"

#include "devserver/ApiError.h"
#include "devserver/Secrets.h"
#include "devserver/ServerLog.h"
#include "devserver/Time.h"

#include <QDir>
#include <QFile>
#include <QPointer>

#include <exception>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

const QString DevServer::kDemoEmail = u"demo@example.com"_s;
const QString DevServer::kDemoPassword = u"velorin-demo"_s;

namespace {
const qint64 kCodeLifetimeMs = 15 * 60 * 1000;
const int kMaxCodeAttempts = 5;
const qint64 kPurgeIntervalMs = 60 * 60 * 1000;
const qint64 kHourMs = 60 * 60 * 1000;
const qint64 kDayMs = 24 * kHourMs;
const qsizetype kMaxDecoyCodes = 20000;

QByteArray codeHash(const QString &userId, const QString &purpose, const QString &code)
{
    return Secrets::sha256(userId + u':' + purpose + u':' + code);
}
} // namespace

DevServer::DevServer(DevServerOptions options, Store &store, ServerCatalogue catalogue, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_store(store)
    , m_catalogue(std::move(catalogue))
    , m_http(new HttpFrontEnd(m_options.http, [this](const ExchangePtr &exchange) { dispatch(exchange); }, this))
    , m_codeRequests(1, m_options.resendCooldown * 1000LL, RateLimiter::Window::FromFirstEvent)
    , m_addressCodeTries(m_options.codeTriesPerHour, kHourMs, RateLimiter::Window::FromFirstEvent)
    , m_clientTries(m_options.clientTriesPerHour, kHourMs, RateLimiter::Window::FromFirstEvent)
    , m_loginFailures(m_options.maxLoginFailures, m_options.lockoutSeconds * 1000LL, RateLimiter::Window::FromLastEvent)
{
    using Protocol = ServerCatalogue::Protocol;
    addRoute(u"POST"_s, u"/auth/register"_s, &DevServer::registerAccount);
    addRoute(u"POST"_s, u"/auth/verify-email"_s, &DevServer::verifyEmail);
    addRoute(u"POST"_s, u"/auth/resend-code"_s, &DevServer::resendCode);
    addRoute(u"POST"_s, u"/auth/login"_s, &DevServer::login);
    addRoute(u"POST"_s, u"/auth/refresh"_s, &DevServer::refresh);
    addUserRoute(u"GET"_s, u"/auth/me"_s, &DevServer::me);
    addRoute(u"POST"_s, u"/auth/forgot-password"_s, &DevServer::forgotPassword);
    addRoute(u"POST"_s, u"/auth/reset-password"_s, &DevServer::resetPassword);
    addUserRoute(u"POST"_s, u"/api/v1/devices/register"_s, &DevServer::registerDevice);
    addUserRoute(u"GET"_s, u"/api/v1/devices"_s, &DevServer::listDevices);
    addUserRoute(u"POST"_s, u"/api/v1/devices/revoke"_s, &DevServer::revokeDevice);
    addUserRoute(u"GET"_s, u"/api/v1/subscriptions/status"_s, &DevServer::subscriptionStatus);
    addUserRoute(u"GET"_s, u"/api/v1/ikev2/config"_s,
                 [](DevServer *server, const ExchangePtr &exchange, const Store::User &user) {
                     server->configuration(exchange, user, Protocol::IKEv2);
                 });
    addUserRoute(u"GET"_s, u"/api/v1/wireguard/config"_s,
                 [](DevServer *server, const ExchangePtr &exchange, const Store::User &user) {
                     server->configuration(exchange, user, Protocol::WireGuard);
                 });
    addUserRoute(u"GET"_s, u"/api/v1/xray/config"_s,
                 [](DevServer *server, const ExchangePtr &exchange, const Store::User &user) {
                     server->configuration(exchange, user, Protocol::Xray);
                 });

    m_purgeTimer.setInterval(kPurgeIntervalMs);
    connect(&m_purgeTimer, &QTimer::timeout, this, [this] {
        const qint64 now = Time::nowMs();
        for (RateLimiter *limiter : {&m_codeRequests, &m_addressCodeTries, &m_clientTries, &m_loginFailures})
            limiter->purge(now);
        m_decoyCodes.removeIf([now](const auto &decoy) { return decoy.value().expiresAt <= now - kDayMs; });
        try {
            m_store.purgeExpired(now);
        } catch (const StoreFailure &failure) {
            ServerLog::err(u"velorin-devserver: cleaning up expired tokens failed: "_s + failure.message);
        }
    });
    m_store.purgeExpired(Time::nowMs());
    m_purgeTimer.start();
}

// Password hashing is the one slow step; it runs on m_hashWorkers beside the
// event loop. Their jobs use this object, which still exists while the
// workers (its last member) finish.
DevServer::~DevServer() = default;

quint16 DevServer::listen(const std::optional<QSslConfiguration> &tls, QString *error)
{
    return m_http->listenOn(m_options.listenAddress, m_options.port, tls, error);
}

void DevServer::addRoute(const QString &method, const QString &path, Handler handler)
{
    m_routes.append(Route{method, path, std::move(handler)});
}

void DevServer::addUserRoute(const QString &method, const QString &path, UserHandler handler)
{
    addRoute(method, path, [handler = std::move(handler)](DevServer *server, const ExchangePtr &exchange) {
        handler(server, exchange, server->userForBearer(exchange));
    });
}

void DevServer::dispatch(const ExchangePtr &exchange)
{
    QStringList allowed;
    for (const Route &route : std::as_const(m_routes)) {
        if (route.path != exchange->path())
            continue;
        if (route.method == exchange->method()) {
            guarded(exchange, [&] { route.handler(this, exchange); });
            return;
        }
        allowed.append(route.method);
    }
    if (allowed.isEmpty()) {
        exchange->reply(404, QJsonObject{{u"error"_s, u"Not found: this server has no such path"_s}});
        return;
    }
    exchange->reply(405, QJsonObject{{u"error"_s, QString(u"Method not allowed; use "_s + allowed.join(u", "_s))}},
                    {{"Allow", allowed.join(u", "_s).toLatin1()}});
}

void DevServer::guarded(const ExchangePtr &exchange, const std::function<void()> &work)
{
    const QString failed = u"Something went wrong on the server. Please try again."_s;
    try {
        work();
    } catch (const ApiError &error) {
        exchange->reply(error.status, error.body, error.headers);
    } catch (const StoreFailure &failure) {
        ServerLog::err(u"velorin-devserver: database error: "_s + failure.message);
        exchange->reply(500, QJsonObject{{u"error"_s, failed}});
    } catch (const std::exception &exception) {
        ServerLog::err(u"velorin-devserver: "_s + QString::fromLocal8Bit(exception.what()));
        exchange->reply(500, QJsonObject{{u"error"_s, failed}});
    }
}

void DevServer::requireHashCapacity() const
{
    // Each request waiting for a hash holds its connection and its body; a
    // full queue turns further ones away at once instead of letting them
    // pile up in memory.
    if (m_pendingHashes.size() >= m_options.hashQueue + kHashThreads)
        throw ApiError::make(503, u"The server is busy. Please try again in a moment."_s, {{"Retry-After", "1"}});
}

void DevServer::derivePasswordHash(const ExchangePtr &exchange, const QString &password, const QByteArray &salt,
                                   int iterations, std::function<void(const QByteArray &)> done)
{
    requireHashCapacity();
    // The request and its continuation stay on this thread; the worker gets
    // plain data and hands the hash back through m_finishedHashes. So every
    // request is answered and released on the thread that owns its socket.
    const quint64 job = ++m_nextHashJob;
    m_pendingHashes.insert(job, PendingHash{exchange, std::move(done)});
    // Deep copies: no byte array data is shared between threads.
    m_hashWorkers.start([this, job, secret = password.toUtf8(), salt = QByteArray(salt.constData(), salt.size()),
                         iterations] {
        const QByteArray hash = Secrets::pbkdf2(secret, salt, iterations);
        {
            std::lock_guard lock(m_finishedMutex);
            m_finishedHashes.append({job, hash});
        }
        QMetaObject::invokeMethod(this, "finishPasswordHashes", Qt::QueuedConnection);
    });
}

void DevServer::finishPasswordHashes()
{
    QList<QPair<quint64, QByteArray>> finished;
    {
        std::lock_guard lock(m_finishedMutex);
        finished.swap(m_finishedHashes);
    }
    for (const auto &[job, hash] : std::as_const(finished)) {
        const PendingHash pending = m_pendingHashes.take(job);
        if (pending.exchange)
            guarded(pending.exchange, [&] { pending.done(hash); });
    }
}

// --- helpers -------------------------------------------------------------------

Store::User DevServer::userForBearer(const ExchangePtr &exchange)
{
    const QByteArray authorization = exchange->header("authorization").trimmed();
    const QByteArray token = authorization.left(7).toLower() == "bearer " ? authorization.mid(7).trimmed() : QByteArray();
    if (token.isEmpty())
        throw ApiError::make(401, u"Sign in to continue."_s, {{"WWW-Authenticate", "Bearer"}});
    const std::optional<QString> userId = m_store.userForAccessToken(Secrets::sha256(token), Time::nowMs());
    const std::optional<Store::User> user = userId ? m_store.userById(*userId) : std::nullopt;
    if (!user)
        throw ApiError::make(401, u"Your session has expired. Please sign in again."_s,
                             {{"WWW-Authenticate", "Bearer error=\"invalid_token\""}});
    return *user;
}

QJsonObject DevServer::issueTokens(const QString &userId, const QString &family)
{
    const qint64 now = Time::nowMs();
    const QString access = Secrets::newToken("vat_");
    const QString refresh = Secrets::newToken("vrt_");
    Store::Transaction transaction(m_store);
    m_store.addAccessToken(Secrets::sha256(access), userId, family, now + m_options.accessTokenTtl * 1000LL);
    m_store.addRefreshToken(Secrets::sha256(refresh), userId, family, now, now + m_options.refreshTokenTtl * 1000LL);
    transaction.commit();
    return QJsonObject{{u"access_token"_s, access}, {u"refresh_token"_s, refresh},
                       {u"expires_in"_s, m_options.accessTokenTtl}};
}

void DevServer::requireCode(const ExchangePtr &exchange, const QString &email, const std::optional<Store::User> &owner,
                            const QString &purpose, const QString &code)
{
    const qint64 now = Time::nowMs();
    const QString askAgain = purpose == u"reset"_s ? u"Ask for a new reset code."_s : u"Ask for a new code."_s;
    const qint64 wait = std::max(m_addressCodeTries.waitFor(email, now), m_clientTries.waitFor(exchange->client(), now));
    if (wait > 0)
        throw ApiError::make(429, u"Too many wrong codes. Try again in "_s + Time::minutesText(wait) + u'.');

    const bool real = owner && (purpose == u"reset"_s || !owner->emailVerified);
    const std::optional<Store::Code> stored = real ? m_store.code(owner->id, purpose) : std::nullopt;
    const QString decoyKey = purpose + u':' + email;
    if (!stored && !m_decoyCodes.contains(decoyKey))
        startDecoy(decoyKey, now);
    const Store::Code current = stored ? *stored : m_decoyCodes.value(decoyKey);
    if (current.attempts >= kMaxCodeAttempts)
        throw ApiError::make(400, u"There is no valid code for this address. "_s + askAgain);
    if (current.expiresAt <= now)
        throw ApiError::make(400, u"This code has expired. "_s + askAgain);
    const QByteArray candidate = codeHash(real ? owner->id : email, purpose, code.trimmed());
    if (stored && Secrets::constantTimeEquals(candidate, stored->hash))
        return;

    const int attempts = current.attempts + 1;
    if (stored)
        m_store.setCodeAttempts(owner->id, purpose, attempts);
    else
        m_decoyCodes[decoyKey].attempts = attempts;
    m_addressCodeTries.record(email, now);
    m_clientTries.record(exchange->client(), now);
    if (attempts >= kMaxCodeAttempts)
        throw ApiError::make(429, u"Too many wrong codes. "_s + askAgain);
    const int left = kMaxCodeAttempts - attempts;
    throw ApiError::make(400, u"That code is not right. %1 %2 left."_s.arg(left).arg(left == 1 ? u"try"_s : u"tries"_s));
}

void DevServer::startDecoy(const QString &key, qint64 now)
{
    if (m_decoyCodes.size() >= kMaxDecoyCodes)
        m_decoyCodes.removeIf([now](const auto &decoy) { return decoy.value().expiresAt <= now; });
    if (m_decoyCodes.size() >= kMaxDecoyCodes)
        m_decoyCodes.erase(m_decoyCodes.begin());
    m_decoyCodes.insert(key, Store::Code{{}, now, now + kCodeLifetimeMs, 0});
}

void DevServer::startCode(const QString &email, const Store::User *owner, const QString &purpose, bool enforceCooldown)
{
    const qint64 now = Time::nowMs();
    const QString key = purpose + u':' + email;
    const qint64 wait = m_codeRequests.waitFor(key, now);
    if (enforceCooldown && wait > 0) {
        const qint64 seconds = (wait + 999) / 1000;
        throw ApiError::make(429, u"Please wait %1 %2 before asking for another code."_s.arg(seconds).arg(
                                      seconds == 1 ? u"second"_s : u"seconds"_s));
    }
    m_codeRequests.record(key, now);
    if (!owner) {
        startDecoy(key, now);
        return;
    }
    m_decoyCodes.remove(key);
    const QString code = Secrets::sixDigitCode();
    m_store.putCode(owner->id, purpose, Store::Code{codeHash(owner->id, purpose, code), now, now + kCodeLifetimeMs, 0});
    mail(owner->email, purpose, code);
}

void DevServer::mail(const QString &email, const QString &purpose, const QString &code)
{
    const QString line = ServerLog::timestamp() + u" to="_s + email + u" purpose="_s + purpose + u" code="_s + code;
    const QByteArray path = QFile::encodeName(QDir(m_options.dataDir).filePath(u"outbox.log"_s));
    const QByteArray bytes = line.toUtf8() + '\n';
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    if (fd >= 0)
        ::close(fd);
    if (!written) {
        ServerLog::err(u"velorin-devserver: cannot append to "_s + QFile::decodeName(path));
        throw ApiError::make(500, u"We could not send the email. Please try again."_s);
    }
    ServerLog::out(line);
}

Store::User DevServer::newAccount(const QString &email, const QByteArray &hash, const QByteArray &salt, bool verified)
{
    const qint64 now = Time::nowMs();
    Store::User user;
    user.email = email;
    user.passwordHash = hash;
    user.passwordSalt = salt;
    user.passwordIterations = m_options.pbkdf2Iterations;
    user.emailVerified = verified;
    user.createdAt = now;
    user.plan = m_options.defaultPlan;
    user.planIsTrial = m_options.defaultPlan == u"trial"_s;
    user.planExpiresAt = Time::wholeSecondsFromNow(now, m_options.planDays * 86400LL);
    return m_store.createUser(user);
}

QJsonObject DevServer::subscriptionJson(const Store::User &user) const
{
    const bool expired = user.planExpiresAt <= Time::nowMs();
    const QString status = expired ? u"expired"_s : (user.planIsTrial ? u"trial"_s : u"active"_s);
    return QJsonObject{{u"status"_s, status},
                       {u"plan"_s, user.plan},
                       {u"expires_at"_s, Time::dateTimeSeconds(user.planExpiresAt)},
                       {u"is_trial"_s, user.planIsTrial}};
}

DevServer::DemoAccount DevServer::seedDemo()
{
    const QByteArray salt = Secrets::randomBytes(16);
    const QByteArray hash = Secrets::pbkdf2(kDemoPassword.toUtf8(), salt, m_options.pbkdf2Iterations);
    const qint64 expiresAt = Time::wholeSecondsFromNow(Time::nowMs(), 365 * 86400LL);
    Store::Transaction transaction(m_store);
    std::optional<Store::User> user = m_store.userByEmail(kDemoEmail);
    if (!user)
        user = newAccount(kDemoEmail, hash, salt, true);
    m_store.setPassword(user->id, hash, salt, m_options.pbkdf2Iterations);
    m_store.setEmailVerified(user->id);
    m_store.setPlan(user->id, u"yearly"_s, false, expiresAt);
    transaction.commit();
    return DemoAccount{kDemoEmail, kDemoPassword, u"yearly"_s, Time::dateTimeSeconds(expiresAt)};
}
