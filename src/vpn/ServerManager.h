#pragma once

#include "model/MapRegion.h"
#include "model/ServerLocation.h"

#include <QList>
#include <QObject>

class UserDefaults;

// The server catalogue: the built-in list, the selected server and the three
// most recent choices, persisted in the standard user defaults. A selection
// made by another process (the command line) is followed at once.
class ServerManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ServerLocation selectedServer READ selectedServer NOTIFY selectedServerChanged)
    Q_PROPERTY(QList<ServerLocation> recentServers READ recentServers NOTIFY recentServersChanged)
    Q_PROPERTY(MapRegion mapRegion READ mapRegion WRITE setMapRegion NOTIFY mapRegionChanged)

public:
    static inline const QString selectedServerKey = QStringLiteral("selected_server_id");
    static inline const QString recentServersKey = QStringLiteral("recent_server_ids");
    static constexpr int maxRecentServers = 3;

    explicit ServerManager(UserDefaults &defaults, QObject *parent = nullptr);

    const QList<ServerLocation> &servers() const { return ServerLocation::allServers(); }
    const ServerLocation &selectedServer() const { return m_selectedServer; }
    const QList<ServerLocation> &recentServers() const { return m_recentServers; }
    const MapRegion &mapRegion() const { return m_mapRegion; }
    void setMapRegion(const MapRegion &region);

    // Selects an active server, persists it and records it as recent; an
    // inactive server is ignored. False when ignored or when the choice could
    // not be stored (the store's lastError() says why; it holds for this run).
    bool selectServer(const ServerLocation &server);

signals:
    void selectedServerChanged(const ServerLocation &server);
    void recentServersChanged();
    void mapRegionChanged(const MapRegion &region);

private:
    ServerLocation storedSelection() const;
    QList<ServerLocation> storedRecents() const;
    void follow(const QStringList &changedKeys);
    bool addToRecents(const ServerLocation &server);

    UserDefaults &m_defaults;
    ServerLocation m_selectedServer;
    QList<ServerLocation> m_recentServers;
    MapRegion m_mapRegion = MapRegion::overview();
};
