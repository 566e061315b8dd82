#pragma once

#include "platform/SystemVpn.h"
#include "platform/Vici.h"

#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

class QTimer;
class ViciClient;

// Where and how the strongSwan adapter reaches the IKE daemon.
struct StrongSwanSettings
{
    // charon's VICI control socket.
    QString socketPath = QStringLiteral("/run/charon.vici");
    // The certificate (PEM or DER) of the CA that issues the VPN servers'
    // certificates. The profile names that CA only by its common name; the
    // daemon needs the certificate itself to verify the server, so it is
    // loaded as a trusted CA before the profile. Empty: the daemon's own
    // trusted CAs decide.
    QString caCertificateFile;
    // Time allowed for each answer of the daemon.
    int commandTimeoutMs = 10000;
    // Time the daemon may take to bring the tunnel up.
    int initiateTimeoutMs = 30000;

    // The CA certificate a desktop installation ships.
    static QString installedCaFile();
    // The defaults, with the environment's VELORIN_VICI_SOCKET and
    // VELORIN_IKEV2_CA_FILE taking precedence; without the latter, the
    // installed CA file when it exists.
    static StrongSwanSettings fromEnvironment();
};

// The system IKEv2 profile on Linux: strongSwan's charon daemon, driven over
// its VICI socket.
//
// - load: reaches the socket, subscribes to the daemon's SA events and reads
//   the current state of our connection (a tunnel left up is reported).
// - save: loads the trusted CA, the EAP password (resolved from the profile's
//   keychain reference) and the connection named after the profile.
// - start: initiates the connection (loading it again when a failure or a
//   stop unloaded it); the status follows the daemon's events: connected once
//   the data tunnel (CHILD_SA) is up, reasserting while the IKE SA is being
//   re-established, disconnected when it is gone.
// - stop: terminates it.
// After a failed start, a stop or a tunnel the server ended, nothing of ours
// stays in the daemon: no SA, no connection, no password.
class StrongSwanVpn : public SystemVpn
{
    Q_OBJECT
public:
    // Reads the EAP password from the keychain item with the given
    // persistent reference; nothing when there is no such item.
    using PasswordResolver = std::function<std::optional<QByteArray>(const QByteArray &persistentReference)>;

    // Name of the connection when the profile has no description.
    static inline const QString DefaultConnectionName = QStringLiteral("Velorin VPN");
    // Id of the EAP secret in the daemon (one at a time; a new one replaces it).
    static inline const QByteArray SharedKeyId = QByteArrayLiteral("velorin-vpn-eap");

    explicit StrongSwanVpn(PasswordResolver resolver,
                           StrongSwanSettings settings = StrongSwanSettings::fromEnvironment(),
                           QObject *parent = nullptr);
    ~StrongSwanVpn() override;

    void loadFromPreferences(Completion completion) override;
    void saveToPreferences(const IKEv2Profile &profile, Completion completion) override;
    std::optional<QString> startTunnel() override;
    void stopTunnel() override;
    Status status() const override { return m_status; }
    QString lastFailureReason() const override { return m_failureReason; }

    const StrongSwanSettings &settings() const { return m_settings; }

    // The connection name a profile is loaded under.
    static QString connectionName(const IKEv2Profile &profile);
    // The load-conn arguments for a profile; nothing (and `error`) when the
    // profile asks for something this adapter cannot express.
    static std::optional<Vici::Message> connectionFor(const IKEv2Profile &profile, QString *error);
    // A readable reason for a failed start, from the daemon's log lines of
    // that attempt and its final error message.
    static QString describeFailure(const QStringList &logLines, const QString &errorMessage);

private:
    enum class SaState { None, Establishing, Up };

    struct Step
    {
        QByteArray command;
        Vici::Message arguments;
        // The response must say success = yes.
        bool checkSuccess = true;
        // A failure ends the sequence (otherwise it is ignored).
        bool required = true;
        int timeoutMs = 0;
    };
    using StepsDone = std::function<void(const std::optional<QString> &error, bool daemonRefused)>;
    using Ready = std::function<void(const std::optional<QString> &error)>;

    void runSteps(std::vector<Step> steps, StepsDone done);
    void ensureReady(Ready next);
    void finishReady(const std::optional<QString> &error);
    void loadProfile(const IKEv2Profile &profile, StepsDone done);
    void initiate(quint64 attempt);
    void failAttempt(quint64 attempt, const QString &reason, bool invalid);
    void cleanUp(std::function<void()> done);
    void closeInitiator();
    void resync();
    void applySaState(SaState state);
    SaState saStateOf(const std::vector<Vici::Message> &listed) const;
    void onEvent(const QByteArray &name, const Vici::Message &message);
    void onConnectionLost(const QString &reason);
    void setStatus(Status status);
    void complete(const Completion &completion, const std::optional<QString> &error);

    PasswordResolver m_resolver;
    StrongSwanSettings m_settings;
    ViciClient *m_client = nullptr;
    ViciClient *m_initiator = nullptr;
    QTimer *m_recheck = nullptr;

    Status m_status = Status::Disconnected;
    QString m_failureReason;
    std::optional<IKEv2Profile> m_profile;
    QString m_connectionName = DefaultConnectionName;

    bool m_ready = false;         // connected, events registered
    bool m_readying = false;
    std::vector<Ready> m_readyWaiters;
    bool m_daemonLoaded = false;  // our connection is loaded in the daemon

    quint64 m_attempt = 0;        // bumped by every start and stop
    bool m_attemptActive = false; // our initiate is running
    bool m_stopping = false;      // a stop or a clean-up runs
    QStringList m_attemptLog;     // the daemon's log lines of the running initiate
    int m_goneChecks = 0;         // empty SA lists seen in a row while up
    std::vector<Vici::Message> m_listed;  // list-sa events of the running list-sas
};
