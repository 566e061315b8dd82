#include "vpn/ikev2/IKEv2Service.h"

#include "vpn/ikev2/IKEv2Manager.h"

IKEv2Service::IKEv2Service(IKEv2Manager &manager, QObject *parent)
    : VPNServiceProtocol(parent)
    , m_manager(manager)
{
    QObject::connect(&m_manager, &IKEv2Manager::connectionStateChanged, this,
                     &VPNServiceProtocol::connectionStateChanged);
}

VPNConnectionState IKEv2Service::connectionState() const
{
    return m_manager.connectionState();
}

QString IKEv2Service::serverName() const
{
    return m_manager.serverName();
}

void IKEv2Service::connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId)
{
    m_manager.connect(serverIP, serverId);
}

void IKEv2Service::disconnect()
{
    m_manager.disconnect();
}

void IKEv2Service::recheckConnection()
{
    m_manager.recheckConnection();
}

bool IKEv2Service::isUp() const
{
    return m_manager.isConnected() || m_manager.connectionState().is(VPNConnectionState::Kind::Connected);
}

std::optional<QString> IKEv2Service::connectedServerId() const
{
    return isUp() ? m_manager.selectedServerId() : std::nullopt;
}

std::optional<QString> IKEv2Service::connectedServerIP() const
{
    if (!isUp() || m_manager.serverAddress().isEmpty())
        return std::nullopt;
    return m_manager.serverAddress();
}
