#include "vpn/wireguard/WireGuardService.h"

#include "platform/DirectNetwork.h"
#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "vpn/ConfigRequest.h"
#include "vpn/wireguard/WireGuardConfigResponse.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

using namespace Qt::StringLiterals;

WireGuardService::WireGuardService(KeychainManager &tokens, Endpoints endpoints, QNetworkAccessManager *network,
                                   QObject *parent)
    : VPNServiceProtocol(parent)
    , m_tokens(tokens)
    , m_network(network ? network : DirectNetwork::create(this))
    , m_apiBaseURL(endpoints.vpnApiHostURL)
{
}

WireGuardService::~WireGuardService()
{
    // Requests still running are dropped with their replies (children);
    // their ends must not reach a half-destroyed service.
    for (QNetworkReply *reply : findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly))
        QObject::disconnect(reply, nullptr, this, nullptr);
}

void WireGuardService::connect(const std::optional<QString> &, const std::optional<QString> &serverId)
{
    m_selectedServerId = serverId;
    Log::system(u"🔒 WireGuard: Connect requested → server_id: "_s + serverId.value_or(u"default"_s));
    setConnectionState(VPNConnectionState::connecting());

    const std::optional<QString> token = m_tokens.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::system(u"❌ WireGuard: No auth token"_s);
        setConnectionState(VPNConnectionState::error(fetchFailedMessage));
        return;
    }
    const std::optional<QUrl> url = ConfigRequest::url(m_apiBaseURL, ApiPath::wireguardConfig, m_selectedServerId);
    if (!url) {
        setConnectionState(VPNConnectionState::error(fetchFailedMessage));
        return;
    }

    Log::system(u"🔄 WireGuard: Fetching config from API..."_s);
    QNetworkReply *reply = ConfigRequest::get(*m_network, ConfigRequest::make(*url, *token, false));
    // Owned by the service, so no answer outlives it.
    reply->setParent(this);
    QObject::connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        reply->deleteLater();
        handleReply(reply);
    });
}

void WireGuardService::handleReply(QNetworkReply *reply)
{
    const ConfigRequest::Result result = ConfigRequest::read(*reply);
    using Kind = ConfigRequest::Result::Kind;
    if (result.kind == Kind::TransportError) {
        Log::system(u"❌ WireGuard: API error: "_s + result.errorDescription);
        setConnectionState(VPNConnectionState::error(fetchFailedMessage));
        return;
    }
    if (result.kind != Kind::Http || result.status != 200 || result.body.isEmpty()) {
        Log::system(u"❌ WireGuard: Bad response"_s);
        setConnectionState(VPNConnectionState::error(fetchFailedMessage));
        return;
    }
    QString decodeError;
    const std::optional<WireGuardConfigResponse> config =
        tryDecodeBody<WireGuardConfigResponse>(result.body, &decodeError);
    if (!config) {
        Log::system(u"❌ WireGuard: Decode error: "_s + decodeError);
        setConnectionState(VPNConnectionState::error(fetchFailedMessage));
        return;
    }
    Log::system(u"✅ WireGuard: Config loaded — Endpoint: "_s + config->peerEndpoint);
    setServerName(config->serverLocation);
    setConnectionState(VPNConnectionState::error(notYetMessage));
    Log::system(u"⚠️ WireGuard: Not yet implemented. Config fetched for "_s + config->serverName);
}

void WireGuardService::disconnect()
{
    Log::system(u"🔒 WireGuard: Disconnect requested"_s);
    setConnectionState(VPNConnectionState::disconnected());
    setServerName(notConnectedName);
}

void WireGuardService::setConnectionState(const VPNConnectionState &state)
{
    if (m_connectionState == state)
        return;
    m_connectionState = state;
    emit connectionStateChanged(m_connectionState);
}

void WireGuardService::setServerName(const QString &name)
{
    if (m_serverName == name)
        return;
    m_serverName = name;
    emit serverNameChanged(m_serverName);
}
