#pragma once

#include "model/ServerLocation.h"
#include "ui/map/MapProjection.h"

#include <QList>
#include <QMetaType>
#include <QString>

// One pin on a world map: a server location and how its pin is drawn.
struct ServerAnnotation
{
    QString id;
    GeoCoordinate coordinate;
    QString name;
    bool isConnected = false; // the selected server while the status is connected
    bool isActive = false; // the server can be used

    bool operator==(const ServerAnnotation &) const = default;

    // One pin per server, in the given order. A pin is connected only when
    // its id is selectedId and `connected` is true.
    static QList<ServerAnnotation> forServers(const QList<ServerLocation> &servers, const QString &selectedId,
                                              bool connected);
};

Q_DECLARE_METATYPE(ServerAnnotation)
