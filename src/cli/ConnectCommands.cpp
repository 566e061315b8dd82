// `velorin connect`, `velorin disconnect` and `velorin status`.
#include "cli/AppClient.h"
#include "cli/Cli.h"

#include "model/ConnectionPresentation.h"
#include "model/ServerLocation.h"
#include "platform/SignalNotifier.h"
#include "platform/UserDefaults.h"
#include "vpn/ConnectionLock.h"
#include "vpn/AppServices.h"
#include "vpn/VPNServiceProtocol.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayChild.h"

#include <QCoro/QCoroSignal>

#include <QFileInfo>
#include <QJsonValue>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

std::optional<VPNProtocolType> protocolNamed(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == u"ikev2")
        return VPNProtocolType::IKEv2;
    if (lower == u"wireguard")
        return VPNProtocolType::WireGuard;
    if (lower == u"xray" || lower == u"xrayreality")
        return VPNProtocolType::XrayReality;
    return std::nullopt;
}

// The signals that end a `velorin connect` with an orderly disconnect:
// Ctrl-C, SIGTERM, SIGHUP (its terminal closed) and SIGQUIT.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool isStopSignal(int signal)
{
    return std::find(std::begin(stopSignals), std::end(stopSignals), signal) != std::end(stopSignals);
}

// Follows one connection in the foreground: prints every state its owner
// publishes (this process's VPN service manager, or the running
// application), and turns the stop signals into a disconnect.
//
// It finishes with
//   0   after a disconnect the user asked for has completed;
//   1   when the connection fails or ends on its own: a first connect that
//       ends in an error, an error after the connection was up that the
//       service does not recover from by itself (the proxy service's
//       "Connection failed — please reconnect manually"), or a connection
//       that drops to disconnected without being asked, or the application
//       that held it quit;
//   130 on a second stop signal while the disconnect is still under way.
// While the proxy service retries ("Connection lost — reconnecting...",
// "Network unavailable — waiting...") the command keeps running.
class ConnectSession : public QObject
{
    Q_OBJECT
public:
    ConnectSession(Cli::Context &context, ServerLocation server, bool proxyOnly, std::function<void()> disconnect)
        : m_context(context)
        , m_server(std::move(server))
        , m_proxyOnly(proxyOnly)
        , m_disconnect(std::move(disconnect))
    {
        SignalNotifier &notifier = SignalNotifier::instance();
        QObject::connect(&notifier, &SignalNotifier::received, this, &ConnectSession::stop);
    }

    // A state of the connection, with the server's name and address as its owner reports them.
    void show(const VPNConnectionState &state, QString name, const std::optional<QString> &address)
    {
        m_state = state;
        using Kind = VPNConnectionState::Kind;
        if (!state.is(Kind::Connected)) {
            line(ConnectionPresentation::statusLine(state, {}, {}));
        } else {
            m_wasConnected = true;
            if (name.isEmpty() || name == u"Not Connected")
                name = m_server.countryAndCity();
            line(ConnectionPresentation::statusLine(state, name, address.value_or(m_server.ipAddress)));
            if (m_proxyOnly && !m_toldPorts) {
                m_toldPorts = true;
                const XrayService::Options options = XrayService::Options::fromBuild();
                line(u"local proxies (system settings left alone): SOCKS5 127.0.0.1:"_s
                     + QString::number(options.socksPort) + u", HTTP 127.0.0.1:"_s + QString::number(options.httpPort));
            }
        }
        switch (state.kind()) {
        case Kind::Disconnected:
            if (m_stopping)
                finish(Cli::kSuccess);
            else if (m_wasConnected)
                finish(Cli::kFailure);
            break;
        case Kind::Error:
            if (m_stopping)
                break;
            if (!isRecovering(state))
                finish(Cli::kFailure);
            break;
        default:
            break;
        }
    }

    // The owner went away (the application quit).
    void lost(const QString &why)
    {
        line(u"error: "_s + why);
        finish(m_stopping ? Cli::kSuccess : Cli::kFailure);
    }

    static bool isRecovering(const VPNConnectionState &state)
    {
        return state.errorMessage() == XrayService::connectionLostMessage
            || state.errorMessage() == XrayService::networkUnavailableMessage;
    }

signals:
    void finished(int code);

private:
    void stop(int signal)
    {
        if (!isStopSignal(signal))
            return;
        if (m_stopping) {
            finish(128 + SIGINT);
            return;
        }
        m_stopping = true;
        if (m_state.is(VPNConnectionState::Kind::Disconnected)) {
            finish(Cli::kSuccess);
            return;
        }
        m_disconnect();
    }

    void line(const QString &text) { m_context.out << text << Qt::endl; }

    void finish(int code)
    {
        if (m_finished)
            return;
        m_finished = true;
        emit finished(code);
    }

    Cli::Context &m_context;
    const ServerLocation m_server;
    const bool m_proxyOnly;
    std::function<void()> m_disconnect;
    // A connect has been asked for when the session begins.
    VPNConnectionState m_state = VPNConnectionState::connecting();
    bool m_toldPorts = false;
    bool m_wasConnected = false;
    bool m_stopping = false;
    bool m_finished = false;
};

bool watchStopSignals()
{
    SignalNotifier &notifier = SignalNotifier::instance();
    for (const int signal : stopSignals)
        if (!notifier.watch(signal))
            return false;
    return true;
}

ControlProtocol::Request request(ControlProtocol::Request::Command command)
{
    ControlProtocol::Request request;
    request.command = command;
    return request;
}

// The connection as the application reports it: name and address from a
// state event or a status answer.
void showFrom(ConnectSession &session, const ControlProtocol::Message &message)
{
    if (!message.state)
        return;
    const QJsonValue address = message.fields.value(u"address"_s);
    session.show(*message.state, message.fields.value(u"serverName"_s).toString(),
                 address.isString() ? std::optional<QString>(address.toString()) : std::nullopt);
}

// `connect` while the application runs: the application's own services
// connect (its screens follow), this command prints the states. Ctrl-C asks
// the application to disconnect, as it does without the application: the
// command's promise is a connection that lasts until Ctrl-C, whoever holds it.
QCoro::Task<int> connectThroughApp(Cli::Context &context, AppClient &app, ControlProtocol::Request connect,
                                   ServerLocation server)
{
    app.send(connect);
    const std::optional<ControlProtocol::Message> answer = app.next();
    if (!answer)
        co_return Cli::fail(context, u"the running application did not answer"_s);
    if (!answer->ok)
        co_return Cli::fail(context, answer->error);
    ConnectSession session(context, server, connect.proxyOnly, [&app] {
        app.send(request(ControlProtocol::Request::Command::Disconnect));
    });
    QObject::connect(&app, &AppClient::received, &session,
                     [&session](const ControlProtocol::Message &message) {
                         if (message.isEvent)
                             showFrom(session, message);
                     });
    QObject::connect(&app, &AppClient::closed, &session, [&session] { session.lost(u"the application quit"_s); });
    app.follow();
    const int code = co_await qCoro(&session, &ConnectSession::finished);
    co_return code;
}

QCoro::Task<int> connectCommand(Cli::Context &context, QStringList arguments)
{
    std::optional<VPNProtocolType> protocol;
    std::optional<QString> serverId;
    bool proxyOnly = false;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == u"--proxy-only") {
            proxyOnly = true;
        } else if (argument == u"--protocol" || argument.startsWith(u"--protocol="_s)) {
            QString name = argument.section(u'=', 1);
            if (!argument.contains(u'=')) {
                if (arguments.isEmpty())
                    co_return Cli::fail(context, u"--protocol needs ikev2, wireguard or xray"_s, Cli::kUsage);
                name = arguments.takeFirst();
            }
            const auto named = protocolNamed(name);
            if (!named)
                co_return Cli::fail(context, u"unknown protocol '"_s + name + u"' (ikev2, wireguard or xray)"_s,
                                    Cli::kUsage);
            protocol = *named;
        } else if (argument.startsWith(u'-') || serverId) {
            co_return Cli::fail(context, u"usage: velorin connect [--protocol ikev2|wireguard|xray] [--proxy-only] [SERVER_ID]"_s,
                                Cli::kUsage);
        } else {
            serverId = argument;
        }
    }

    // Proxy-only is an Xray connection that leaves the system settings alone.
    if (proxyOnly && protocol && *protocol != VPNProtocolType::XrayReality)
        co_return Cli::fail(context, u"--proxy-only works with the Xray protocol only"_s, Cli::kUsage);
    if (proxyOnly)
        protocol = VPNProtocolType::XrayReality;

    ServerLocation server = context.services->servers.selectedServer();
    if (serverId) {
        const ServerLocation *found = ServerLocation::find(*serverId);
        if (!found)
            co_return Cli::fail(context, u"unknown server '"_s + *serverId + u"' (see 'velorin servers')"_s);
        if (!found->isActive)
            co_return Cli::fail(context, u"server '"_s + *serverId + u"' ("_s + found->countryAndCity()
                                             + u") is offline"_s);
        server = *found;
    }

    // This command turns the stop signals into the same orderly disconnect
    // as Ctrl-C, so the proxy service's own signal clean-up stays out of the way.
    context.services->leaveTerminationSignalToApplication();
    if (!watchStopSignals())
        co_return Cli::fail(context, u"cannot watch for Ctrl-C"_s);

    // The running application owns the connection: it connects, never a
    // second xray or IKE attempt from here.
    QString refusal;
    if (const std::unique_ptr<AppClient> app = AppClient::open(&refusal)) {
        ControlProtocol::Request connect = request(ControlProtocol::Request::Command::Connect);
        connect.protocol = protocol.value_or(VPNProtocolType::IKEv2);
        connect.server = server.id;
        connect.proxyOnly = proxyOnly;
        const int code = co_await connectThroughApp(context, *app, connect, server);
        co_return code;
    }
    if (!refusal.isEmpty())
        co_return Cli::fail(context, refusal);

    // Alone: the VPN service manager takes the user's connection lock, so a
    // second command line cannot connect beside this one.
    VPNServiceManager &manager = context.services->vpn();
    if (proxyOnly)
        context.services->xray().setProxyOnly(true);
    // Assigned directly: the settings' protocol switch accepts only IKEv2.
    manager.setSelectedProtocol(protocol.value_or(VPNProtocolType::IKEv2));
    ConnectSession session(context, server, proxyOnly, [&manager] { manager.disconnect(); });
    QObject::connect(&manager, &VPNServiceManager::connectionStateChanged, &session,
                     [&session, &manager](const VPNConnectionState &state) {
                         const VPNServiceProtocol &service = manager.activeService();
                         session.show(state, service.serverName(), service.connectedServerIP());
                     },
                     // Queued: a refusal comes within connect(), before the wait below.
                     Qt::QueuedConnection);
    manager.connect(server.ipAddress, server.id);
    const int code = co_await qCoro(&session, &ConnectSession::finished);
    co_return code;
}

// The system proxy back-end this desktop gets, and why.
void printProxyChoice(Cli::Context &context, const XrayService::Options &options, UserDefaults &defaults)
{
    const ProxyChoice choice = XrayService::proxyChoice(options, defaults);
    if (choice.id.isEmpty())
        context.out << u"system proxy: none for this desktop ("_s << choice.reason
                    << u"); connect with --proxy-only\n"_s;
    else
        context.out << u"system proxy: "_s << ProxyBackends::labelOf(choice.id, options.proxyToolPath) << u" ("_s
                    << choice.reason << u")\n"_s;
}

// The running application's own view: its protocol, selected server and
// the state of its connection.
int appStatus(Cli::Context &context, AppClient &app)
{
    app.send(request(ControlProtocol::Request::Command::Status));
    const std::optional<ControlProtocol::Message> answer = app.next();
    if (!answer || !answer->ok || !answer->state)
        return Cli::fail(context, answer ? answer->error : u"the running application did not answer"_s);
    const QJsonObject &fields = answer->fields;
    const auto protocol = VPNProtocol::fromRawValue(fields.value(u"protocol"_s).toString());
    context.out << u"protocol: "_s << VPNProtocol::displayName(protocol.value_or(VPNProtocolType::IKEv2)) << u'\n';
    context.out << u"server: "_s << fields.value(u"selectedServerName"_s).toString() << u" ("_s
                << fields.value(u"selectedServer"_s).toString() << u")\n"_s;
    printProxyChoice(context, XrayService::Options::fromBuild(), context.services->defaults);
    const std::optional<QString> address =
        fields.contains(u"address"_s) ? std::optional(fields.value(u"address"_s).toString()) : std::nullopt;
    context.out << u"application: running; "_s
                << ConnectionPresentation::statusLine(*answer->state, fields.value(u"serverName"_s).toString(), address)
                << u'\n';
    context.out.flush();
    return Cli::kSuccess;
}

// What another process's connection leaves visible: the stored protocol and
// server, the proxy service's record of the proxies it set, and whether its
// local SOCKS port answers. The state of an IKEv2 tunnel lives in the
// system's VPN profile and is not read here.
QCoro::Task<int> statusCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'status' takes no arguments"_s, Cli::kUsage);
    QString refusal;
    if (const std::unique_ptr<AppClient> app = AppClient::open(&refusal)) {
        const int code = appStatus(context, *app);
        co_return code;
    }
    UserDefaults &defaults = context.services->defaults;
    const auto stored = VPNProtocol::fromRawValue(defaults.string(VPNServiceManager::protocolKey).value_or(QString()));
    const VPNProtocolType protocol = stored.value_or(VPNProtocolType::IKEv2);
    const ServerLocation &server = context.services->servers.selectedServer();
    context.out << u"protocol: "_s << VPNProtocol::displayName(protocol) << u'\n';
    context.out << u"server: "_s << server.countryAndCity() << u" ("_s << server.id << u")\n"_s;

    const XrayService::Options options = XrayService::Options::fromBuild();
    printProxyChoice(context, options, defaults);

    const int port = options.socksPort;
    const QString local = u"127.0.0.1:"_s + QString::number(port);
    const std::optional<QString> where = SystemProxy::recordedPlace(defaults, options.proxyToolPath);
    const QString what = !where || where->startsWith(u"on "_s)
        ? QString()
        : QString(u" to "_s + ProxyEndpoints{u"127.0.0.1"_s, options.socksPort, options.httpPort}.describe() + u';');
    if (!where)
        context.out << (XrayChild::isPortOpen(port) ? QString(u"xray: no system proxy set; "_s + local
                                                            + u" answering (a proxy-only connection?)\n"_s)
                                                      : u"xray: not connected\n"_s);
    else if (XrayChild::isPortOpen(port))
        context.out << u"xray: connected; proxies set "_s << *where << what << (what.isEmpty() ? u", "_s : u" "_s)
                    << local << u" answering\n"_s;
    else
        context.out << u"xray: proxies set "_s << *where << what << u" but nothing answers on "_s << local
                    << u" (restarting, or the owning process ended without cleaning up; the next start of"
                       " the Xray service restores them)\n"_s;
    context.out.flush();
    co_return Cli::kSuccess;
}

// Whether `pid` is a process of this user.
bool isOwnProcess(qint64 pid)
{
    const QFileInfo process(u"/proc/"_s + QString::number(pid));
    return process.exists() && process.ownerId() == ::geteuid();
}

// `disconnect`: the running application disconnects; without it, the
// `velorin connect` that holds the connection is asked to end it (SIGTERM,
// its orderly disconnect) and this command waits until it has.
QCoro::Task<int> disconnectCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'disconnect' takes no arguments"_s, Cli::kUsage);
    QString refusal;
    if (const std::unique_ptr<AppClient> app = AppClient::open(&refusal)) {
        app->send(request(ControlProtocol::Request::Command::Disconnect));
        const std::optional<ControlProtocol::Message> answer = app->next();
        if (!answer || !answer->ok)
            co_return Cli::fail(context, answer ? answer->error : u"the running application did not answer"_s);
        bool first = true;
        // Until the application has disconnected (the state comes first, then each change).
        while (const std::optional<ControlProtocol::Message> message = app->next(60000)) {
            if (!message->state)
                continue;
            const VPNConnectionState &state = *message->state;
            const bool over = state.is(VPNConnectionState::Kind::Disconnected)
                || (state.isError() && !ConnectSession::isRecovering(state));
            if (first && over) {
                context.out << u"not connected"_s << Qt::endl;
                co_return Cli::kSuccess;
            }
            first = false;
            context.out << state.description() << Qt::endl;
            if (state.is(VPNConnectionState::Kind::Disconnected))
                co_return Cli::kSuccess;
            if (state.isError() && !ConnectSession::isRecovering(state))
                co_return Cli::kFailure;
        }
        co_return Cli::fail(context, u"the running application did not finish the disconnect"_s);
    }
    if (!refusal.isEmpty())
        co_return Cli::fail(context, refusal);

    const QString lock = ControlProtocol::places().connectionLock;
    const std::optional<qint64> holder = ConnectionLock::holder(lock);
    if (!holder) {
        context.out << u"not connected"_s << Qt::endl;
        co_return Cli::kSuccess;
    }
    if (!isOwnProcess(*holder) || ::kill(pid_t(*holder), SIGTERM) != 0)
        co_return Cli::fail(context, u"cannot ask process %1, which holds the connection, to end it"_s.arg(*holder));
    context.out << u"disconnecting (velorin connect, process "_s << *holder << u')' << Qt::endl;
    for (int waited = 0; waited < 60000; waited += 100) {
        if (!ConnectionLock::holder(lock)) {
            context.out << u"disconnected"_s << Qt::endl;
            co_return Cli::kSuccess;
        }
        QThread::msleep(100);
    }
    co_return Cli::fail(context, u"process %1 did not end its connection within 60 s"_s.arg(*holder));
}

const bool registered = [] {
    Cli::registerCommand({u"connect"_s, u"[--protocol ikev2|wireguard|xray] [--proxy-only] [ID]"_s,
                          u"connect to a server (the selected one by default) and stay until Ctrl-C; "
                          "--proxy-only: Xray without touching the system proxy"_s,
                          connectCommand});
    Cli::registerCommand({u"disconnect"_s, {}, u"end the connection (the running application's, or that of a "
                          "'velorin connect')"_s, disconnectCommand});
    Cli::registerCommand({u"status"_s, {}, u"show the protocol, the server and the connection (through the running "
                          "application), or the stored ones and the Xray proxy record"_s,
                          statusCommand});
    return true;
}();

} // namespace

#include "ConnectCommands.moc"
