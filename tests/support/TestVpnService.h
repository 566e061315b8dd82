#pragma once

#include "vpn/VPNServiceManager.h"
#include "vpn/VPNServiceProtocol.h"

#include <QList>

// A protocol service that records every call and publishes what the test sets.
class TestVpnService : public VPNServiceProtocol
{
    Q_OBJECT
public:
    struct ConnectCall
    {
        std::optional<QString> serverIP;
        std::optional<QString> serverId;
    };

    explicit TestVpnService(VPNProtocolType protocol, QObject *parent = nullptr);

    VPNConnectionState connectionState() const override { return m_state; }
    VPNProtocolType protocolType() const override { return m_protocol; }
    QString serverName() const override { return m_serverName; }
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) override;
    void disconnect() override;
    std::optional<QString> connectedServerId() const override { return m_connectedServerId; }
    std::optional<QString> connectedServerIP() const override { return m_connectedServerIP; }
    void recheckConnection() override { ++recheckCalls; }
    bool isRecovering() const override { return recovering; }

    void setState(const VPNConnectionState &state);
    // Publishes nothing, as a service does.
    void setServerName(const QString &name) { m_serverName = name; }
    void setConnectedServer(std::optional<QString> id, std::optional<QString> ip)
    {
        m_connectedServerId = std::move(id);
        m_connectedServerIP = std::move(ip);
    }

    QList<ConnectCall> connectCalls;
    int disconnectCalls = 0;
    int recheckCalls = 0;
    bool recovering = false;
    // When set, connect publishes connecting and disconnect publishes disconnected.
    bool followCalls = false;

private:
    VPNProtocolType m_protocol;
    VPNConnectionState m_state;
    QString m_serverName = QStringLiteral("Not Connected");
    std::optional<QString> m_connectedServerId;
    std::optional<QString> m_connectedServerIP;
};

// A provider that hands out the three and records which were asked for.
struct TestVpnServices
{
    TestVpnService ikev2{VPNProtocolType::IKEv2};
    TestVpnService wireGuard{VPNProtocolType::WireGuard};
    TestVpnService xray{VPNProtocolType::XrayReality};
    QList<VPNProtocolType> created;

    VPNServiceManager::ServiceProvider provider()
    {
        return [this](VPNProtocolType type) -> VPNServiceProtocol & {
            if (!created.contains(type))
                created.append(type);
            return type == VPNProtocolType::IKEv2 ? ikev2 : type == VPNProtocolType::WireGuard ? wireGuard : xray;
        };
    }
};
