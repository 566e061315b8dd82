#include "vpn/ServerManager.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"

using namespace Qt::StringLiterals;

ServerManager::ServerManager(UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_selectedServer(storedSelection())
    , m_recentServers(storedRecents())
{
    connect(&m_defaults, &UserDefaults::changedElsewhere, this, &ServerManager::follow);
}

ServerLocation ServerManager::storedSelection() const
{
    // A stored id restores any catalogue row, active or not.
    if (auto storedId = m_defaults.string(selectedServerKey)) {
        if (const ServerLocation *stored = ServerLocation::find(*storedId))
            return *stored;
    }
    return ServerLocation::allServers().first();
}

QList<ServerLocation> ServerManager::storedRecents() const
{
    // A list with any element that is not a text restores nothing.
    QList<ServerLocation> recents;
    const auto ids = m_defaults.stringList(recentServersKey);
    if (!ids)
        return recents;
    for (const QString &id : *ids) {
        if (const ServerLocation *server = ServerLocation::find(id))
            recents.append(*server);
    }
    return recents;
}

void ServerManager::follow(const QStringList &changedKeys)
{
    if (changedKeys.contains(selectedServerKey)) {
        const ServerLocation stored = storedSelection();
        if (stored.id != m_selectedServer.id) {
            m_selectedServer = stored;
            emit selectedServerChanged(m_selectedServer);
        }
    }
    if (changedKeys.contains(recentServersKey)) {
        const QList<ServerLocation> stored = storedRecents();
        if (stored != m_recentServers) {
            m_recentServers = stored;
            emit recentServersChanged();
        }
    }
}

void ServerManager::setMapRegion(const MapRegion &region)
{
    if (m_mapRegion == region)
        return;
    m_mapRegion = region;
    emit mapRegionChanged(m_mapRegion);
}

bool ServerManager::selectServer(const ServerLocation &server)
{
    if (!server.isActive)
        return false;
    m_selectedServer = server;
    const bool stored = m_defaults.set(selectedServerKey, server.id);
    emit selectedServerChanged(m_selectedServer);
    const bool recentsStored = addToRecents(server);
    Log::out(u"🌍 ServerManager: Selected "_s + server.country + u" - "_s + server.city);
    return stored && recentsStored;
}

bool ServerManager::addToRecents(const ServerLocation &server)
{
    m_recentServers.removeIf([&](const ServerLocation &recent) { return recent.id == server.id; });
    m_recentServers.prepend(server);
    if (m_recentServers.size() > maxRecentServers)
        m_recentServers.resize(maxRecentServers);
    QStringList ids;
    for (const ServerLocation &recent : std::as_const(m_recentServers))
        ids.append(recent.id);
    const bool stored = m_defaults.set(recentServersKey, ids);
    emit recentServersChanged();
    return stored;
}
