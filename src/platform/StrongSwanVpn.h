#pragma once

#include "platform/StrongSwanVpnRules.h"
#include "platform/SystemVpn.h"
#include "platform/Vici.h"

#include <QElapsedTimer>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class QTimer;
class ViciClient;

// Where and how the strongSwan adapter reaches the IKE daemon.
struct StrongSwanSettings
{
    // charon's VICI control socket; empty: the first of the standard paths
    // (StrongSwanRules::standardSocketPaths) that exists when connecting.
    QString socketPath;
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
    // Dead-peer detection delay.
    int dpdDelaySeconds = 30;
    // The user the daemon's connection and secret are named after.
    uint uid = 0;
    // Whether the machine has IPv6 a tunnel without IPv6 would let past it;
    // unset: looked up on the network interfaces.
    std::optional<bool> machineHasIPv6;

    // The defaults: the environment's VELORIN_VICI_SOCKET, else
    // `configuredSocket` (the user's setting), else the standard paths; the
    // CA file from VELORIN_IKEV2_CA_FILE, else the standard files; the DPD
    // delay from VELORIN_IKEV2_DPD_DELAY (seconds); the process's user.
    static StrongSwanSettings fromEnvironment(const QString &configuredSocket = {});
};

// The system IKEv2 profile on Linux: strongSwan's charon daemon, driven over
// its VICI socket.
//
// - load: reaches the socket, subscribes to the daemon's SA events and its
//   log, reads the current state of our connection (a tunnel left up is
//   reported) and takes out what an earlier run left behind.
// - save: loads the trusted CA, the EAP password (resolved from the profile's
//   keychain reference) and the connection named after the profile and the
//   user.
// - start: initiates the connection (loading it again when a failure or a
//   stop unloaded it). It is connected once the data tunnel is up and is
//   known not to leak: the server's DNS servers are in use and reached
//   through the tunnel, and IPv6 goes through it too (or the machine has
//   none). Then the status follows the daemon's events: reasserting while
//   the IKE SA is being re-established, disconnected when it is gone.
// - stop: terminates it.
// Changes to the daemon run one after another, so a stop never touches what
// a later save or start loaded. After a failed start, a stop, a tunnel the
// server ended or a dead server, nothing of ours stays in the daemon: no SA,
// no connection, no password. At application quit (shutdown) the password
// leaves the daemon and an unfinished attempt is ended.
class StrongSwanVpn : public SystemVpn
{
    Q_OBJECT
public:
    // Reads the EAP password from the keychain item with the given
    // persistent reference; nothing when there is no such item.
    using PasswordResolver = std::function<std::optional<QByteArray>(const QByteArray &persistentReference)>;

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

    // Takes our password out of the daemon and ends an attempt that is not
    // up yet; an established tunnel stays. Waits for the daemon at most
    // `timeoutMs`. Runs at application quit.
    void shutdown(int timeoutMs = 1500);

    const StrongSwanSettings &settings() const { return m_settings; }
    // The names of the current profile in the daemon.
    const StrongSwanRules::Names &names() const { return m_names; }

private:
    struct Step
    {
        QByteArray command;
        Vici::Message arguments;
        // The response must say success = yes.
        bool checkSuccess = true;
        // A failure ends the sequence (otherwise it is ignored).
        bool required = true;
        int timeoutMs = 0;
        // Turns the daemon's refusal into the message a user reads.
        std::function<QString(const QString &)> explain = {};
    };
    using StepsDone = std::function<void(const std::optional<QString> &error, bool daemonRefused)>;
    using Ready = std::function<void(const std::optional<QString> &error)>;
    using Op = std::function<void(std::function<void()> done)>;

    void runSteps(std::vector<Step> steps, StepsDone done);
    void enqueue(Op op);
    void runNextOp();
    void ensureReady(Ready next);
    void finishReady(const std::optional<QString> &error);
    void sweep();
    void loadProfile(const IKEv2Profile &profile, StepsDone done);
    void initiate(quint64 attempt);
    void checkEstablished(quint64 attempt);
    void decideEstablished(quint64 attempt, const std::vector<Vici::Message> &listed);
    void failAttempt(quint64 attempt, const QString &reason, bool invalid);
    void endTunnel(const QString &reason);
    void cleanUp(std::function<void()> done);
    void closeInitiator();
    void resync();
    void applySaState(StrongSwanRules::SaState state);
    void onEvent(const QByteArray &name, const Vici::Message &message);
    void onConnectionLost(const QString &reason);
    void setStatus(Status status);
    void complete(const Completion &completion, const std::optional<QString> &error);
    bool machineHasIPv6() const;

    PasswordResolver m_resolver;
    StrongSwanSettings m_settings;
    ViciClient *m_client = nullptr;
    ViciClient *m_initiator = nullptr;
    QTimer *m_recheck = nullptr;
    QElapsedTimer m_clock;

    Status m_status = Status::Disconnected;
    QString m_failureReason;
    std::optional<IKEv2Profile> m_profile;
    StrongSwanRules::Names m_names;

    bool m_ready = false;          // connected, events registered
    bool m_readying = false;
    std::vector<Ready> m_readyWaiters;
    bool m_sweepAfterLoss = false;
    bool m_daemonLoaded = false;   // our connection is loaded in the daemon
    bool m_secretLoaded = false;   // our password may be in the daemon
    bool m_caLoaded = false;       // the CA went to this daemon connection's daemon
    bool m_shutDown = false;

    std::deque<Op> m_ops;          // changes to the daemon, one at a time
    bool m_opRunning = false;

    quint64 m_attempt = 0;         // bumped by every start and stop
    bool m_attemptActive = false;  // our start is under way
    bool m_initiatePending = false;
    bool m_stopping = false;       // a stop or a clean-up runs
    QStringList m_attemptLog;      // the daemon's log lines of the running initiate
    std::optional<Vici::Message> m_upEvent;  // the attempt's child-updown, once it came
    int m_goneChecks = 0;          // empty SA lists seen in a row while up
    std::vector<Vici::Message> m_listed;  // list-sa events of the running list-sas
    StrongSwanRules::PeerWatch m_peerWatch;
};
