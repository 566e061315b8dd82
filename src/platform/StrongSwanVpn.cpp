#include "platform/StrongSwanVpn.h"

#include "platform/MainThread.h"
#include "platform/ViciClient.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr auto NotAvailable = "IKEv2 is not available: ";
// Events that tell the state of our SAs.
const QList<QByteArray> SaEvents = {"ike-updown", "child-updown", "ike-rekey", "child-rekey", "list-sa"};
// How often the SA state is checked while the IKE SA is being re-established.
constexpr int RecheckMs = 1000;
// Empty SA lists in a row (after the first) that end a tunnel.
constexpr int GoneChecks = 1;
// Time a stop gives the server to confirm the deletion before the SA is
// dropped without it.
constexpr int GracefulTerminateMs = 3000;
// Log lines of one attempt kept for the failure reason.
constexpr int MaxAttemptLog = 400;

QByteArray proposalPart(int value, const std::vector<std::pair<int, const char *>> &names)
{
    for (const auto &[number, name] : names) {
        if (number == value)
            return name;
    }
    return {};
}

// Algorithm numbers as the system's IKEv2 configuration knows them, in the
// daemon's proposal keywords.
const std::vector<std::pair<int, const char *>> EncryptionNames = {
    {2, "3des"}, {3, "aes128"}, {4, "aes256"}, {5, "aes128gcm16"}, {6, "aes256gcm16"}, {7, "chacha20poly1305"},
};
const std::vector<std::pair<int, const char *>> IntegrityNames = {
    {1, "sha1"}, {2, "sha1_160"}, {3, "sha256"}, {4, "sha384"}, {5, "sha512"},
};
const std::vector<std::pair<int, const char *>> GroupNames = {
    {2, "modp1024"}, {5, "modp1536"}, {14, "modp2048"}, {15, "modp3072"}, {16, "modp4096"},
    {17, "modp6144"}, {18, "modp8192"}, {19, "ecp256"}, {20, "ecp384"}, {21, "ecp521"}, {31, "curve25519"},
};

bool isAead(int encryption)
{
    return encryption == 5 || encryption == 6 || encryption == 7;
}

// "aes256gcm16-prfsha256-modp2048" for IKE, "aes256gcm16-modp2048" for ESP.
std::optional<QByteArray> proposal(const IKEv2Profile::SecurityAssociation &sa, bool ike, QString *error)
{
    const QByteArray encryption = proposalPart(sa.encryptionAlgorithm, EncryptionNames);
    const QByteArray integrity = proposalPart(sa.integrityAlgorithm, IntegrityNames);
    const QByteArray group = proposalPart(sa.diffieHellmanGroup, GroupNames);
    const char *which = ike ? "IKE" : "child";
    if (encryption.isEmpty()) {
        *error = u"the %1 SA encryption algorithm %2 is not supported"_s.arg(QLatin1String(which)).arg(sa.encryptionAlgorithm);
        return std::nullopt;
    }
    if (integrity.isEmpty()) {
        *error = u"the %1 SA integrity algorithm %2 is not supported"_s.arg(QLatin1String(which)).arg(sa.integrityAlgorithm);
        return std::nullopt;
    }
    if (group.isEmpty()) {
        *error = u"the %1 SA Diffie-Hellman group %2 is not supported"_s.arg(QLatin1String(which)).arg(sa.diffieHellmanGroup);
        return std::nullopt;
    }
    QByteArray out = encryption;
    if (isAead(sa.encryptionAlgorithm)) {
        // An AEAD cipher protects integrity itself; IKE still needs a PRF.
        if (ike)
            out += "-prf" + integrity;
    } else {
        out += '-' + integrity;
    }
    out += '-' + group;
    return out;
}

bool succeeded(const Vici::Message &response)
{
    return response.value("success") == "yes";
}

} // namespace

// ---------------------------------------------------------------------------
// Settings

QString StrongSwanSettings::installedCaFile()
{
    return u"/usr/share/velorin-vpn/velorin-vpn-ca.pem"_s;
}

StrongSwanSettings StrongSwanSettings::fromEnvironment()
{
    StrongSwanSettings settings;
    const QString socket = qEnvironmentVariable("VELORIN_VICI_SOCKET");
    if (!socket.isEmpty())
        settings.socketPath = socket;
    const QString ca = qEnvironmentVariable("VELORIN_IKEV2_CA_FILE");
    if (!ca.isEmpty())
        settings.caCertificateFile = ca;
    else if (QFileInfo::exists(installedCaFile()))
        settings.caCertificateFile = installedCaFile();
    return settings;
}

// ---------------------------------------------------------------------------
// Profile translation

QString StrongSwanVpn::connectionName(const IKEv2Profile &profile)
{
    const QString name = profile.localizedDescription.trimmed();
    return name.isEmpty() ? DefaultConnectionName : name;
}

std::optional<Vici::Message> StrongSwanVpn::connectionFor(const IKEv2Profile &profile, QString *error)
{
    QString why;
    auto fail = [&](const QString &reason) -> std::optional<Vici::Message> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    const QString server = profile.serverAddress.trimmed();
    if (server.isEmpty())
        return fail(u"the profile has no server address"_s);
    if (profile.authenticationMethod != IKEv2Profile::AuthenticationNone || !profile.useExtendedAuthentication)
        return fail(u"only EAP authentication with a user name and password is supported"_s);
    if (profile.certificateType != IKEv2Profile::CertificateRSA)
        return fail(u"the server certificate type %1 is not supported"_s.arg(profile.certificateType));
    const std::optional<QByteArray> ike = proposal(profile.ikeSecurityAssociation, true, &why);
    if (!ike)
        return fail(why);
    const std::optional<QByteArray> esp = proposal(profile.childSecurityAssociation, false, &why);
    if (!esp)
        return fail(why);

    // The client authenticates with EAP-MSCHAPv2 under the user name; its
    // IKE identity is the local identifier when there is one (otherwise the
    // daemon uses its address).
    Vici::Message local;
    local.set("auth", "eap-mschapv2");
    if (!profile.localIdentifier.isEmpty())
        local.set("id", profile.localIdentifier);
    if (!profile.username.isEmpty())
        local.set("eap_id", profile.username);

    // The server authenticates with its certificate, which must name the
    // remote identity (the server's address unless told otherwise) and be
    // issued by the named CA.
    QString remoteId = profile.remoteIdentifier.trimmed();
    if (remoteId.isEmpty())
        remoteId = profile.serverCertificateCommonName.trimmed();
    if (remoteId.isEmpty())
        remoteId = server;
    Vici::Message remote;
    remote.set("auth", "pubkey");
    remote.set("id", remoteId);
    if (!profile.serverCertificateIssuerCommonName.isEmpty())
        remote.set("ca_id", QString(u"CN="_s + profile.serverCertificateIssuerCommonName));

    Vici::Message child;
    child.setList("remote_ts", {"0.0.0.0/0"});
    child.setList("esp_proposals", {*esp});
    child.set("start_action", "none");
    child.set("close_action", "none");
    Vici::Message children;
    children.setSection(connectionName(profile).toUtf8(), child);

    Vici::Message connection;
    connection.set("version", "2");
    connection.setList("remote_addrs", {server.toUtf8()});
    connection.setList("vips", {"0.0.0.0"});
    connection.setList("proposals", {*ike});
    connection.setSection("local", local);
    connection.setSection("remote", remote);
    connection.setSection("children", children);

    Vici::Message message;
    message.setSection(connectionName(profile).toUtf8(), connection);
    return message;
}

QString StrongSwanVpn::describeFailure(const QStringList &logLines, const QString &errorMessage)
{
    struct Rule
    {
        const char *needle;
        const char *sentence;
    };
    // Most telling first: a cause is followed by the lines of its effects
    // (a missing password makes the EAP method fail, and so on).
    static const Rule rules[] = {
        {"no EAP key found", "No password is stored for this VPN profile"},
        {"EAP_MSCHAPV2 method failed", "The server rejected the user name or password"},
        {"EAP-MS-CHAPv2 failed", "The server rejected the user name or password"},
        {"constraint check failed", "The server's certificate is not trusted"},
        {"no trusted", "The server's certificate is not trusted"},
        {"certificate was revoked", "The server's certificate is not trusted"},
        {"peer not responding", "The server does not respond"},
        {"unable to resolve", "The server address cannot be resolved"},
        {"AUTHENTICATION_FAILED", "The server refused the authentication"},
        {"NO_PROPOSAL_CHOSEN", "The server does not accept the encryption settings"},
        {"TS_UNACCEPTABLE", "The server does not accept the requested networks"},
        {"unable to install", "The system could not install the tunnel"},
    };
    for (const Rule &rule : rules) {
        const QString needle = QString::fromLatin1(rule.needle);
        for (const QString &line : logLines) {
            if (line.contains(needle, Qt::CaseInsensitive))
                return u"%1 (%2)"_s.arg(QString::fromLatin1(rule.sentence), line.trimmed());
        }
        if (errorMessage.contains(needle, Qt::CaseInsensitive))
            return u"%1 (%2)"_s.arg(QString::fromLatin1(rule.sentence), errorMessage.trimmed());
    }
    QString detail = errorMessage.trimmed();
    for (auto it = logLines.crbegin(); it != logLines.crend(); ++it) {
        if (it->contains(u"fail"_s, Qt::CaseInsensitive)) {
            detail = it->trimmed();
            break;
        }
    }
    if (detail.isEmpty())
        return u"The tunnel could not be established"_s;
    return u"The tunnel could not be established (%1)"_s.arg(detail);
}

// ---------------------------------------------------------------------------

StrongSwanVpn::StrongSwanVpn(PasswordResolver resolver, StrongSwanSettings settings, QObject *parent)
    : SystemVpn(parent)
    , m_resolver(std::move(resolver))
    , m_settings(std::move(settings))
    , m_client(new ViciClient(m_settings.socketPath, this))
    , m_recheck(new QTimer(this))
{
    m_client->setTimeout(m_settings.commandTimeoutMs);
    QObject::connect(m_client, &ViciClient::eventReceived, this, &StrongSwanVpn::onEvent);
    QObject::connect(m_client, &ViciClient::connectionLost, this, &StrongSwanVpn::onConnectionLost);
    m_recheck->setSingleShot(true);
    m_recheck->setInterval(RecheckMs);
    QObject::connect(m_recheck, &QTimer::timeout, this, &StrongSwanVpn::resync);
}

StrongSwanVpn::~StrongSwanVpn() = default;

void StrongSwanVpn::setStatus(Status status)
{
    if (status == Status::Disconnected || status == Status::Disconnecting || status == Status::Invalid) {
        m_recheck->stop();
        m_goneChecks = 0;
    }
    if (status == m_status)
        return;
    m_status = status;
    // Delivered from the event loop, in order, never inside the caller's
    // own start, stop or save call.
    MainThread::post(this, [this, status]() { emit statusChanged(status); });
}

void StrongSwanVpn::complete(const Completion &completion, const std::optional<QString> &error)
{
    if (!completion)
        return;
    MainThread::post(this, [completion, error]() { completion(error); });
}

void StrongSwanVpn::runSteps(std::vector<Step> steps, StepsDone done)
{
    struct State
    {
        std::vector<Step> steps;
        std::size_t next = 0;
        StepsDone done;
        std::function<void()> advance;
    };
    auto state = std::make_shared<State>();
    state->steps = std::move(steps);
    state->done = std::move(done);
    const QPointer<StrongSwanVpn> self(this);
    // The state owns the function that refers to it weakly; the pending
    // handler owns the state, so it is freed once the last step answered.
    state->advance = [self, weak = std::weak_ptr<State>(state)]() {
        const std::shared_ptr<State> state = weak.lock();
        if (!self || !state)
            return;
        if (state->next >= state->steps.size()) {
            StepsDone done = std::move(state->done);
            done(std::nullopt, false);
            return;
        }
        const Step &step = state->steps[state->next++];
        self->m_client->call(
            step.command, step.arguments,
            [self, state, command = step.command, checkSuccess = step.checkSuccess,
             required = step.required](const ViciClient::Reply &reply) {
                if (!self)
                    return;
                std::optional<QString> error;
                bool refused = false;
                if (!reply.ok()) {
                    error = reply.error;
                } else if (checkSuccess && !succeeded(reply.message)) {
                    refused = true;
                    const QString why = reply.message.text("errmsg");
                    error = why.isEmpty() ? u"\"%1\" failed"_s.arg(QString::fromUtf8(command)) : why;
                }
                if (error && (required || !reply.ok())) {
                    StepsDone done = std::move(state->done);
                    done(error, refused);
                    return;
                }
                state->advance();
            },
            step.timeoutMs);
    };
    state->advance();
}

// Connects, subscribes to the SA events and reads the current state once.
void StrongSwanVpn::ensureReady(Ready next)
{
    if (m_ready) {
        MainThread::post(this, [next = std::move(next)]() { next(std::nullopt); });
        return;
    }
    m_readyWaiters.push_back(std::move(next));
    if (m_readying)
        return;
    m_readying = true;

    auto firstError = std::make_shared<std::optional<QString>>();
    auto record = [firstError](const ViciClient::Reply &reply) {
        if (!reply.ok() && !*firstError)
            *firstError = reply.error;
    };
    m_client->call("version", {}, record);
    for (const QByteArray &event : SaEvents)
        m_client->registerEvent(event, record);
    Vici::Message getConns;
    m_client->call("get-conns", getConns, [this, record](const ViciClient::Reply &reply) {
        record(reply);
        if (reply.ok())
            m_daemonLoaded = reply.message.list("conns").contains(m_connectionName.toUtf8());
    });
    Vici::Message listSas;
    listSas.set("ike", m_connectionName);
    m_client->call("list-sas", listSas, [this, record, firstError](const ViciClient::Reply &reply) {
        record(reply);
        const std::vector<Vici::Message> listed = std::exchange(m_listed, {});
        const std::optional<QString> error = *firstError;
        finishReady(error);
        if (!error)
            applySaState(saStateOf(listed));
    });
}

void StrongSwanVpn::finishReady(const std::optional<QString> &error)
{
    m_readying = false;
    m_ready = !error;
    if (error) {
        // A refused registration leaves the connection open; start afresh.
        m_client->close(*error);
    }
    const std::optional<QString> result =
        error ? std::optional<QString>(QString::fromLatin1(NotAvailable) + *error) : std::nullopt;
    std::vector<Ready> waiters = std::exchange(m_readyWaiters, {});
    for (const Ready &waiter : waiters)
        waiter(result);
}

void StrongSwanVpn::onConnectionLost(const QString &reason)
{
    m_ready = false;
    m_daemonLoaded = false;
    m_listed.clear();
    closeInitiator();
    if (m_status == Status::Disconnected || m_status == Status::Invalid)
        return;
    if (m_status == Status::Connecting && m_attemptActive)
        m_failureReason = QString::fromLatin1(NotAvailable) + reason;
    ++m_attempt;
    m_attemptActive = false;
    m_stopping = false;
    setStatus(Status::Disconnected);
}

// ---------------------------------------------------------------------------

void StrongSwanVpn::loadFromPreferences(Completion completion)
{
    ensureReady([this, completion](const std::optional<QString> &error) { complete(completion, error); });
}

void StrongSwanVpn::loadProfile(const IKEv2Profile &profile, StepsDone done)
{
    std::vector<Step> steps;
    const QString name = connectionName(profile);
    if (m_daemonLoaded && name != m_connectionName) {
        Step unload{"unload-conn", {}, true, false};
        unload.arguments.set("name", m_connectionName);
        steps.push_back(unload);
    }

    if (!m_settings.caCertificateFile.isEmpty()) {
        QFile file(m_settings.caCertificateFile);
        if (!file.open(QIODevice::ReadOnly)) {
            done(u"%1cannot read the certificate of %2 at %3: %4"_s.arg(
                     QString::fromLatin1(NotAvailable), profile.serverCertificateIssuerCommonName,
                     m_settings.caCertificateFile, file.errorString()),
                 false);
            return;
        }
        Step loadCert{"load-cert", {}, true, true};
        loadCert.arguments.set("type", "X509");
        loadCert.arguments.set("flag", "CA");
        loadCert.arguments.set("data", file.read(64 * 1024));
        steps.push_back(loadCert);
    }

    // The password goes to the daemon only, under a fixed id so that a new
    // one replaces the old. Without one, the old one is removed and the
    // server's refusal tells the user.
    std::optional<QByteArray> password;
    if (!profile.passwordReference.isEmpty() && m_resolver)
        password = m_resolver(profile.passwordReference);
    if (password) {
        Step loadShared{"load-shared", {}, true, true};
        loadShared.arguments.set("id", SharedKeyId);
        loadShared.arguments.set("type", "EAP");
        loadShared.arguments.set("data", *password);
        const QString owner = profile.username.isEmpty() ? profile.localIdentifier : profile.username;
        if (!owner.isEmpty())
            loadShared.arguments.setList("owners", {owner.toUtf8()});
        steps.push_back(loadShared);
    } else {
        Step unloadShared{"unload-shared", {}, true, false};
        unloadShared.arguments.set("id", SharedKeyId);
        steps.push_back(unloadShared);
    }

    QString why;
    const std::optional<Vici::Message> connection = connectionFor(profile, &why);
    if (!connection) {
        done(u"The IKEv2 profile is not valid: "_s + why, true);
        return;
    }
    steps.push_back(Step{"load-conn", *connection, true, true});

    runSteps(std::move(steps), [this, name, done](const std::optional<QString> &error, bool refused) {
        if (error) {
            done(refused ? u"The IKEv2 service rejected the profile: "_s + *error
                         : QString::fromLatin1(NotAvailable) + *error,
                 refused);
            return;
        }
        m_daemonLoaded = true;
        m_connectionName = name;
        done(std::nullopt, false);
    });
}

void StrongSwanVpn::saveToPreferences(const IKEv2Profile &profile, Completion completion)
{
    QString why;
    if (!connectionFor(profile, &why)) {
        setStatus(Status::Invalid);
        complete(completion, u"The IKEv2 profile is not valid: "_s + why);
        return;
    }
    ensureReady([this, profile, completion](const std::optional<QString> &error) {
        if (error) {
            complete(completion, error);
            return;
        }
        loadProfile(profile, [this, profile, completion](const std::optional<QString> &error, bool refused) {
            if (error) {
                // The daemon rejecting the profile makes it invalid; the
                // status comes first so the description is the last word.
                if (refused)
                    setStatus(Status::Invalid);
                complete(completion, error);
                return;
            }
            m_profile = profile;
            if (m_status == Status::Invalid)
                setStatus(Status::Disconnected);
            complete(completion, std::nullopt);
        });
    });
}

std::optional<QString> StrongSwanVpn::startTunnel()
{
    if (m_status == Status::Connecting || m_status == Status::Connected || m_status == Status::Reasserting)
        return std::nullopt;
    if (m_status == Status::Disconnecting || m_stopping)
        return u"The tunnel is still stopping"_s;
    if (!m_profile && !m_daemonLoaded)
        return u"No IKEv2 profile has been saved"_s;
    if (m_profile && !m_profile->isEnabled)
        return u"The IKEv2 profile is disabled"_s;

    m_failureReason.clear();
    m_attemptLog.clear();
    const quint64 attempt = ++m_attempt;
    m_attemptActive = true;
    setStatus(Status::Connecting);
    ensureReady([this, attempt](const std::optional<QString> &error) {
        if (attempt != m_attempt)
            return;
        if (error) {
            failAttempt(attempt, *error, false);
            return;
        }
        if (m_daemonLoaded || !m_profile) {
            initiate(attempt);
            return;
        }
        loadProfile(*m_profile, [this, attempt](const std::optional<QString> &error, bool refused) {
            if (attempt != m_attempt)
                return;
            if (error)
                failAttempt(attempt, *error, refused);
            else
                initiate(attempt);
        });
    });
    return std::nullopt;
}

// The initiate command answers only when the tunnel is up or has failed, and
// one command at a time runs per connection, so it gets a connection of its
// own; the daemon's log lines for it arrive there as control-log events.
void StrongSwanVpn::initiate(quint64 attempt)
{
    closeInitiator();
    m_initiator = new ViciClient(m_settings.socketPath, this);
    m_initiator->setTimeout(m_settings.initiateTimeoutMs + m_settings.commandTimeoutMs);
    QObject::connect(m_initiator, &ViciClient::eventReceived, this,
                     [this, attempt](const QByteArray &name, const Vici::Message &message) {
                         if (name != "control-log" || attempt != m_attempt)
                             return;
                         if (m_attemptLog.size() < MaxAttemptLog)
                             m_attemptLog.append(message.text("msg"));
                     });
    // Without the log the start still works; the reason is then less precise.
    m_initiator->registerEvent("control-log", {});
    Vici::Message arguments;
    arguments.set("child", m_connectionName);
    arguments.set("ike", m_connectionName);
    arguments.set("timeout", QByteArray::number(m_settings.initiateTimeoutMs));
    arguments.set("loglevel", "1");
    m_initiator->call("initiate", arguments, [this, attempt](const ViciClient::Reply &reply) {
        if (attempt != m_attempt)
            return;
        closeInitiator();
        if (reply.ok() && succeeded(reply.message)) {
            m_attemptActive = false;
            // Usually the child-updown event has said so already; the SA
            // list settles it either way (it answers after earlier events).
            resync();
            return;
        }
        if (!reply.ok()) {
            failAttempt(attempt, QString::fromLatin1(NotAvailable) + reply.error, false);
            return;
        }
        const QString errorMessage = reply.message.text("errmsg");
        // The daemon does not know our connection: the profile is gone.
        const bool invalid = errorMessage.contains(u"not found"_s) && errorMessage.contains(u"config"_s);
        failAttempt(attempt, describeFailure(m_attemptLog, errorMessage), invalid);
    });
}

void StrongSwanVpn::closeInitiator()
{
    if (!m_initiator)
        return;
    ViciClient *initiator = std::exchange(m_initiator, nullptr);
    initiator->disconnect(this);
    initiator->close(u"closed"_s);
    initiator->deleteLater();
}

void StrongSwanVpn::failAttempt(quint64 attempt, const QString &reason, bool invalid)
{
    m_failureReason = reason;
    m_attemptActive = false;
    m_stopping = true;
    closeInitiator();
    cleanUp([this, attempt, invalid]() {
        if (attempt != m_attempt)
            return;
        m_stopping = false;
        setStatus(invalid ? Status::Invalid : Status::Disconnected);
    });
}

// Leaves nothing of ours in the daemon: the SA (without waiting long for the
// server), the connection and the password.
void StrongSwanVpn::cleanUp(std::function<void()> done)
{
    if (!m_ready) {
        m_daemonLoaded = false;
        MainThread::post(this, std::move(done));
        return;
    }
    Step terminate{"terminate", {}, false, false, 0};
    terminate.arguments.set("ike", m_connectionName);
    terminate.arguments.set("force", "yes");
    terminate.arguments.set("timeout", QByteArray::number(GracefulTerminateMs));
    terminate.timeoutMs = GracefulTerminateMs + m_settings.commandTimeoutMs;
    Step unloadConn{"unload-conn", {}, true, false};
    unloadConn.arguments.set("name", m_connectionName);
    Step unloadShared{"unload-shared", {}, true, false};
    unloadShared.arguments.set("id", SharedKeyId);
    runSteps({terminate, unloadConn, unloadShared}, [this, done](const std::optional<QString> &, bool) {
        m_daemonLoaded = false;
        done();
    });
}

void StrongSwanVpn::stopTunnel()
{
    const bool running = m_status == Status::Connecting || m_status == Status::Connected
        || m_status == Status::Reasserting || m_attemptActive;
    if (!running)
        return;
    const quint64 attempt = ++m_attempt;
    m_attemptActive = false;
    m_stopping = true;
    closeInitiator();
    setStatus(Status::Disconnecting);
    ensureReady([this, attempt](const std::optional<QString> &error) {
        if (attempt != m_attempt)
            return;
        if (error) {
            m_stopping = false;
            setStatus(Status::Disconnected);
            return;
        }
        cleanUp([this, attempt]() {
            if (attempt != m_attempt)
                return;
            m_stopping = false;
            setStatus(Status::Disconnected);
        });
    });
}

// ---------------------------------------------------------------------------
// Following the daemon

void StrongSwanVpn::resync()
{
    if (!m_ready)
        return;
    // Blocking: an SA the daemon is working on (a new IKE SA sending its
    // first message) is listed once it is free, instead of being skipped.
    Vici::Message arguments;
    arguments.set("ike", m_connectionName);
    m_client->call("list-sas", arguments, [this](const ViciClient::Reply &reply) {
        const std::vector<Vici::Message> listed = std::exchange(m_listed, {});
        if (reply.ok())
            applySaState(saStateOf(listed));
    });
}

StrongSwanVpn::SaState StrongSwanVpn::saStateOf(const std::vector<Vici::Message> &listed) const
{
    SaState state = SaState::None;
    const QByteArray name = m_connectionName.toUtf8();
    for (const Vici::Message &event : listed) {
        const Vici::Message *ike = event.section(name);
        if (!ike)
            continue;
        const QByteArray ikeState = ike->value("state").value_or(QByteArray());
        if (ikeState == "DELETING" || ikeState == "DESTROYING")
            continue;
        if (const Vici::Message *children = ike->section("child-sas")) {
            for (const Vici::Entry &child : children->entries()) {
                if (child.kind != Vici::Entry::Kind::Section)
                    continue;
                const QByteArray childState = child.section.front().value("state").value_or(QByteArray());
                if (childState == "INSTALLED" || childState == "REKEYING" || childState == "REKEYED")
                    return SaState::Up;
            }
        }
        state = SaState::Establishing;
    }
    return state;
}

void StrongSwanVpn::applySaState(SaState state)
{
    if (m_stopping)
        return;
    if (m_attemptActive) {
        if (state == SaState::Up)
            setStatus(Status::Connected);
        return;
    }
    if (state != SaState::None)
        m_goneChecks = 0;
    switch (state) {
    case SaState::Up:
        m_recheck->stop();
        setStatus(Status::Connected);
        break;
    case SaState::Establishing:
        if (m_status == Status::Connected || m_status == Status::Reasserting)
            setStatus(Status::Reasserting);
        else if (m_status == Status::Disconnected || m_status == Status::Invalid)
            setStatus(Status::Connecting);  // started outside the client
        m_recheck->start();
        break;
    case SaState::None:
        if (m_status == Status::Disconnected || m_status == Status::Invalid)
            break;
        // Right after an SA went down, its successor may not be listed yet
        // (the daemon deletes the old IKE SA of a reauthentication while the
        // new one is being set up). Only a second empty look ends the tunnel.
        if (m_goneChecks < GoneChecks) {
            ++m_goneChecks;
            m_recheck->start();
            break;
        }
        {
            // The tunnel ended without us (the server closed it, or a
            // re-establishment gave up).
            const quint64 attempt = ++m_attempt;
            m_stopping = true;
            cleanUp([this, attempt]() {
                if (attempt != m_attempt)
                    return;
                m_stopping = false;
                setStatus(Status::Disconnected);
            });
        }
        break;
    }
}

void StrongSwanVpn::onEvent(const QByteArray &name, const Vici::Message &message)
{
    if (name == "list-sa") {
        m_listed.push_back(message);
        return;
    }
    if (name != "ike-updown" && name != "child-updown")
        return;  // rekeying keeps the tunnel as it is
    if (!message.section(m_connectionName.toUtf8()) || m_stopping)
        return;
    const bool up = message.value("up") == "yes";
    if (up) {
        m_goneChecks = 0;
        // The data tunnel, not the IKE SA, makes the connection: the virtual
        // IP arrives with the IKE SA even when the tunnel then fails.
        if (name == "child-updown") {
            m_recheck->stop();
            setStatus(Status::Connected);
        }
        else if ((m_status == Status::Disconnected || m_status == Status::Invalid) && !m_attemptActive)
            setStatus(Status::Connecting);  // started outside the client
        return;
    }
    // Going down while starting: the initiate's answer tells why.
    if (m_attemptActive)
        return;
    // Down without a stop: a re-establishment (reauthentication, a new IKE
    // SA) or the end of the tunnel. The SA list tells which.
    resync();
}
