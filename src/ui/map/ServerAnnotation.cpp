#include "ui/map/ServerAnnotation.h"

QList<ServerAnnotation> ServerAnnotation::forServers(const QList<ServerLocation> &servers,
                                                     const QString &selectedId, bool connected)
{
    QList<ServerAnnotation> annotations;
    annotations.reserve(servers.size());
    for (const ServerLocation &server : servers) {
        annotations.append(ServerAnnotation{server.id, {server.latitude, server.longitude}, server.name,
                                            connected && server.id == selectedId, server.isActive});
    }
    return annotations;
}
