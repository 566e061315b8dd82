#pragma once

#include "model/DecodeError.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <iterator>
#include <optional>
#include <utility>

// The one strict decoder every wire record uses.
//
// A record type T provides `static T decode(const JsonReader &)` and reads its
// members with the typed accessors below. A missing key, a wrong JSON type or
// a text outside an enumeration throws DecodeError naming the key path; extra
// keys are ignored.
class JsonReader
{
public:
    enum class DateRule {
        FractionOptional, // with fractional seconds, else without
        NoFraction, // plain internet date-time only
    };

    explicit JsonReader(QJsonObject object, QString path = {});

    // Parses a whole body that must be a JSON object.
    static QJsonObject parseObject(const QByteArray &body);

    const QJsonObject &object() const { return m_object; }
    bool has(const QString &key) const { return m_object.contains(key); }
    bool isNull(const QString &key) const { return m_object.value(key).isNull(); }

    QString string(const QString &key) const;
    qint64 integer(const QString &key) const;
    double number(const QString &key) const;
    bool boolean(const QString &key) const;
    QDateTime date(const QString &key, DateRule rule = DateRule::FractionOptional) const;
    QJsonObject objectValue(const QString &key) const;
    QJsonArray array(const QString &key) const;

    // Absent or null gives nothing; any other type mismatch throws.
    std::optional<QString> optionalString(const QString &key) const;
    std::optional<qint64> optionalInteger(const QString &key) const;
    std::optional<bool> optionalBoolean(const QString &key) const;
    std::optional<QDateTime> optionalDate(const QString &key, DateRule rule = DateRule::FractionOptional) const;

    template<typename T>
    T record(const QString &key) const
    {
        return T::decode(JsonReader(objectValue(key), childPath(key)));
    }

    template<typename T>
    std::optional<T> optionalRecord(const QString &key) const
    {
        if (!has(key) || isNull(key))
            return std::nullopt;
        return record<T>(key);
    }

    template<typename T>
    QList<T> records(const QString &key) const
    {
        const QJsonArray items = array(key);
        QList<T> result;
        result.reserve(items.size());
        for (qsizetype i = 0; i < items.size(); ++i) {
            const QString itemPath = childPath(key) + u'[' + QString::number(i) + u']';
            if (!items[i].isObject())
                throw DecodeError(typeMismatch(itemPath, QStringLiteral("object"), items[i]));
            result.append(T::decode(JsonReader(items[i].toObject(), itemPath)));
        }
        return result;
    }

    // A text that must be one of the listed values.
    template<typename E>
    E enumeration(const QString &key, std::initializer_list<std::pair<const char16_t *, E>> values) const
    {
        return enumerationIn(key, values.begin(), values.end());
    }

    // The same with the values in an array (a table shared with the encoder).
    template<typename E, size_t N>
    E enumeration(const QString &key, const std::pair<const char16_t *, E> (&values)[N]) const
    {
        return enumerationIn(key, std::begin(values), std::end(values));
    }

    QStringList stringList(const QString &key) const;

    static QString typeName(const QJsonValue &value);
    static QString typeMismatch(const QString &path, const QString &expected, const QJsonValue &found);

private:
    template<typename It>
    auto enumerationIn(const QString &key, It begin, It end) const
    {
        const QString text = string(key);
        for (It it = begin; it != end; ++it)
            if (text == QStringView(it->first))
                return it->second;
        throw DecodeError(QStringLiteral("Unknown value \"%1\" for key \"%2\"").arg(text, childPath(key)));
    }

    QJsonValue required(const QString &key) const;
    QString childPath(const QString &key) const;

    QJsonObject m_object;
    QString m_path;
};

// Decodes a whole response body as record T.
template<typename T>
T decodeBody(const QByteArray &body)
{
    return T::decode(JsonReader(JsonReader::parseObject(body)));
}

// The same, giving nothing instead of throwing.
template<typename T>
std::optional<T> tryDecodeBody(const QByteArray &body, QString *error = nullptr)
{
    try {
        return decodeBody<T>(body);
    } catch (const DecodeError &e) {
        if (error)
            *error = e.description();
        return std::nullopt;
    }
}
