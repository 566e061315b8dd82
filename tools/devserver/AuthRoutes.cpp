// The authentication service: accounts, codes by e-mail, sign-in and tokens.
#include "devserver/ApiError.h"
#include "devserver/DevServer.h"
#include "devserver/Secrets.h"
#include "devserver/ServerLog.h"
#include "devserver/Time.h"

using namespace Qt::StringLiterals;

namespace {

const QString kVerify = u"verify"_s;
const QString kReset = u"reset"_s;
const QString kWrongCredentials = u"Invalid email or password"_s;

// Addresses are compared without case and surrounding blanks.
QString normalisedEmail(const QString &raw)
{
    const QString email = raw.trimmed().toLower();
    const qsizetype at = email.indexOf(u'@');
    bool valid = email.size() <= 254 && at > 0 && at == email.lastIndexOf(u'@') && at < email.size() - 1;
    for (const QChar c : email)
        valid = valid && !c.isSpace() && c.category() != QChar::Other_Control && c != u'"' && c != u'<' && c != u'>';
    if (!valid)
        throw ApiError::make(400, u"Enter a valid email address"_s);
    return email;
}

void checkNewPassword(const QString &password)
{
    if (password.size() < 8)
        throw ApiError::make(400, u"Password must be at least 8 characters"_s);
    if (password.size() > 256)
        throw ApiError::make(400, u"Password must be at most 256 characters"_s);
}


const QString kAddressTaken = u"An account with this email already exists"_s;

} // namespace

// Answers that a stranger can see are the same whether or not an address has
// an account, with one exception the client relies on: registering a taken
// address answers 409. An address that was registered but never verified is
// taken too; its owner claims it through a password reset, which proves the
// mailbox, so a stranger who registers it first cannot keep it.
void DevServer::registerAccount(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString password = body.string(u"password"_s);
    checkNewPassword(password);
    if (m_store.userByEmail(email))
        throw ApiError::make(409, kAddressTaken);

    const QByteArray salt = Secrets::randomBytes(16);
    derivePasswordHash(exchange, password, salt, m_options.pbkdf2Iterations, [this, exchange, email, salt](const QByteArray &hash) {
        if (m_store.userByEmail(email)) // registered meanwhile
            throw ApiError::make(409, kAddressTaken);
        const Store::User user = newAccount(email, hash, salt, false);
        startCode(email, &user, kVerify, false);
        exchange->reply(201, QJsonObject{{u"message"_s, QString(u"We sent a 6-digit code to "_s + email
                                                                 + u". Enter it to finish creating your account."_s)},
                                         {u"requires_verification"_s, true}});
    });
}

void DevServer::verifyEmail(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString code = body.string(u"code"_s, 64);
    const std::optional<Store::User> user = m_store.userByEmail(email);
    requireCode(exchange, email, user, kVerify, code); // returns only for an account's own code
    Store::Transaction transaction(m_store);
    m_store.setEmailVerified(user->id);
    m_store.deleteCode(user->id, kVerify);
    const QJsonObject tokens = issueTokens(user->id, Secrets::randomUuid());
    transaction.commit();
    exchange->reply(200, tokens);
}

void DevServer::resendCode(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const std::optional<Store::User> user = m_store.userByEmail(email);
    startCode(email, user && !user->emailVerified ? &*user : nullptr, kVerify, true);
    exchange->reply(200, QJsonObject{{u"message"_s, QString(u"If an account is waiting for verification at "_s + email
                                                                + u", we sent it a new code."_s)}});
}

void DevServer::login(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString password = body.string(u"password"_s);
    const QString client = exchange->client();
    const auto requireNoLock = [this, email, client] {
        const qint64 now = Time::nowMs();
        const qint64 wait = std::max(m_loginFailures.waitFor(email, now), m_clientTries.waitFor(client, now));
        if (wait > 0)
            throw ApiError::make(429, u"Too many failed sign-in attempts. Try again in "_s + Time::minutesText(wait) + u'.');
    };
    requireNoLock();
    // An unknown address gets the same work and the same answers as a wrong
    // password, so neither the answer nor its timing tells which addresses
    // have accounts.
    const std::optional<Store::User> user = m_store.userByEmail(email);
    const QString userId = user ? user->id : QString();
    derivePasswordHash(exchange, password, user ? user->passwordSalt : Secrets::randomBytes(16),
                       user ? user->passwordIterations : m_options.pbkdf2Iterations,
                       [this, exchange, email, client, userId, requireNoLock](const QByteArray &hash) {
        // Sign-ins that were already waiting when the lock began are held to it.
        requireNoLock();
        const std::optional<Store::User> current = userId.isEmpty() ? std::nullopt : m_store.userById(userId);
        if (!current || !Secrets::constantTimeEquals(hash, current->passwordHash)) {
            m_loginFailures.record(email, Time::nowMs());
            m_clientTries.record(client, Time::nowMs());
            throw ApiError::make(401, kWrongCredentials);
        }
        m_loginFailures.forget(email);
        // 400 rather than 403: the client shows the "error" text of a 400 to
        // the user, while a 403 becomes a bare "Forbidden".
        if (!current->emailVerified)
            throw ApiError{400, QJsonObject{{u"error"_s, u"Email not verified. Enter the code we sent you."_s},
                                            {u"detail"_s, u"Email not verified. Enter the code we sent you."_s},
                                            {u"requires_verification"_s, true}},
                           {}};
        exchange->reply(200, issueTokens(userId, Secrets::randomUuid()));
    });
}

void DevServer::refresh(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString token = body.string(u"refresh_token"_s, 512);
    const QString expired = u"Your session has expired. Please sign in again."_s;
    const QByteArray hash = Secrets::sha256(token);
    const std::optional<Store::RefreshToken> stored = m_store.refreshToken(hash);
    if (!stored)
        throw ApiError::make(401, expired);
    if (stored->used) {
        // A refresh token works once. Seeing it again means two parties hold
        // it; end the whole sign-in it belongs to.
        m_store.revokeFamily(stored->family);
        ServerLog::out(u"refresh token used twice: ended that sign-in of account "_s + stored->userId);
        throw ApiError::make(401, expired);
    }
    if (stored->expiresAt <= Time::nowMs())
        throw ApiError::make(401, expired);
    Store::Transaction transaction(m_store);
    if (!m_store.markRefreshTokenUsed(hash, Time::nowMs()))
        throw ApiError::make(401, expired);
    const QJsonObject tokens = issueTokens(stored->userId, stored->family);
    transaction.commit();
    exchange->reply(200, tokens);
}

void DevServer::me(const ExchangePtr &exchange, const Store::User &user)
{
    exchange->reply(200, QJsonObject{{u"id"_s, user.id},
                                     {u"email"_s, user.email},
                                     {u"email_verified"_s, user.emailVerified},
                                     {u"display_name"_s, user.displayName ? QJsonValue(*user.displayName)
                                                                          : QJsonValue(QJsonValue::Null)},
                                     {u"apple_linked"_s, false},
                                     {u"created_at"_s, Time::dateTimeMs(user.createdAt)}});
}

void DevServer::forgotPassword(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const std::optional<Store::User> user = m_store.userByEmail(email);
    startCode(email, user ? &*user : nullptr, kReset, true);
    exchange->reply(200, QJsonObject{{u"message"_s, QString(u"If an account exists for "_s + email
                                                                + u", we sent it a code to reset the password."_s)}});
}

void DevServer::resetPassword(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString code = body.string(u"code"_s, 64);
    const QString password = body.string(u"new_password"_s);
    checkNewPassword(password);
    // A busy server refuses before the code is spent, not after.
    requireHashCapacity();
    const std::optional<Store::User> user = m_store.userByEmail(email);
    requireCode(exchange, email, user, kReset, code); // returns only for the account's own code
    // The code is spent now, so it cannot be tried again while the new
    // password is being hashed.
    m_store.deleteCode(user->id, kReset);

    const QString userId = user->id;
    const QByteArray salt = Secrets::randomBytes(16);
    derivePasswordHash(exchange, password, salt, m_options.pbkdf2Iterations, [this, exchange, email, userId, salt](const QByteArray &hash) {
        // The code proved the mailbox: the address counts as verified and
        // belongs to whoever set this password, even if someone else
        // registered it first. Every earlier sign-in ends.
        Store::Transaction transaction(m_store);
        m_store.setPassword(userId, hash, salt, m_options.pbkdf2Iterations);
        m_store.setEmailVerified(userId);
        m_store.deleteCode(userId, kVerify);
        m_store.revokeAllTokens(userId);
        transaction.commit();
        m_loginFailures.forget(email);
        exchange->reply(200, QJsonObject{{u"message"_s, u"Your password has been reset. Sign in with the new password."_s}});
    });
}
