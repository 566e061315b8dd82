#pragma once

#include "vpn/VPNServiceProtocol.h"

// A protocol service this build cannot provide. A connect ends at once in an
// error that says so; nothing pretends to connect.
class UnavailableService : public VPNServiceProtocol
{
    Q_OBJECT
public:
    UnavailableService(VPNProtocolType protocol, QString reason, QObject *parent = nullptr);

    VPNConnectionState connectionState() const override { return m_state; }
    VPNProtocolType protocolType() const override { return m_protocol; }
    QString serverName() const override;
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) override;
    void disconnect() override;

private:
    void setState(const VPNConnectionState &state);

    VPNProtocolType m_protocol;
    QString m_reason;
    VPNConnectionState m_state;
};
