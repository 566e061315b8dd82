#include "vpn/ServerManager.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"

using namespace Qt::StringLiterals;

ServerManager::ServerManager(UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_selectedServer(ServerLocation::allServers().first())
{
    // A stored id restores any catalogue row, active or not.
    if (auto storedId = m_defaults.string(selectedServerKey)) {
        if (const ServerLocation *stored = ServerLocation::find(*storedId))
            m_selectedServer = *stored;
    }
    loadRecents();
}

ServerManager &ServerManager::shared()
{
    static ServerManager *instance = new ServerManager(UserDefaults::standard());
    return *instance;
}

void ServerManager::loadRecents()
{
    // A list with any element that is not a text restores nothing.
    const auto ids = m_defaults.stringList(recentServersKey);
    if (!ids)
        return;
    for (const QString &id : *ids) {
        if (const ServerLocation *server = ServerLocation::find(id))
            m_recentServers.append(*server);
    }
}

void ServerManager::setMapRegion(const MapRegion &region)
{
    if (m_mapRegion == region)
        return;
    m_mapRegion = region;
    emit mapRegionChanged(m_mapRegion);
}

void ServerManager::selectServer(const ServerLocation &server)
{
    if (!server.isActive)
        return;
    m_selectedServer = server;
    m_defaults.set(selectedServerKey, server.id);
    emit selectedServerChanged(m_selectedServer);
    addToRecents(server);
    Log::out(u"🌍 ServerManager: Selected "_s + server.country + u" - "_s + server.city);
}

void ServerManager::addToRecents(const ServerLocation &server)
{
    m_recentServers.removeIf([&](const ServerLocation &recent) { return recent.id == server.id; });
    m_recentServers.prepend(server);
    if (m_recentServers.size() > maxRecentServers)
        m_recentServers.resize(maxRecentServers);
    QStringList ids;
    for (const ServerLocation &recent : std::as_const(m_recentServers))
        ids.append(recent.id);
    m_defaults.set(recentServersKey, ids);
    emit recentServersChanged();
}
