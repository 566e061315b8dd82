#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <initializer_list>
#include <utility>

// Compact JSON for request bodies. QJsonObject sorts its keys; a body is
// written with its members in the order the record lists them, the way a
// plain encoder writes a record (no sorting, no whitespace).
namespace JsonWriter {

using Member = std::pair<QString, QJsonValue>;

// `{"key":value,...}` with the members in the given order. Values are written
// the way QJsonDocument writes them (nested objects with sorted keys).
QByteArray object(std::initializer_list<Member> members);

} // namespace JsonWriter
