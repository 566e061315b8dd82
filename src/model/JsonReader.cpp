#include "model/JsonReader.h"

#include "model/InternetDateTime.h"

#include <QJsonDocument>

#include <cmath>

using namespace Qt::StringLiterals;

JsonReader::JsonReader(QJsonObject object, QString path)
    : m_object(std::move(object))
    , m_path(std::move(path))
{
}

QJsonObject JsonReader::parseObject(const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodeError(u"The data is not valid JSON: "_s + error.errorString() + u" at offset "_s
                          + QString::number(error.offset));
    if (!document.isObject())
        throw DecodeError(u"Expected a JSON object at the top level"_s);
    return document.object();
}

QString JsonReader::typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return u"null"_s;
    case QJsonValue::Bool:
        return u"boolean"_s;
    case QJsonValue::Double:
        return u"number"_s;
    case QJsonValue::String:
        return u"string"_s;
    case QJsonValue::Array:
        return u"array"_s;
    case QJsonValue::Object:
        return u"object"_s;
    case QJsonValue::Undefined:
        break;
    }
    return u"nothing"_s;
}

QString JsonReader::typeMismatch(const QString &path, const QString &expected, const QJsonValue &found)
{
    return u"Wrong type for key \""_s + path + u"\": expected "_s + expected + u", found "_s + typeName(found);
}

QString JsonReader::childPath(const QString &key) const
{
    return m_path.isEmpty() ? key : m_path + u'.' + key;
}

QJsonValue JsonReader::required(const QString &key) const
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd())
        throw DecodeError(u"Missing key \""_s + childPath(key) + u'"');
    return *it;
}

QString JsonReader::string(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isString())
        throw DecodeError(typeMismatch(childPath(key), u"string"_s, value));
    return value.toString();
}

qint64 JsonReader::integer(const QString &key) const
{
    const QJsonValue value = required(key);
    const double d = value.toDouble();
    // 2^63 as a double: every double below it converts to qint64 exactly.
    constexpr double kLimit = 9223372036854775808.0;
    if (!value.isDouble() || !std::isfinite(d) || std::trunc(d) != d || d < -kLimit || d >= kLimit)
        throw DecodeError(typeMismatch(childPath(key), u"integer"_s, value));
    return qint64(d);
}

double JsonReader::number(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        throw DecodeError(typeMismatch(childPath(key), u"number"_s, value));
    return value.toDouble();
}

bool JsonReader::boolean(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isBool())
        throw DecodeError(typeMismatch(childPath(key), u"boolean"_s, value));
    return value.toBool();
}

QDateTime JsonReader::date(const QString &key, DateRule rule) const
{
    const QString text = string(key);
    const auto parsed = rule == DateRule::FractionOptional
        ? InternetDateTime::parseEither(text)
        : InternetDateTime::parse(text, InternetDateTime::Fraction::Without);
    if (!parsed)
        throw DecodeError(u"Cannot decode date: "_s + text);
    return *parsed;
}

QJsonObject JsonReader::objectValue(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isObject())
        throw DecodeError(typeMismatch(childPath(key), u"object"_s, value));
    return value.toObject();
}

QJsonArray JsonReader::array(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        throw DecodeError(typeMismatch(childPath(key), u"array"_s, value));
    return value.toArray();
}

QStringList JsonReader::stringList(const QString &key) const
{
    const QJsonArray items = array(key);
    QStringList result;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (!items[i].isString())
            throw DecodeError(typeMismatch(childPath(key) + u'[' + QString::number(i) + u']', u"string"_s, items[i]));
        result.append(items[i].toString());
    }
    return result;
}

std::optional<QString> JsonReader::optionalString(const QString &key) const
{
    if (!has(key) || isNull(key))
        return std::nullopt;
    return string(key);
}

std::optional<qint64> JsonReader::optionalInteger(const QString &key) const
{
    if (!has(key) || isNull(key))
        return std::nullopt;
    return integer(key);
}

std::optional<bool> JsonReader::optionalBoolean(const QString &key) const
{
    if (!has(key) || isNull(key))
        return std::nullopt;
    return boolean(key);
}

std::optional<QDateTime> JsonReader::optionalDate(const QString &key, DateRule rule) const
{
    if (!has(key) || isNull(key))
        return std::nullopt;
    return date(key, rule);
}
