#include "model/JsonWriter.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace JsonWriter {
namespace {

// One value in QJsonDocument's compact form: written as the only element of an
// array, without the brackets.
QByteArray encodeValue(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QByteArray object(std::initializer_list<Member> members)
{
    QByteArray out = "{";
    bool first = true;
    for (const auto &[key, value] : members) {
        if (!first)
            out += ',';
        first = false;
        out += encodeValue(key) + ':' + encodeValue(value);
    }
    out += '}';
    return out;
}

} // namespace JsonWriter
