#pragma once

#include "vpn/VPNServiceProtocol.h"

class IKEv2Manager;

// IKEv2 as a protocol service: a stateless adapter over an IKEv2Manager
// (the shared one by default). Its state and server name are the manager's;
// the manager's state changes are published as its own.
class IKEv2Service : public VPNServiceProtocol
{
    Q_OBJECT
public:
    explicit IKEv2Service(IKEv2Manager &manager, QObject *parent = nullptr);

    VPNConnectionState connectionState() const override;
    VPNProtocolType protocolType() const override { return VPNProtocolType::IKEv2; }
    QString serverName() const override;
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) override;
    // Logs the request and asks the system to stop the tunnel; the state
    // follows the system's status.
    void disconnect() override;
    void recheckConnection() override;
    // While the tunnel is up: the address dialled (the one the fetched
    // configuration named, not necessarily the catalogue's) and the server
    // id asked for.
    std::optional<QString> connectedServerId() const override;
    std::optional<QString> connectedServerIP() const override;

private:
    bool isUp() const;

    IKEv2Manager &m_manager;
};
