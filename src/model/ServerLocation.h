#pragma once

#include "model/JsonReader.h"

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

// One server location of the built-in catalogue. Identity in lists is `id`;
// equality compares every field.
struct ServerLocation
{
    QString id;
    QString name;
    QString country;
    QString countryCode;
    QString city;
    QString ipAddress;
    qint64 port = 0;
    bool isActive = false;
    bool isPremium = false;
    double latitude = 0;
    double longitude = 0;

    bool operator==(const ServerLocation &) const = default;

    // The country flag as a pair of regional indicator symbols.
    QString flagEmoji() const;
    // "Country - City", the way lists and panels show a location.
    QString countryAndCity() const;

    // Keys are the field names (camelCase); decoding needs all eleven.
    QJsonObject toJson() const;
    static ServerLocation decode(const JsonReader &json);

    // The nine built-in rows, in catalogue order.
    static const QList<ServerLocation> &allServers();
    // The rows of allServers that are active, in the same order.
    static const QList<ServerLocation> &availableServers();
    // The first catalogue row with this id.
    static const ServerLocation *find(const QString &id);
};

Q_DECLARE_METATYPE(ServerLocation)
