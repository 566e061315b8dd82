#include "platform/StrongSwanVpn.h"

#include "platform/MainThread.h"
#include "platform/ViciClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QTimer>

#include <memory>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace StrongSwanRules;

namespace {

// Events that tell the state of our SAs, and the daemon's log (for the
// signs of a dead server).
const QList<QByteArray> Events = {"ike-updown", "child-updown", "ike-rekey", "child-rekey", "list-sa", "log"};
// How often the SA state is checked while the IKE SA is being re-established.
constexpr int RecheckMs = 1000;
// Empty SA lists in a row (after the first) that end a tunnel.
constexpr int GoneChecks = 1;
// Time a stop gives the server to confirm the deletion before the SA is
// dropped without it.
constexpr int GracefulTerminateMs = 3000;
// Log lines of one attempt kept for the failure reason.
constexpr int MaxAttemptLog = 400;
// Largest CA certificate read.
constexpr qint64 MaxCaBytes = 64 * 1024;

bool succeeded(const Vici::Message &response)
{
    return response.value("success") == "yes";
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

} // namespace

// ---------------------------------------------------------------------------
// Settings

StrongSwanSettings StrongSwanSettings::fromEnvironment(const QString &configuredSocket)
{
    StrongSwanSettings settings;
    settings.socketPath = qEnvironmentVariable("VELORIN_VICI_SOCKET");
    if (settings.socketPath.isEmpty())
        settings.socketPath = configuredSocket;
    settings.caCertificateFile =
        chooseCaFile(qEnvironmentVariable("VELORIN_IKEV2_CA_FILE"), standardCaFiles(), exists);
    bool ok = false;
    const int dpd = qEnvironmentVariableIntValue("VELORIN_IKEV2_DPD_DELAY", &ok);
    if (ok && dpd > 0)
        settings.dpdDelaySeconds = dpd;
    settings.uid = ::getuid();
    return settings;
}

// ---------------------------------------------------------------------------

StrongSwanVpn::StrongSwanVpn(PasswordResolver resolver, StrongSwanSettings settings, QObject *parent)
    : SystemVpn(parent)
    , m_resolver(std::move(resolver))
    , m_settings(std::move(settings))
    , m_client(new ViciClient(m_settings.socketPath, this))
    , m_recheck(new QTimer(this))
    , m_names(namesFor({}, m_settings.uid))
{
    m_clock.start();
    m_client->setTimeout(m_settings.commandTimeoutMs);
    QObject::connect(m_client, &ViciClient::eventReceived, this, &StrongSwanVpn::onEvent);
    QObject::connect(m_client, &ViciClient::connectionLost, this, &StrongSwanVpn::onConnectionLost);
    m_recheck->setSingleShot(true);
    m_recheck->setInterval(RecheckMs);
    QObject::connect(m_recheck, &QTimer::timeout, this, &StrongSwanVpn::resync);
    if (QCoreApplication *app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, this, [this]() { shutdown(); });
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

bool StrongSwanVpn::machineHasIPv6() const
{
    if (m_settings.machineHasIPv6)
        return *m_settings.machineHasIPv6;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!(interface.flags() & QNetworkInterface::IsUp) || (interface.flags() & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv6Protocol && !ip.isLinkLocal() && !ip.isLoopback())
                return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Running commands

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
            [self, state, command = step.command, checkSuccess = step.checkSuccess, required = step.required,
             explain = step.explain](const ViciClient::Reply &reply) {
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
                    if (explain)
                        error = explain(*error);
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

// Everything that changes what the daemon holds for us (save, start, the
// clean-up after an attempt) runs here, one after another: a stop's
// clean-up can never unload what a later save loaded, and a start never
// initiates a connection that a clean-up is still unloading.
void StrongSwanVpn::enqueue(Op op)
{
    m_ops.push_back(std::move(op));
    if (!m_opRunning)
        runNextOp();
}

void StrongSwanVpn::runNextOp()
{
    if (m_ops.empty()) {
        m_opRunning = false;
        return;
    }
    m_opRunning = true;
    Op op = std::move(m_ops.front());
    m_ops.pop_front();
    const QPointer<StrongSwanVpn> self(this);
    auto finished = std::make_shared<bool>(false);
    op([self, finished]() {
        if (!self || *finished)
            return;
        *finished = true;
        // Never inside the step that ended the operation.
        MainThread::post(self.data(), [self]() { self->runNextOp(); });
    });
}

// Connects, subscribes to the events and reads the current state once.
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
    if (m_settings.socketPath.isEmpty())
        m_client->setSocketPath(chooseSocket({}, standardSocketPaths(), exists));

    auto firstError = std::make_shared<std::optional<QString>>();
    auto record = [firstError](const ViciClient::Reply &reply) {
        if (!reply.ok() && !*firstError)
            *firstError = reply.error;
    };
    m_client->call("version", {}, record);
    for (const QByteArray &event : Events)
        m_client->registerEvent(event, record);
    m_client->call("get-conns", {}, [this, record](const ViciClient::Reply &reply) {
        record(reply);
        if (reply.ok())
            m_daemonLoaded = reply.message.list("conns").contains(m_names.connection.toUtf8());
    });
    Vici::Message listSas;
    listSas.set("ike", m_names.connection);
    m_client->call("list-sas", listSas, [this, record, firstError](const ViciClient::Reply &reply) {
        record(reply);
        const std::vector<Vici::Message> listed = std::exchange(m_listed, {});
        const std::optional<QString> error = *firstError;
        const SaState state = saStateOf(listed, m_names.connection.toUtf8());
        // What an earlier run left behind (it crashed, or the connection to
        // the daemon broke before it could clean up) goes before anything
        // new is loaded.
        if (!error && state == SaState::None && !m_attemptActive)
            sweep();
        finishReady(error);
        if (!error)
            applySaState(state);
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
    const std::optional<QString> result = error ? std::optional<QString>(Messages::notAvailable(*error)) : std::nullopt;
    std::vector<Ready> waiters = std::exchange(m_readyWaiters, {});
    for (const Ready &waiter : waiters)
        waiter(result);
}

void StrongSwanVpn::sweep()
{
    Vici::Message secret;
    secret.set("id", m_names.secretId);
    m_client->call("unload-shared", secret, {});
    if (m_daemonLoaded) {
        Vici::Message connection;
        connection.set("name", m_names.connection);
        m_client->call("unload-conn", connection, {});
    }
    m_secretLoaded = false;
    m_daemonLoaded = false;
}

void StrongSwanVpn::onConnectionLost(const QString &reason)
{
    m_ready = false;
    m_daemonLoaded = false;
    m_caLoaded = false;
    m_listed.clear();
    closeInitiator();
    // A broken connection (a timeout, a garbled answer) may have left the
    // password in a daemon that still runs: one new connection takes it out.
    if (m_secretLoaded && !m_sweepAfterLoss) {
        m_sweepAfterLoss = true;
        MainThread::post(this, [this]() {
            ensureReady([this](const std::optional<QString> &) { m_sweepAfterLoss = false; });
        });
    }
    if (m_status == Status::Disconnected || m_status == Status::Invalid)
        return;
    if (m_status == Status::Connecting && m_attemptActive)
        m_failureReason = Messages::notAvailable(reason);
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
    const Names names = namesFor(profile.localizedDescription, m_settings.uid);
    if (m_daemonLoaded && names.connection != m_names.connection) {
        Step unload{"unload-conn", {}, true, false};
        unload.arguments.set("name", m_names.connection);
        steps.push_back(unload);
    }

    const QString caFile = m_settings.caCertificateFile;
    if (!caFile.isEmpty() && !m_caLoaded) {
        QFile file(caFile);
        if (!file.open(QIODevice::ReadOnly)) {
            done(Messages::caUnreadable(caFile, file.errorString()), false);
            return;
        }
        const QByteArray certificate = file.read(MaxCaBytes);
        // The package ships a placeholder until the operator installs the
        // service's CA: say that instead of the daemon's parser error.
        if (!holdsCertificate(certificate)) {
            done(Messages::caUnreadable(caFile, u"the file holds no certificate; install the VPN service's CA certificate there"_s),
                 false);
            return;
        }
        Step loadCert{"load-cert", {}, true, true};
        loadCert.arguments.set("type", "X509");
        loadCert.arguments.set("flag", "CA");
        loadCert.arguments.set("data", certificate);
        loadCert.explain = [caFile](const QString &why) { return Messages::caUnreadable(caFile, why); };
        steps.push_back(loadCert);
    }

    // The password goes to the daemon only, under the user's id so that a
    // new one replaces the old. Without one, the old one is removed and the
    // server's refusal tells the user.
    std::optional<QByteArray> password;
    if (!profile.passwordReference.isEmpty() && m_resolver)
        password = m_resolver(profile.passwordReference);
    if (password) {
        Step loadShared{"load-shared", {}, true, true};
        loadShared.arguments.set("id", names.secretId);
        loadShared.arguments.set("type", "EAP");
        loadShared.arguments.set("data", *password);
        const QString owner = profile.username.isEmpty() ? profile.localIdentifier : profile.username;
        if (!owner.isEmpty())
            loadShared.arguments.setList("owners", {owner.toUtf8()});
        steps.push_back(loadShared);
        m_secretLoaded = true;
    } else {
        Step unloadShared{"unload-shared", {}, true, false};
        unloadShared.arguments.set("id", names.secretId);
        steps.push_back(unloadShared);
    }

    QString why;
    const std::optional<Vici::Message> connection =
        connectionFor(profile, names.connection, {m_settings.dpdDelaySeconds}, &why);
    if (!connection) {
        done(u"The IKEv2 profile is not valid: "_s + why, true);
        return;
    }
    steps.push_back(Step{"load-conn", *connection, true, true});

    runSteps(std::move(steps), [this, names, caFile, done](const std::optional<QString> &error, bool refused) {
        if (error) {
            // A CA the daemon refuses is the installation's fault, not the profile's.
            const bool caProblem = error->startsWith(Messages::caUnreadable(caFile, {}));
            const QString message = caProblem ? *error
                : refused                     ? u"The IKEv2 service rejected the profile: "_s + *error
                                              : Messages::notAvailable(*error);
            done(message, refused && !caProblem);
            return;
        }
        m_caLoaded = !caFile.isEmpty();
        m_daemonLoaded = true;
        m_names = names;
        done(std::nullopt, false);
    });
}

void StrongSwanVpn::saveToPreferences(const IKEv2Profile &profile, Completion completion)
{
    QString why;
    if (!connectionFor(profile, namesFor(profile.localizedDescription, m_settings.uid).connection, {}, &why)) {
        setStatus(Status::Invalid);
        complete(completion, u"The IKEv2 profile is not valid: "_s + why);
        return;
    }
    enqueue([this, profile, completion](std::function<void()> done) {
        ensureReady([this, profile, completion, done](const std::optional<QString> &error) {
            if (error) {
                complete(completion, error);
                done();
                return;
            }
            loadProfile(profile, [this, profile, completion, done](const std::optional<QString> &error, bool refused) {
                if (error) {
                    // The daemon rejecting the profile makes it invalid; the
                    // status comes first so the description is the last word.
                    if (refused)
                        setStatus(Status::Invalid);
                    complete(completion, error);
                    done();
                    return;
                }
                m_profile = profile;
                if (m_status == Status::Invalid)
                    setStatus(Status::Disconnected);
                complete(completion, std::nullopt);
                done();
            });
        });
    });
}

std::optional<QString> StrongSwanVpn::startTunnel()
{
    const bool running = m_status == Status::Connecting || m_status == Status::Connected
        || m_status == Status::Reasserting;
    if (running && !m_stopping)
        return std::nullopt;
    if (!m_profile && !m_daemonLoaded)
        return u"No IKEv2 profile has been saved"_s;
    if (m_profile && !m_profile->isEnabled)
        return u"The IKEv2 profile is disabled"_s;

    m_failureReason.clear();
    m_attemptLog.clear();
    m_upEvent.reset();
    m_peerWatch.reset();
    const quint64 attempt = ++m_attempt;
    m_attemptActive = true;
    m_stopping = false;
    setStatus(Status::Connecting);
    // Queued behind a stop still cleaning up.
    enqueue([this, attempt](std::function<void()> done) {
        if (attempt != m_attempt) {
            done();
            return;
        }
        ensureReady([this, attempt, done](const std::optional<QString> &error) {
            if (attempt != m_attempt) {
                done();
                return;
            }
            if (error) {
                failAttempt(attempt, *error, false);
                done();
                return;
            }
            if (m_daemonLoaded || !m_profile) {
                initiate(attempt);
                done();
                return;
            }
            loadProfile(*m_profile, [this, attempt, done](const std::optional<QString> &error, bool refused) {
                if (attempt == m_attempt) {
                    if (error)
                        failAttempt(attempt, *error, refused);
                    else
                        initiate(attempt);
                }
                done();
            });
        });
    });
    return std::nullopt;
}

// The initiate command answers only when the tunnel is up or has failed, and
// one command at a time runs per connection, so it gets a connection of its
// own, kept for the next start; the daemon's log lines for it arrive there
// as control-log events.
void StrongSwanVpn::initiate(quint64 attempt)
{
    if (!m_initiator) {
        m_initiator = new ViciClient(m_client->socketPath(), this);
        m_initiator->setTimeout(m_settings.initiateTimeoutMs + m_settings.commandTimeoutMs);
        QObject::connect(m_initiator, &ViciClient::eventReceived, this,
                         [this](const QByteArray &name, const Vici::Message &message) {
                             if (name == "control-log" && m_attemptActive && m_attemptLog.size() < MaxAttemptLog)
                                 m_attemptLog.append(message.text("msg"));
                         });
        // Without the log the start still works; the reason is then less
        // precise, and the DNS servers in use are not known.
        m_initiator->registerEvent("control-log", {});
    }
    Vici::Message arguments;
    arguments.set("child", m_names.connection);
    arguments.set("ike", m_names.connection);
    arguments.set("timeout", QByteArray::number(m_settings.initiateTimeoutMs));
    arguments.set("loglevel", "1");
    m_initiatePending = true;
    m_initiator->call("initiate", arguments, [this, attempt](const ViciClient::Reply &reply) {
        if (attempt != m_attempt)
            return;
        m_initiatePending = false;
        if (!reply.ok()) {
            closeInitiator();
            failAttempt(attempt, Messages::notAvailable(reply.error), false);
            return;
        }
        if (!succeeded(reply.message)) {
            const QString errorMessage = reply.message.text("errmsg");
            // The daemon does not know our connection: the profile is gone.
            const bool invalid = errorMessage.contains(u"not found"_s) && errorMessage.contains(u"config"_s);
            failAttempt(attempt, describeFailure(m_attemptLog, errorMessage), invalid);
            return;
        }
        checkEstablished(attempt);
    });
}

// The tunnel is up: it is used only when nothing would leave outside it.
void StrongSwanVpn::checkEstablished(quint64 attempt)
{
    // The data tunnel's event usually came before the initiate's answer and
    // tells what it carries; otherwise the list, which the daemon answers
    // after the events it sent before on this connection, does.
    if (m_upEvent) {
        decideEstablished(attempt, {*std::exchange(m_upEvent, std::nullopt)});
        return;
    }
    Vici::Message arguments;
    arguments.set("ike", m_names.connection);
    m_client->call("list-sas", arguments, [this, attempt](const ViciClient::Reply &reply) {
        const std::vector<Vici::Message> listed = std::exchange(m_listed, {});
        if (attempt != m_attempt)
            return;
        if (!reply.ok()) {
            failAttempt(attempt, Messages::notAvailable(reply.error), false);
            return;
        }
        decideEstablished(attempt, listed);
    });
}

void StrongSwanVpn::decideEstablished(quint64 attempt, const std::vector<Vici::Message> &listed)
{
    const QByteArray name = m_names.connection.toUtf8();
    const std::optional<Tunnel> tunnel = tunnelOf(listed, name);
    if (saStateOf(listed, name) != SaState::Up || !tunnel) {
        failAttempt(attempt, describeFailure(m_attemptLog, u"the tunnel ended as it was established"_s), false);
        return;
    }
    if (const std::optional<QString> leak = leakOf(*tunnel, dnsOf(m_attemptLog), machineHasIPv6())) {
        failAttempt(attempt, *leak, false);
        return;
    }
    m_attemptActive = false;
    m_goneChecks = 0;
    m_recheck->stop();
    setStatus(Status::Connected);
}

void StrongSwanVpn::closeInitiator()
{
    m_initiatePending = false;
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
    if (m_initiatePending)
        closeInitiator();
    cleanUp([this, attempt, invalid]() {
        if (attempt != m_attempt)
            return;
        m_stopping = false;
        setStatus(invalid ? Status::Invalid : Status::Disconnected);
    });
}

// A tunnel that was up ends without a stop (the server closed it, gave up
// re-establishing it, or stopped answering).
void StrongSwanVpn::endTunnel(const QString &reason)
{
    const quint64 attempt = ++m_attempt;
    m_failureReason = reason;
    m_stopping = true;
    cleanUp([this, attempt]() {
        if (attempt != m_attempt)
            return;
        m_stopping = false;
        setStatus(Status::Disconnected);
    });
}

// Leaves nothing of ours in the daemon: the SA (without waiting long for the
// server), the connection and the password.
void StrongSwanVpn::cleanUp(std::function<void()> done)
{
    enqueue([this, done](std::function<void()> opDone) {
        ensureReady([this, done, opDone](const std::optional<QString> &error) {
            if (error) {
                // No daemon to clean: what it held went with it.
                m_daemonLoaded = false;
                done();
                opDone();
                return;
            }
            Step terminate{"terminate", {}, false, false, 0};
            terminate.arguments.set("ike", m_names.connection);
            terminate.arguments.set("force", "yes");
            terminate.arguments.set("timeout", QByteArray::number(GracefulTerminateMs));
            terminate.timeoutMs = GracefulTerminateMs + m_settings.commandTimeoutMs;
            Step unloadConn{"unload-conn", {}, true, false};
            unloadConn.arguments.set("name", m_names.connection);
            Step unloadShared{"unload-shared", {}, true, false};
            unloadShared.arguments.set("id", m_names.secretId);
            runSteps({terminate, unloadConn, unloadShared},
                     [this, done, opDone](const std::optional<QString> &error, bool) {
                         m_daemonLoaded = false;
                         if (!error)
                             m_secretLoaded = false;
                         done();
                         opDone();
                     });
        });
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
    m_failureReason.clear();
    if (m_initiatePending)
        closeInitiator();
    setStatus(Status::Disconnecting);
    cleanUp([this, attempt]() {
        if (attempt != m_attempt)
            return;
        m_stopping = false;
        setStatus(Status::Disconnected);
    });
}

void StrongSwanVpn::shutdown(int timeoutMs)
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    const bool up = (m_status == Status::Connected || m_status == Status::Reasserting) && !m_stopping;
    const bool unfinished = !up && (m_attemptActive || m_stopping || m_status == Status::Connecting);
    if (!m_secretLoaded && !unfinished)
        return;
    std::vector<std::pair<QByteArray, Vici::Message>> commands;
    if (unfinished) {
        Vici::Message terminate;
        terminate.set("ike", m_names.connection);
        terminate.set("force", "yes");
        terminate.set("timeout", "-1");
        commands.emplace_back("terminate", terminate);
        Vici::Message unloadConn;
        unloadConn.set("name", m_names.connection);
        commands.emplace_back("unload-conn", unloadConn);
    }
    Vici::Message unloadShared;
    unloadShared.set("id", m_names.secretId);
    commands.emplace_back("unload-shared", unloadShared);
    closeInitiator();
    m_client->close(u"shutting down"_s);
    if (ViciClient::runBlocking(m_client->socketPath(), commands, timeoutMs))
        m_secretLoaded = false;
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
    arguments.set("ike", m_names.connection);
    m_client->call("list-sas", arguments, [this](const ViciClient::Reply &reply) {
        const std::vector<Vici::Message> listed = std::exchange(m_listed, {});
        if (reply.ok())
            applySaState(saStateOf(listed, m_names.connection.toUtf8()));
    });
}

void StrongSwanVpn::applySaState(SaState state)
{
    if (m_stopping || m_attemptActive)
        return;
    const SaStep step = saStepFor(state, m_status, m_goneChecks, GoneChecks);
    m_goneChecks = step.goneChecks;
    if (step.recheck == SaStep::Recheck::Stop)
        m_recheck->stop();
    if (step.status)
        setStatus(*step.status);
    if (step.recheck == SaStep::Recheck::Start)
        m_recheck->start();
    if (step.ended)
        endTunnel({});
}

void StrongSwanVpn::onEvent(const QByteArray &name, const Vici::Message &message)
{
    if (name == "list-sa") {
        m_listed.push_back(message);
        return;
    }
    if (name == "log") {
        // Requests of an established tunnel that go unanswered: the server
        // is gone, and the daemon's own patience would take minutes.
        const bool watched = (m_status == Status::Connected || m_status == Status::Reasserting) && !m_stopping
            && !m_attemptActive;
        if (watched && message.text("ikesa-name") == m_names.connection
            && m_peerWatch.feed(message.text("msg"), m_clock.elapsed())) {
            m_peerWatch.reset();
            endTunnel(Messages::deadPeer());
        }
        return;
    }
    if (name != "ike-updown" && name != "child-updown")
        return;  // rekeying keeps the tunnel as it is
    if (!message.section(m_names.connection.toUtf8()) || m_stopping)
        return;
    const bool up = message.value("up") == "yes";
    if (m_attemptActive) {
        // A start's own events: its initiate answer tells the outcome.
        if (up && name == "child-updown")
            m_upEvent = message;
        else if (!up)
            m_upEvent.reset();  // gone again: the list tells what is left
        return;
    }
    if (up) {
        m_goneChecks = 0;
        // The data tunnel, not the IKE SA, makes the connection: the virtual
        // IP arrives with the IKE SA even when the tunnel then fails.
        if (name == "child-updown") {
            m_recheck->stop();
            m_peerWatch.reset();
            setStatus(Status::Connected);
        } else if (m_status == Status::Disconnected || m_status == Status::Invalid) {
            setStatus(Status::Connecting);  // started outside the client
        }
        return;
    }
    // Down without a stop: a re-establishment (reauthentication, a new IKE
    // SA) or the end of the tunnel. The SA list tells which.
    resync();
}
