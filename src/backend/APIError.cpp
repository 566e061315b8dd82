#include "backend/APIError.h"

#include "platform/Utf8.h"

using namespace Qt::StringLiterals;

QString APIError::description() const
{
    switch (m_kind) {
    case Kind::InvalidURL:
        return u"Invalid URL: "_s + m_payload;
    case Kind::HttpError:
        return u"HTTP "_s + QString::number(m_statusCode) + u": "_s + m_payload;
    case Kind::MissingAccessToken:
        return u"Missing access token"_s;
    case Kind::InvalidResponse:
        return u"Invalid server response"_s;
    case Kind::Unauthorized:
        return u"Unauthorized"_s;
    case Kind::Forbidden:
        return u"Forbidden"_s;
    case Kind::NotFound:
        return u"Not found"_s;
    }
    return {};
}

APIError APIError::forStatus(int statusCode, const QByteArray &body)
{
    switch (statusCode) {
    case 401:
        return unauthorized();
    case 403:
        return forbidden();
    case 404:
        return notFound();
    case 409:
        return httpError(statusCode, Utf8::decode(body).value_or(u"Conflict"_s));
    case 429:
        return httpError(statusCode, Utf8::decode(body).value_or(u"Rate limited"_s));
    default:
        return httpError(statusCode, Utf8::decode(body).value_or(u"Unknown error"_s));
    }
}

TransportError TransportError::timedOut()
{
    return TransportError(QNetworkReply::TimeoutError, u"The request timed out."_s);
}

TransportError TransportError::tooLarge()
{
    return TransportError(QNetworkReply::UnknownContentError, u"The response is too large."_s);
}
