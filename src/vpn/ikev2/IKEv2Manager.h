#pragma once

#include "backend/Endpoints.h"
#include "model/VPNConnectionState.h"
#include "platform/StrongSwanVpn.h"
#include "platform/SystemVpn.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Keychain;
class KeychainManager;
class QNetworkAccessManager;
class QNetworkReply;

// The IKEv2 connection: fetches the user's connection parameters from the VPN
// API, writes them as the system's IKEv2 profile (the EAP password goes to
// the keychain, the profile gets only its persistent reference), starts and
// stops the tunnel and follows the system's status.
//
// Everything runs on the main thread; the system VPN's completions and status
// changes and the HTTP answers all arrive there. Nothing blocks: each step
// continues from the previous step's completion.
//
// A connect attempt is abandoned when a newer connect or a disconnect comes
// before the tunnel is started: the late answers of its steps are ignored, so
// a tunnel the user no longer wants is never started.
class IKEv2Manager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(VPNConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(QString serverName READ serverName NOTIFY serverNameChanged)

public:
    // The keychain item of the EAP password.
    static inline const QString keychainService = QStringLiteral("com.velorin.vpn.ikev2");
    static inline const QString keychainAccount = QStringLiteral("vpnpassword");
    // The name of the system profile and of the CA the server certificate must come from.
    static inline const QString profileDescription = QStringLiteral("Velorin VPN");
    static inline const QString caCommonName = QStringLiteral("Velorin VPN CA");

    // The error messages of a failed configuration fetch.
    static inline const QString loginAgainMessage = QStringLiteral("Please log in again");
    static inline const QString invalidURLMessage =
        QStringLiteral("The VPN service address is not valid. Choose another server and try again.");
    static inline const QString unreachableMessage =
        QStringLiteral("Could not reach the VPN service. Check your connection.");
    static inline const QString invalidResponseMessage = QStringLiteral("The VPN service sent an invalid response.");
    static inline const QString noDataMessage = QStringLiteral("The VPN service sent an empty response.");
    static inline const QString invalidConfigMessage =
        QStringLiteral("The VPN service sent an invalid configuration.");
    // The system reported the profile invalid.
    static inline const QString invalidProfileMessage = QStringLiteral("Invalid configuration");
    // The user setting naming the IKE daemon's control socket (text; the
    // standard places are probed without it).
    static inline const QString viciSocketKey = QStringLiteral("IKEv2ViciSocket");

    // `network` may be null: the manager then makes its own. The system VPN,
    // the keychain and the token store must outlive the manager.
    IKEv2Manager(SystemVpn &systemVpn, Keychain &keychain, KeychainManager &tokens, Endpoints endpoints,
                 QNetworkAccessManager *network = nullptr, QObject *parent = nullptr);
    ~IKEv2Manager() override;

    VPNConnectionState connectionState() const { return m_connectionState; }
    bool isConnected() const { return m_isConnected; }
    QString serverName() const { return m_serverName; }

    // Starts a connection: fetch, save the profile, start the tunnel. With
    // `serverIP`, it becomes the address to dial and the remote identifier
    // (a successful fetch replaces both).
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId);
    // Asks the system to stop the tunnel; the state follows its status.
    void disconnect();
    // While the tunnel is up: asks the system whether it still is; the state
    // follows its answer.
    void recheckConnection();

    // Stores the EAP password as the keychain item above (replacing any
    // earlier one) and returns the item's persistent reference, or nothing
    // when the keychain refused it.
    std::optional<QByteArray> savePasswordToKeychain(const QByteArray &password);

    // The settings the next profile is written with.
    QString serverAddress() const { return m_serverAddress; }
    QString serverIdentifier() const { return m_serverIdentifier; }
    QString localIdentifier() const { return m_localIdentifier; }
    QString username() const { return m_username; }
    QString apiBaseURL() const { return m_apiBaseURL; }
    std::optional<QString> selectedServerId() const { return m_selectedServerId; }
    // Whether the saved system profile was loaded at start.
    bool hasSystemVpn() const { return m_systemVpnLoaded; }

    // The profile written on the next connect, from the current settings
    // and the given password reference.
    IKEv2Profile profile(const QByteArray &passwordReference) const;

    // The password of the keychain item with this persistent reference, when
    // it is the item this manager stored for the current connect (the item
    // holds these very bytes); nothing otherwise.
    std::optional<QByteArray> savedPassword(const QByteArray &persistentReference) const;
    // What the strongSwan system VPN reads the password with: the manager's
    // just-stored password (sparing a keychain round trip in every
    // connect), else the keychain item. The manager may be set later.
    using ManagerRef = std::shared_ptr<QPointer<IKEv2Manager>>;
    static StrongSwanVpn::PasswordResolver passwordResolver(Keychain &keychain, ManagerRef manager);

signals:
    void connectionStateChanged(const VPNConnectionState &state);
    void isConnectedChanged(bool isConnected);
    void serverNameChanged(const QString &name);

private:
    using FetchDone = std::function<void(bool ready)>;

    void fetchConfig(quint64 attempt, FetchDone done);
    void handleConfigReply(QNetworkReply *reply, const FetchDone &done);
    void failFetch(const QString &message, const FetchDone &done);
    void configureAndConnect(quint64 attempt);
    void handleStatusChange(SystemVpn::Status status);
    bool isCurrent(quint64 attempt) const { return attempt == m_attempt; }
    void setConnectionState(const VPNConnectionState &state);
    void setIsConnected(bool isConnected);
    void setServerName(const QString &name);

    SystemVpn &m_systemVpn;
    Keychain &m_keychain;
    KeychainManager &m_tokens;
    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_reply;

    VPNConnectionState m_connectionState = VPNConnectionState::disconnected();
    bool m_isConnected = false;
    QString m_serverName = QStringLiteral("Singapore");
    bool m_systemVpnLoaded = false;

    QString m_serverAddress;
    QString m_serverIdentifier;
    QString m_localIdentifier;
    QString m_username;
    QString m_password;
    QByteArray m_savedReference;  // of the keychain item holding m_password
    QString m_apiBaseURL;
    std::optional<QString> m_selectedServerId;

    // Bumped by every connect and disconnect; a step of an older attempt
    // finds it changed and stops.
    quint64 m_attempt = 0;
    // Between a connect and its start of the tunnel: the system's statuses
    // still belong to what came before (the end of an earlier tunnel).
    bool m_preparing = false;
    // The user asked for the current end of the tunnel: it is no failure,
    // whatever the system reports.
    bool m_stopRequested = false;
};
