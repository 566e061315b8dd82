#include "support/TestVpnService.h"

TestVpnService::TestVpnService(VPNProtocolType protocol, QObject *parent)
    : VPNServiceProtocol(parent)
    , m_protocol(protocol)
{
}

void TestVpnService::connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId)
{
    connectCalls.append({serverIP, serverId});
    if (followCalls)
        setState(VPNConnectionState::connecting());
}

void TestVpnService::disconnect()
{
    ++disconnectCalls;
    if (followCalls)
        setState(VPNConnectionState::disconnected());
}

void TestVpnService::setState(const VPNConnectionState &state)
{
    m_state = state;
    emit connectionStateChanged(m_state);
}
