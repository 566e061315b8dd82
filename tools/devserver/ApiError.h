#pragma once

#include "devserver/HttpFrontEnd.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// A refusal: thrown by a handler and sent as its answer. The body always has
// a string member "error" written for the person using the client.
struct ApiError
{
    int status = 500;
    QJsonObject body;
    HeaderList headers;

    static ApiError make(int status, const QString &message, HeaderList headers = {})
    {
        return ApiError{status, QJsonObject{{QStringLiteral("error"), message}}, std::move(headers)};
    }
};

// The JSON object of a request body, with readers that refuse (400) a body
// that is not an object, a missing member or a member of the wrong type.
class JsonBody
{
public:
    explicit JsonBody(const QByteArray &raw);

    // A required string member of at most `maxLength` characters.
    QString string(const QString &key, int maxLength = 1024) const;

private:
    QJsonObject m_object;
};
