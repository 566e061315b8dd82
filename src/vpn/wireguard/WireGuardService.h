#pragma once

#include "backend/Endpoints.h"
#include "vpn/VPNServiceProtocol.h"

#include <QPointer>

class KeychainManager;
class QNetworkAccessManager;
class QNetworkReply;

// WireGuard as a protocol service. This version fetches the configuration
// for the chosen server and then stops with the message that WireGuard is
// not available yet; it never brings a tunnel up and never reaches connected.
// Main thread only; the HTTP answer arrives there.
class WireGuardService : public VPNServiceProtocol
{
    Q_OBJECT

public:
    static inline const QString notYetMessage = QStringLiteral("WireGuard coming soon — use IKEv2 or Xray Reality");
    static inline const QString fetchFailedMessage = QStringLiteral("Failed to fetch WireGuard config");
    static inline const QString notConnectedName = QStringLiteral("Not Connected");

    // `network` may be null: the service then makes its own. The token store
    // must outlive the service.
    WireGuardService(KeychainManager &tokens, Endpoints endpoints, QNetworkAccessManager *network = nullptr,
                     QObject *parent = nullptr);
    ~WireGuardService() override;

    VPNConnectionState connectionState() const override { return m_connectionState; }
    VPNProtocolType protocolType() const override { return VPNProtocolType::WireGuard; }
    QString serverName() const override { return m_serverName; }
    // `serverIP` is not used: the configuration names the endpoint.
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) override;
    // Back to disconnected at once, from any state.
    void disconnect() override;

    QString apiBaseURL() const { return m_apiBaseURL; }
    std::optional<QString> selectedServerId() const { return m_selectedServerId; }

signals:
    void serverNameChanged(const QString &name);

private:
    void handleReply(QNetworkReply *reply);
    void setConnectionState(const VPNConnectionState &state);
    void setServerName(const QString &name);

    KeychainManager &m_tokens;
    QNetworkAccessManager *m_network;
    QString m_apiBaseURL;
    std::optional<QString> m_selectedServerId;
    VPNConnectionState m_connectionState = VPNConnectionState::disconnected();
    QString m_serverName = notConnectedName;
};
