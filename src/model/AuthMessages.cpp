#include "model/AuthMessages.h"

#include "model/JsonWriter.h"

using namespace Qt::StringLiterals;

namespace {

template<typename T>
T decodeTokenPair(const JsonReader &json)
{
    T response;
    response.accessToken = json.string(u"access_token"_s);
    response.refreshToken = json.string(u"refresh_token"_s);
    response.expiresIn = json.integer(u"expires_in"_s);
    return response;
}

} // namespace

QByteArray LoginRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}, {u"password"_s, password}});
}

QByteArray RegisterRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}, {u"password"_s, password}});
}

QByteArray VerifyEmailRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}, {u"code"_s, code}});
}

QByteArray ResendCodeRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}});
}

QByteArray ForgotPasswordRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}});
}

QByteArray ResetPasswordRequest::toJson() const
{
    return JsonWriter::object({{u"email"_s, email}, {u"code"_s, code}, {u"new_password"_s, newPassword}});
}

QByteArray RefreshTokenRequest::toJson() const
{
    return JsonWriter::object({{u"refresh_token"_s, refreshToken}});
}

LoginResponse LoginResponse::decode(const JsonReader &json)
{
    return decodeTokenPair<LoginResponse>(json);
}

VerifyEmailResponse VerifyEmailResponse::decode(const JsonReader &json)
{
    return decodeTokenPair<VerifyEmailResponse>(json);
}

RefreshTokenResponse RefreshTokenResponse::decode(const JsonReader &json)
{
    return decodeTokenPair<RefreshTokenResponse>(json);
}

RegisterResponse RegisterResponse::decode(const JsonReader &json)
{
    return RegisterResponse{json.string(u"message"_s), json.boolean(u"requires_verification"_s)};
}

UserResponse UserResponse::decode(const JsonReader &json)
{
    return UserResponse{
        json.string(u"id"_s),
        json.string(u"email"_s),
        json.boolean(u"email_verified"_s),
        json.optionalString(u"display_name"_s),
        json.boolean(u"apple_linked"_s),
        json.date(u"created_at"_s),
    };
}

MessageResponse MessageResponse::decode(const JsonReader &json)
{
    return MessageResponse{json.string(u"message"_s)};
}
