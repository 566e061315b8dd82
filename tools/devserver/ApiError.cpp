#include "devserver/ApiError.h"

#include <QJsonDocument>
#include <QJsonParseError>

using namespace Qt::StringLiterals;

JsonBody::JsonBody(const QByteArray &raw)
{
    if (raw.trimmed().isEmpty())
        throw ApiError::make(400, u"The request has no body; send a JSON object"_s);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(raw, &error);
    if (error.error != QJsonParseError::NoError)
        throw ApiError::make(400, u"The request body is not valid JSON"_s);
    if (!document.isObject())
        throw ApiError::make(400, u"The request body must be a JSON object"_s);
    m_object = document.object();
}

QString JsonBody::string(const QString &key, int maxLength) const
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        throw ApiError::make(400, u"The field \""_s + key + u"\" is missing"_s);
    if (!value.isString())
        throw ApiError::make(400, u"The field \""_s + key + u"\" must be a string"_s);
    const QString text = value.toString();
    if (text.size() > maxLength)
        throw ApiError::make(400, u"The field \""_s + key + u"\" is too long"_s);
    return text;
}
