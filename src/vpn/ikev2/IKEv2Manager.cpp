#include "vpn/ikev2/IKEv2Manager.h"

#include "model/DecodeError.h"
#include "model/SecretMask.h"
#include "model/ServerLocation.h"
#include "platform/DirectNetwork.h"
#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/StrongSwanVpn.h"
#include "platform/UserDefaults.h"
#include "platform/Utf8.h"
#include "storage/KeychainManager.h"
#include "vpn/ConfigRequest.h"
#include "vpn/ikev2/IKEv2ConfigResponse.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

using namespace Qt::StringLiterals;

namespace {

// Longest refusal text of the service that is shown as it is.
constexpr qsizetype kMaxServiceMessage = 300;

// Keys whose values are hidden when a response body is logged.
const QStringList &maskedKeys()
{
    static const QStringList keys = SecretMask::defaultKeys() + QStringList{u"private_key"_s, u"uuid"_s};
    return keys;
}

// The message of a configuration that could not be decoded. A refusal the
// service explains (an "error" or "message" text in a JSON body, such as an
// expired subscription) is shown in its own words; anything else gets a
// plain sentence.
QString undecodableMessage(int status, const QByteArray &body)
{
    if (status >= 200 && status <= 299)
        return IKEv2Manager::invalidConfigMessage;
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    for (const QString &key : {u"error"_s, u"message"_s}) {
        const QString text = object.value(key).toString().trimmed();
        if (!text.isEmpty() && text.size() <= kMaxServiceMessage)
            return text;
    }
    return u"The VPN service could not provide a configuration (HTTP %1)."_s.arg(status);
}

} // namespace

IKEv2Manager::IKEv2Manager(SystemVpn &systemVpn, Keychain &keychain, KeychainManager &tokens, Endpoints endpoints,
                           QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , m_systemVpn(systemVpn)
    , m_keychain(keychain)
    , m_tokens(tokens)
    , m_network(network ? network : DirectNetwork::create(this))
    , m_apiBaseURL(endpoints.vpnApiHostURL)
{
    const QList<ServerLocation> &servers = ServerLocation::allServers();
    m_serverAddress = servers.isEmpty() ? QString() : servers.first().ipAddress;
    m_serverIdentifier = m_serverAddress;

    // The connection is tied to this object: no status reaches a destroyed manager.
    QObject::connect(&m_systemVpn, &SystemVpn::statusChanged, this, &IKEv2Manager::handleStatusChange);

    const QPointer<IKEv2Manager> self(this);
    m_systemVpn.loadFromPreferences([self](const std::optional<QString> &error) {
        if (!self)
            return;
        if (error) {
            Log::system(u"❌ IKEv2: Failed to load preferences: "_s + *error);
            return;
        }
        self->m_systemVpnLoaded = true;
        Log::system(u"✅ IKEv2: VPN manager loaded"_s);
    });
}

IKEv2Manager::~IKEv2Manager()
{
    // A request still running is dropped with its reply (a child); its end
    // must not reach a half-destroyed manager.
    if (m_reply)
        QObject::disconnect(m_reply, nullptr, this, nullptr);
}

// ---------------------------------------------------------------------------
// Connect and disconnect

void IKEv2Manager::connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId)
{
    if (serverIP) {
        m_serverAddress = *serverIP;
        m_serverIdentifier = *serverIP;
    }
    m_selectedServerId = serverId;
    Log::system(u"🔌 IKEv2: Connect requested → server_id: "_s + serverId.value_or(u"default"_s) + u", IP: "_s
                + serverIP.value_or(u"API"_s));

    const quint64 attempt = ++m_attempt;
    m_preparing = true;
    m_stopRequested = false;
    setConnectionState(VPNConnectionState::connecting());

    fetchConfig(attempt, [this, attempt](bool ready) {
        if (!ready || !isCurrent(attempt))
            return;
        const QPointer<IKEv2Manager> self(this);
        m_systemVpn.loadFromPreferences([self, attempt](const std::optional<QString> &error) {
            if (!self || !self->isCurrent(attempt))
                return;
            if (error) {
                Log::system(u"❌ IKEv2: Load error: "_s + *error);
                // Without the system profile nothing else can happen; the
                // attempt ends here instead of staying at connecting.
                self->setConnectionState(VPNConnectionState::error(*error));
                return;
            }
            self->m_systemVpnLoaded = true;
            self->configureAndConnect(attempt);
        });
    });
}

void IKEv2Manager::disconnect()
{
    Log::system(u"🔌 IKEv2: Disconnect requested"_s);
    // Any attempt still before its start is abandoned; a start already made
    // ends through the system's status like any stop.
    ++m_attempt;
    m_preparing = false;
    m_stopRequested = true;
    if (m_reply)
        m_reply->abort();
    m_systemVpn.stopTunnel();
    // With no tunnel in the system no status will follow; an abandoned
    // attempt must not stay at connecting.
    const SystemVpn::Status status = m_systemVpn.status();
    const bool systemIdle = status == SystemVpn::Status::Disconnected || status == SystemVpn::Status::Invalid;
    if (systemIdle && m_connectionState.is(VPNConnectionState::Kind::Connecting))
        setConnectionState(VPNConnectionState::disconnected());
}

void IKEv2Manager::recheckConnection()
{
    using Kind = VPNConnectionState::Kind;
    if (!m_connectionState.is(Kind::Connected) && !m_connectionState.is(Kind::Reconnecting))
        return;
    Log::system(u"🔌 IKEv2: Checking the tunnel"_s);
    m_systemVpn.refreshStatus();
}

// ---------------------------------------------------------------------------
// Configuration fetch

void IKEv2Manager::fetchConfig(quint64 attempt, FetchDone done)
{
    const std::optional<QString> token = m_tokens.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::system(u"❌ IKEv2: No access token - sign in to connect"_s);
        setConnectionState(VPNConnectionState::error(loginAgainMessage));
        done(false);
        return;
    }

    const std::optional<QUrl> url = ConfigRequest::url(m_apiBaseURL, ApiPath::ikev2Config, m_selectedServerId);
    if (!url) {
        Log::system(u"❌ IKEv2: Invalid URL"_s);
        failFetch(invalidURLMessage, done);
        return;
    }

    Log::system(u"🔄 IKEv2: Fetching config from API..."_s);
    if (m_reply)
        m_reply->abort();
    QNetworkReply *reply = ConfigRequest::get(*m_network, ConfigRequest::make(*url, *token, true));
    // Owned by the manager, so no answer outlives it.
    reply->setParent(this);
    m_reply = reply;
    QObject::connect(reply, &QNetworkReply::finished, this, [this, attempt, reply, done = std::move(done)]() {
        reply->deleteLater();
        if (m_reply == reply)
            m_reply = nullptr;
        if (!isCurrent(attempt))
            return;
        handleConfigReply(reply, done);
    });
}

void IKEv2Manager::handleConfigReply(QNetworkReply *reply, const FetchDone &done)
{
    const ConfigRequest::Result result = ConfigRequest::read(*reply);
    using Kind = ConfigRequest::Result::Kind;
    if (result.kind == Kind::TransportError) {
        Log::system(u"❌ IKEv2: API error: "_s + result.errorDescription);
        failFetch(unreachableMessage, done);
        return;
    }
    if (result.kind == Kind::NotHttp) {
        Log::system(u"❌ IKEv2: Invalid response"_s);
        failFetch(invalidResponseMessage, done);
        return;
    }

    Log::system(u"📡 IKEv2: API response status: "_s + QString::number(result.status));
    if (result.status == 401) {
        Log::system(u"❌ IKEv2: Unauthorized - token expired or invalid"_s);
        setConnectionState(VPNConnectionState::error(loginAgainMessage));
        done(false);
        return;
    }
    if (result.body.isEmpty()) {
        Log::system(u"❌ IKEv2: No data received"_s);
        failFetch(noDataMessage, done);
        return;
    }

    // Whatever the status: a body that is a whole configuration is used.
    QString decodeError;
    const std::optional<IKEv2ConfigResponse> config = tryDecodeBody<IKEv2ConfigResponse>(result.body, &decodeError);
    if (!config) {
        Log::system(u"❌ IKEv2: Failed to decode config: "_s + decodeError);
        // A body that is nearly a configuration carries the password: it is
        // masked like every other secret.
        if (const std::optional<QString> text = Utf8::decode(result.body))
            Log::system(u"📄 IKEv2: Response: "_s + SecretMask::apply(*text, maskedKeys()));
        failFetch(undecodableMessage(result.status, result.body), done);
        return;
    }

    m_serverAddress = config->serverAddress;
    m_serverIdentifier = config->serverId;
    m_localIdentifier = config->localId;
    m_username = config->username;
    m_password = config->password;
    setServerName(config->serverName);
    Log::system(u"✅ IKEv2: Config loaded - User: "_s + config->username + u", Server: "_s + config->serverAddress);
    done(true);
}

void IKEv2Manager::failFetch(const QString &message, const FetchDone &done)
{
    setConnectionState(VPNConnectionState::error(message));
    done(false);
}

// ---------------------------------------------------------------------------
// The system profile

std::optional<QByteArray> IKEv2Manager::savedPassword(const QByteArray &persistentReference) const
{
    if (persistentReference.isEmpty() || persistentReference != m_savedReference)
        return std::nullopt;
    return m_password.toUtf8();
}

StrongSwanVpn::PasswordResolver IKEv2Manager::passwordResolver(Keychain &keychain, ManagerRef manager)
{
    return [&keychain, manager](const QByteArray &reference) -> std::optional<QByteArray> {
        if (manager && *manager) {
            if (std::optional<QByteArray> password = (*manager)->savedPassword(reference))
                return password;
        }
        QByteArray value;
        if (keychain.copyByPersistentRef(reference, &value) != Keychain::Success)
            return std::nullopt;
        return value;
    };
}

IKEv2Profile IKEv2Manager::profile(const QByteArray &passwordReference) const
{
    IKEv2Profile profile;
    profile.serverAddress = m_serverAddress;
    profile.remoteIdentifier = m_serverIdentifier;
    profile.localIdentifier = m_localIdentifier;
    profile.authenticationMethod = IKEv2Profile::AuthenticationNone;
    profile.useExtendedAuthentication = true;
    profile.username = m_username;
    profile.passwordReference = passwordReference;
    profile.ikeSecurityAssociation = IKEv2Profile::SecurityAssociation{IKEv2Profile::EncryptionAES256GCM,
                                                                       IKEv2Profile::IntegritySHA256, 14};
    profile.childSecurityAssociation = profile.ikeSecurityAssociation;
    profile.certificateType = IKEv2Profile::CertificateRSA;
    profile.serverCertificateIssuerCommonName = caCommonName;
    profile.serverCertificateCommonName = m_serverAddress;
    profile.disconnectOnSleep = false;
    profile.localizedDescription = profileDescription;
    profile.isEnabled = true;
    return profile;
}

void IKEv2Manager::configureAndConnect(quint64 attempt)
{
    // A keychain failure does not stop the connect: the profile goes without
    // a password and the server's refusal tells the user.
    const std::optional<QByteArray> reference = savePasswordToKeychain(m_password.toUtf8());
    m_savedReference = reference.value_or(QByteArray());
    if (!isCurrent(attempt))
        return;

    const QPointer<IKEv2Manager> self(this);
    m_systemVpn.saveToPreferences(profile(reference.value_or(QByteArray())), [self, attempt](
                                                                                  const std::optional<QString> &error) {
        if (!self || !self->isCurrent(attempt))
            return;
        if (error) {
            Log::system(u"❌ IKEv2: Save error: "_s + *error);
            self->setConnectionState(VPNConnectionState::error(*error));
            return;
        }
        Log::system(u"✅ IKEv2: Configuration saved"_s);
        self->m_systemVpn.loadFromPreferences([self, attempt](const std::optional<QString> &error) {
            if (!self || !self->isCurrent(attempt))
                return;
            if (error) {
                Log::system(u"❌ IKEv2: Reload error: "_s + *error);
                self->setConnectionState(VPNConnectionState::error(*error));
                return;
            }
            self->m_preparing = false;
            if (const std::optional<QString> startError = self->m_systemVpn.startTunnel()) {
                Log::system(u"❌ IKEv2: Start error: "_s + *startError);
                self->setConnectionState(VPNConnectionState::error(*startError));
                return;
            }
            Log::system(u"✅ IKEv2: Tunnel started!"_s);
        });
    });
}

std::optional<QByteArray> IKEv2Manager::savePasswordToKeychain(const QByteArray &password)
{
    const Keychain::Status deleted = m_keychain.remove(keychainService, keychainAccount);
    Log::system(u"IKEv2: Keychain delete status: "_s + QString::number(deleted));

    QByteArray reference;
    const Keychain::Status added = m_keychain.add(keychainService, keychainAccount, password, &reference);
    if (added == Keychain::Success && !reference.isEmpty()) {
        Log::system(u"✅ IKEv2: Password saved to keychain (add)"_s);
        return reference;
    }
    if (added != Keychain::DuplicateItem) {
        Log::system(u"❌ IKEv2: Keychain add failed: "_s + QString::number(added));
        return std::nullopt;
    }

    Log::system(u"⚠️ IKEv2: Duplicate item, updating existing"_s);
    const Keychain::Status updated = m_keychain.update(keychainService, keychainAccount, password);
    if (updated != Keychain::Success) {
        Log::system(u"❌ IKEv2: Update failed: "_s + QString::number(updated));
        return std::nullopt;
    }
    reference.clear();
    const Keychain::Status copied = m_keychain.copy(keychainService, keychainAccount, nullptr, &reference);
    if (copied == Keychain::Success && !reference.isEmpty()) {
        Log::system(u"✅ IKEv2: Password updated + persistent ref retrieved"_s);
        return reference;
    }
    Log::system(u"❌ IKEv2: Update succeeded but persistent ref fetch failed: "_s + QString::number(copied));
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// The system's status

void IKEv2Manager::handleStatusChange(SystemVpn::Status status)
{
    switch (status) {
    case SystemVpn::Status::Invalid:
        Log::system(u"❌ IKEv2: Invalid"_s);
        setConnectionState(VPNConnectionState::error(invalidProfileMessage));
        setIsConnected(false);
        return;
    case SystemVpn::Status::Disconnected: {
        Log::system(u"🔌 IKEv2: Disconnected"_s);
        if (m_preparing) {
            setIsConnected(false);
            return;  // the end of what came before this connect
        }
        // A start that failed or a tunnel that broke (the server stopped
        // answering): the system's reason is what the user needs to read,
        // not a bare "disconnected". A stop the user asked for is none.
        const QString reason = m_stopRequested ? QString() : m_systemVpn.lastFailureReason();
        if (!reason.isEmpty()) {
            Log::system(u"❌ IKEv2: Connection failed: "_s + reason);
            setConnectionState(VPNConnectionState::error(reason));
        } else {
            setConnectionState(VPNConnectionState::disconnected());
        }
        setIsConnected(false);
        return;
    }
    case SystemVpn::Status::Connecting:
        Log::system(u"🔌 IKEv2: Connecting..."_s);
        setConnectionState(VPNConnectionState::connecting());
        setIsConnected(false);
        return;
    case SystemVpn::Status::Connected:
        Log::system(u"✅ IKEv2: Connected!"_s);
        setConnectionState(VPNConnectionState::connected());
        setIsConnected(true);
        return;
    case SystemVpn::Status::Reasserting:
        Log::system(u"🔌 IKEv2: Reasserting..."_s);
        setConnectionState(VPNConnectionState::reconnecting());
        return;
    case SystemVpn::Status::Disconnecting:
        Log::system(u"🔌 IKEv2: Disconnecting..."_s);
        if (m_preparing) {
            setIsConnected(false);
            return;
        }
        setConnectionState(VPNConnectionState::disconnecting());
        setIsConnected(false);
        return;
    }
    Log::system(u"⚠️ IKEv2: Unknown status"_s);
}

// ---------------------------------------------------------------------------
// Observable state

void IKEv2Manager::setConnectionState(const VPNConnectionState &state)
{
    if (state.isError())
        m_preparing = false;  // the attempt ended before its start
    if (m_connectionState == state)
        return;
    m_connectionState = state;
    emit connectionStateChanged(m_connectionState);
}

void IKEv2Manager::setIsConnected(bool isConnected)
{
    if (m_isConnected == isConnected)
        return;
    m_isConnected = isConnected;
    emit isConnectedChanged(m_isConnected);
}

void IKEv2Manager::setServerName(const QString &name)
{
    if (m_serverName == name)
        return;
    m_serverName = name;
    emit serverNameChanged(m_serverName);
}
