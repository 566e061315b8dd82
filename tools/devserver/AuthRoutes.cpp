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

QString minutesText(qint64 ms)
{
    const qint64 minutes = std::max<qint64>(1, (ms + 59999) / 60000);
    return minutes == 1 ? u"1 minute"_s : u"%1 minutes"_s.arg(minutes);
}

} // namespace

void DevServer::registerAccount(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString password = body.string(u"password"_s);
    checkNewPassword(password);
    const std::optional<Store::User> existing = m_store.userByEmail(email);
    if (existing && existing->emailVerified)
        throw ApiError::make(409, u"An account with this email already exists"_s);

    const QByteArray salt = Secrets::randomBytes(16);
    derivePasswordHash(exchange, password, salt, m_options.pbkdf2Iterations, [this, exchange, email, salt](const QByteArray &hash) {
        // An account that was never verified may be registered again: it
        // takes the new password, and nobody can sign in before the code.
        std::optional<Store::User> user = m_store.userByEmail(email);
        if (user && user->emailVerified)
            throw ApiError::make(409, u"An account with this email already exists"_s);
        const int status = user ? 200 : 201;
        if (user)
            m_store.setPassword(user->id, hash, salt, m_options.pbkdf2Iterations);
        else
            user = newAccount(email, hash, salt, false);
        sendCode(*user, kVerify, false);
        exchange->reply(status, QJsonObject{{u"message"_s, QString(u"We sent a 6-digit code to "_s + email
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
    if (!user)
        throw ApiError::make(400, u"There is no valid code for this address. Ask for a new code."_s);
    if (user->emailVerified)
        throw ApiError::make(409, u"This email is already verified. Please sign in."_s);
    requireCode(*user, kVerify, code);
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
    if (!user) {
        exchange->reply(200, QJsonObject{{u"message"_s, QString(u"If an account is waiting for verification at "_s + email
                                                                    + u", we sent it a new code."_s)}});
        return;
    }
    if (user->emailVerified)
        throw ApiError::make(409, u"This email is already verified. Please sign in."_s);
    sendCode(*user, kVerify, true);
    exchange->reply(200, QJsonObject{{u"message"_s, QString(u"We sent a new code to "_s + email + u'.')}});
}

void DevServer::login(const ExchangePtr &exchange)
{
    const JsonBody body(exchange->body());
    const QString email = normalisedEmail(body.string(u"email"_s));
    const QString password = body.string(u"password"_s);
    const std::optional<Store::User> user = m_store.userByEmail(email);
    if (!user) {
        // Same work and answer as a wrong password, so that the answer's
        // timing does not tell which addresses have accounts.
        derivePasswordHash(exchange, password, Secrets::randomBytes(16), m_options.pbkdf2Iterations,
                           [](const QByteArray &) { throw ApiError::make(401, kWrongCredentials); });
        return;
    }
    const qint64 now = Time::nowMs();
    if (user->lockedUntil > now)
        throw ApiError::make(429, u"Too many failed sign-in attempts. Try again in "_s
                                      + minutesText(user->lockedUntil - now) + u'.');

    const QString userId = user->id;
    derivePasswordHash(exchange, password, user->passwordSalt, user->passwordIterations, [this, exchange, userId](const QByteArray &hash) {
        const std::optional<Store::User> current = m_store.userById(userId);
        if (!current)
            throw ApiError::make(401, kWrongCredentials);
        const qint64 now = Time::nowMs();
        if (current->lockedUntil > now)
            throw ApiError::make(429, u"Too many failed sign-in attempts. Try again in "_s
                                          + minutesText(current->lockedUntil - now) + u'.');
        if (!Secrets::constantTimeEquals(hash, current->passwordHash)) {
            // A lock that has run out starts the count afresh.
            const int failures = (current->lockedUntil != 0 ? 0 : current->failedLogins) + 1;
            if (failures >= m_options.maxLoginFailures)
                m_store.setLoginFailures(userId, 0, now + m_options.lockoutSeconds * 1000LL);
            else
                m_store.setLoginFailures(userId, failures, 0);
            throw ApiError::make(401, kWrongCredentials);
        }
        if (current->failedLogins != 0 || current->lockedUntil != 0)
            m_store.setLoginFailures(userId, 0, 0);
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
    if (user)
        sendCode(*user, kReset, true);
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
    const std::optional<Store::User> user = m_store.userByEmail(email);
    if (!user)
        throw ApiError::make(400, u"There is no valid code for this address. Ask for a new reset code."_s);
    requireCode(*user, kReset, code);
    // The code is spent now, so it cannot be tried again while the new
    // password is being hashed.
    m_store.deleteCode(user->id, kReset);

    const QString userId = user->id;
    const QByteArray salt = Secrets::randomBytes(16);
    derivePasswordHash(exchange, password, salt, m_options.pbkdf2Iterations, [this, exchange, userId, salt](const QByteArray &hash) {
        // The code proved the mailbox, so the address counts as verified.
        // Every earlier sign-in ends.
        Store::Transaction transaction(m_store);
        m_store.setPassword(userId, hash, salt, m_options.pbkdf2Iterations);
        m_store.setEmailVerified(userId);
        m_store.revokeAllTokens(userId);
        transaction.commit();
        exchange->reply(200, QJsonObject{{u"message"_s, u"Your password has been reset. Sign in with the new password."_s}});
    });
}
