#pragma once

#include "model/JsonReader.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// Request and response bodies of the authentication service.
//
// Requests: `toJson()` gives the body, compact, members in the listed order.
// They have constructors on purpose: g++ 12 destroys a brace-initialised
// aggregate temporary twice when it appears in a co_await expression
// (`co_await client.post<T>(path, LoginRequest{e, p}, false)`); with a
// constructor the same spelling is safe.
// Responses: `decode()` reads a body through JsonReader: a missing key or a
// wrong type fails the whole body, extra keys are ignored, dates follow the
// two-try internet date-time rule.

// POST /auth/login: "email", "password".
struct LoginRequest
{
    LoginRequest(QString email, QString password)
        : email(std::move(email)), password(std::move(password))
    {
    }
    QString email;
    QString password;
    QByteArray toJson() const;
};

// POST /auth/register: "email", "password".
struct RegisterRequest
{
    RegisterRequest(QString email, QString password)
        : email(std::move(email)), password(std::move(password))
    {
    }
    QString email;
    QString password;
    QByteArray toJson() const;
};

// POST /auth/verify-email: "email", "code".
struct VerifyEmailRequest
{
    VerifyEmailRequest(QString email, QString code)
        : email(std::move(email)), code(std::move(code))
    {
    }
    QString email;
    QString code;
    QByteArray toJson() const;
};

// POST /auth/resend-code: "email".
struct ResendCodeRequest
{
    explicit ResendCodeRequest(QString email)
        : email(std::move(email))
    {
    }
    QString email;
    QByteArray toJson() const;
};

// POST /auth/forgot-password: "email".
struct ForgotPasswordRequest
{
    explicit ForgotPasswordRequest(QString email)
        : email(std::move(email))
    {
    }
    QString email;
    QByteArray toJson() const;
};

// POST /auth/reset-password: "email", "code", "new_password".
struct ResetPasswordRequest
{
    ResetPasswordRequest(QString email, QString code, QString newPassword)
        : email(std::move(email)), code(std::move(code)), newPassword(std::move(newPassword))
    {
    }
    QString email;
    QString code;
    QString newPassword;
    QByteArray toJson() const;
};

// POST /auth/refresh: "refresh_token".
struct RefreshTokenRequest
{
    explicit RefreshTokenRequest(QString refreshToken)
        : refreshToken(std::move(refreshToken))
    {
    }
    QString refreshToken;
    QByteArray toJson() const;
};

// A new token pair: "access_token", "refresh_token", "expires_in" (integer).
struct TokenPairResponse
{
    QString accessToken;
    QString refreshToken;
    qint64 expiresIn = 0;

    bool operator==(const TokenPairResponse &) const = default;
};

// Answer to /auth/login.
struct LoginResponse : TokenPairResponse
{
    static LoginResponse decode(const JsonReader &json);
};

// Answer to /auth/verify-email.
struct VerifyEmailResponse : TokenPairResponse
{
    static VerifyEmailResponse decode(const JsonReader &json);
};

// Answer to /auth/refresh.
struct RefreshTokenResponse : TokenPairResponse
{
    static RefreshTokenResponse decode(const JsonReader &json);
};

// Answer to /auth/register: "message", "requires_verification".
struct RegisterResponse
{
    QString message;
    bool requiresVerification = false;

    bool operator==(const RegisterResponse &) const = default;
    static RegisterResponse decode(const JsonReader &json);
};

// Answer to /auth/me: "id", "email", "email_verified", "display_name"
// (optional, null allowed), "apple_linked", "created_at". Note "id" here
// where User reads "user_id".
struct UserResponse
{
    QString id;
    QString email;
    bool emailVerified = false;
    std::optional<QString> displayName;
    bool appleLinked = false;
    QDateTime createdAt;

    bool operator==(const UserResponse &) const = default;
    static UserResponse decode(const JsonReader &json);
};

// Answer to /auth/resend-code, /auth/forgot-password, /auth/reset-password: "message".
struct MessageResponse
{
    QString message;

    bool operator==(const MessageResponse &) const = default;
    static MessageResponse decode(const JsonReader &json);
};
