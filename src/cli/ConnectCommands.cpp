// `velorin connect` and `velorin status`.
#include "cli/Cli.h"

#include "model/ConnectionPresentation.h"
#include "model/ServerLocation.h"
#include "platform/SignalNotifier.h"
#include "platform/UserDefaults.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/VPNServiceProtocol.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayService.h"

#include <QCoro/QCoroSignal>

#include <algorithm>
#include <csignal>

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

// Follows one connection in the foreground: prints every state the VPN
// service manager publishes, and turns the stop signals into a disconnect.
//
// It finishes with
//   0   after a disconnect the user asked for has completed;
//   1   when the connection fails or ends on its own: a first connect that
//       ends in an error, an error after the connection was up that the
//       service does not recover from by itself (the proxy service's
//       "Connection failed — please reconnect manually"), or a connection
//       that drops to disconnected without being asked;
//   130 on a second stop signal while the disconnect is still under way.
// While the proxy service retries ("Connection lost — reconnecting...",
// "Network unavailable — waiting...") the command keeps running.
class ConnectSession : public QObject
{
    Q_OBJECT
public:
    ConnectSession(Cli::Context &context, VPNServiceManager &manager, ServerLocation server, bool proxyOnly)
        : m_context(context)
        , m_manager(manager)
        , m_server(std::move(server))
        , m_proxyOnly(proxyOnly)
    {
        QObject::connect(&manager, &VPNServiceManager::connectionStateChanged, this, &ConnectSession::print);
        SignalNotifier &notifier = SignalNotifier::instance();
        QObject::connect(&notifier, &SignalNotifier::received, this, &ConnectSession::stop);
    }

signals:
    void finished(int code);

private:
    void print(const VPNConnectionState &state)
    {
        using Kind = VPNConnectionState::Kind;
        if (!state.is(Kind::Connected)) {
            line(ConnectionPresentation::statusLine(state, {}, {}));
        } else {
            m_wasConnected = true;
            const VPNServiceProtocol &service = m_manager.activeService();
            QString name = service.serverName();
            if (name.isEmpty() || name == u"Not Connected")
                name = m_server.countryAndCity();
            line(ConnectionPresentation::statusLine(state, name,
                                                    service.connectedServerIP().value_or(m_server.ipAddress)));
            if (m_proxyOnly && !m_toldPorts) {
                m_toldPorts = true;
                const XrayService &xray = XrayService::shared();
                line(u"local proxies (system settings left alone): SOCKS5 127.0.0.1:"_s
                     + QString::number(xray.socksPort()) + u", HTTP 127.0.0.1:"_s + QString::number(xray.httpPort()));
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
            if (state.errorMessage() != XrayService::connectionLostMessage
                && state.errorMessage() != XrayService::networkUnavailableMessage)
                finish(Cli::kFailure);
            break;
        default:
            break;
        }
    }

    void stop(int signal)
    {
        if (!isStopSignal(signal))
            return;
        if (m_stopping) {
            finish(128 + SIGINT);
            return;
        }
        m_stopping = true;
        if (m_manager.connectionState().is(VPNConnectionState::Kind::Disconnected)) {
            finish(Cli::kSuccess);
            return;
        }
        m_manager.disconnect();
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
    VPNServiceManager &m_manager;
    const ServerLocation m_server;
    const bool m_proxyOnly;
    bool m_toldPorts = false;
    bool m_wasConnected = false;
    bool m_stopping = false;
    bool m_finished = false;
};

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

    ServerLocation server = ServerManager::shared().selectedServer();
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
    XrayService::leaveTerminationSignalToApplication();
    SignalNotifier &notifier = SignalNotifier::instance();
    for (const int signal : stopSignals)
        if (!notifier.watch(signal))
            co_return Cli::fail(context, u"cannot watch for Ctrl-C"_s);

    VPNServiceManager &manager = VPNServiceManager::shared();
    if (proxyOnly)
        XrayService::shared().setProxyOnly(true);
    // Assigned directly: the settings' protocol switch accepts only IKEv2.
    manager.setSelectedProtocol(protocol.value_or(VPNProtocolType::IKEv2));
    ConnectSession session(context, manager, server, proxyOnly);
    manager.connect(server.ipAddress, server.id);
    const int code = co_await qCoro(&session, &ConnectSession::finished);
    co_return code;
}

// What another process's connection leaves visible: the stored protocol and
// server, the proxy service's record of the proxies it set, and whether its
// local SOCKS port answers. The state of an IKEv2 tunnel lives in the
// system's VPN profile and is not read here.
QCoro::Task<int> statusCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'status' takes no arguments"_s, Cli::kUsage);
    UserDefaults &defaults = UserDefaults::standard();
    const auto stored = VPNProtocol::fromRawValue(defaults.string(VPNServiceManager::protocolKey).value_or(QString()));
    const VPNProtocolType protocol = stored.value_or(VPNProtocolType::IKEv2);
    const ServerLocation &server = ServerManager::shared().selectedServer();
    context.out << u"protocol: "_s << VPNProtocol::displayName(protocol) << u'\n';
    context.out << u"server: "_s << server.countryAndCity() << u" ("_s << server.id << u")\n"_s;

    const XrayService::Options options = XrayService::Options::fromBuild();
    const ProxyChoice choice = XrayService::proxyChoice(options, defaults);
    if (choice.id.isEmpty())
        context.out << u"system proxy: none for this desktop ("_s << choice.reason
                    << u"); connect with --proxy-only\n"_s;
    else
        context.out << u"system proxy: "_s << ProxyBackends::labelOf(choice.id, options.proxyToolPath) << u" ("_s
                    << choice.reason << u")\n"_s;

    const int port = options.socksPort;
    const QString local = u"127.0.0.1:"_s + QString::number(port);
    const std::optional<QString> where = SystemProxy::recordedPlace(defaults, options.proxyToolPath);
    const QString what = !where || where->startsWith(u"on "_s)
        ? QString()
        : QString(u" to "_s + ProxyEndpoints{u"127.0.0.1"_s, options.socksPort, options.httpPort}.describe() + u';');
    if (!where)
        context.out << (XrayService::isPortOpen(port) ? QString(u"xray: no system proxy set; "_s + local
                                                            + u" answering (a proxy-only connection?)\n"_s)
                                                      : u"xray: not connected\n"_s);
    else if (XrayService::isPortOpen(port))
        context.out << u"xray: connected; proxies set "_s << *where << what << (what.isEmpty() ? u", "_s : u" "_s)
                    << local << u" answering\n"_s;
    else
        context.out << u"xray: proxies set "_s << *where << what << u" but nothing answers on "_s << local
                    << u" (restarting, or the owning process ended without cleaning up; the next start of"
                       " the Xray service restores them)\n"_s;
    context.out.flush();
    co_return Cli::kSuccess;
}

const bool registered = [] {
    Cli::registerCommand({u"connect"_s, u"[--protocol ikev2|wireguard|xray] [--proxy-only] [ID]"_s,
                          u"connect to a server (the selected one by default) and stay until Ctrl-C; "
                          "--proxy-only: Xray without touching the system proxy"_s,
                          connectCommand});
    Cli::registerCommand({u"status"_s, {}, u"show the stored protocol and server and the Xray proxy record"_s,
                          statusCommand});
    return true;
}();

} // namespace

#include "ConnectCommands.moc"
