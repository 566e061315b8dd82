#pragma once

#include "model/AppError.h"

#include <QNetworkReply>
#include <QString>

// A failed call to the authentication service, as the user is told about it.
class APIError : public AppError
{
public:
    enum class Kind { InvalidURL, HttpError, MissingAccessToken, InvalidResponse, Unauthorized, Forbidden, NotFound };

    static APIError invalidURL(QString path) { return APIError(Kind::InvalidURL, 0, std::move(path)); }
    static APIError httpError(int statusCode, QString message) { return APIError(Kind::HttpError, statusCode, std::move(message)); }
    static APIError missingAccessToken() { return APIError(Kind::MissingAccessToken); }
    static APIError invalidResponse() { return APIError(Kind::InvalidResponse); }
    static APIError unauthorized() { return APIError(Kind::Unauthorized); }
    static APIError forbidden() { return APIError(Kind::Forbidden); }
    static APIError notFound() { return APIError(Kind::NotFound); }
    // The error for an answer outside 2xx: 401, 403 and 404 by name, any
    // other status as an httpError carrying the body's text (a fallback
    // when the body is not UTF-8: "Conflict", "Rate limited", "Unknown error").
    static APIError forStatus(int statusCode, const QByteArray &body);

    Kind kind() const { return m_kind; }
    // The HTTP status of an httpError; 0 otherwise.
    int statusCode() const { return m_statusCode; }
    // The message of an httpError, the path of an invalidURL; empty otherwise.
    const QString &payload() const { return m_payload; }

    // "Invalid URL: <path>", "HTTP <code>: <message>", "Missing access token",
    // "Invalid server response", "Unauthorized", "Forbidden", "Not found".
    QString description() const override;

    bool operator==(const APIError &other) const
    {
        return m_kind == other.m_kind && m_statusCode == other.m_statusCode && m_payload == other.m_payload;
    }

private:
    explicit APIError(Kind kind, int statusCode = 0, QString payload = {})
        : m_kind(kind)
        , m_statusCode(statusCode)
        , m_payload(std::move(payload))
    {
    }

    Kind m_kind;
    int m_statusCode;
    QString m_payload;
};

// A request that got no complete HTTP answer: connection refused, host not
// found, connection closed early, time-out. Carries Qt's error code and text.
// Both time-outs (no data for the idle limit, or the whole exchange over the
// total limit) are reported as QNetworkReply::TimeoutError with the text
// "The request timed out.".
class TransportError : public AppError
{
public:
    TransportError(QNetworkReply::NetworkError error, QString text)
        : m_error(error)
        , m_text(std::move(text))
    {
    }

    QNetworkReply::NetworkError error() const { return m_error; }
    bool isTimeout() const { return m_error == QNetworkReply::TimeoutError; }
    QString description() const override { return m_text; }

    static TransportError timedOut();
    // An answer larger than any the backend sends (ReplyLimit), dropped unread.
    static TransportError tooLarge();

private:
    QNetworkReply::NetworkError m_error;
    QString m_text;
};
