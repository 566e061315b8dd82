// `velorin connect` and `velorin status`.
#include "cli/Cli.h"

#include "model/ServerLocation.h"
#include "platform/SignalNotifier.h"
#include "platform/UserDefaults.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/VPNServiceProtocol.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayService.h"

#include <QCoro/QCoroSignal>

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

// Follows one connection in the foreground: prints every state the VPN
// service manager publishes, and turns SIGINT and SIGTERM into a disconnect.
//
// It finishes with
//   0   after a disconnect the user asked for has completed;
//   1   when the connection fails or ends on its own: a first connect that
//       ends in an error, an error after the connection was up that the
//       service does not recover from by itself (the proxy service's
//       "Connection failed — please reconnect manually"), or a connection
//       that drops to disconnected without being asked;
//   130 on a second SIGINT/SIGTERM while the disconnect is still under way.
// While the proxy service retries ("Connection lost — reconnecting...",
// "Network unavailable — waiting...") the command keeps running.
class ConnectSession : public QObject
{
    Q_OBJECT
public:
    ConnectSession(Cli::Context &context, VPNServiceManager &manager, ServerLocation server)
        : m_context(context)
        , m_manager(manager)
        , m_server(std::move(server))
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
        switch (state.kind()) {
        case Kind::Connecting:
            line(u"connecting"_s);
            break;
        case Kind::Connected: {
            m_wasConnected = true;
            const VPNServiceProtocol &service = m_manager.activeService();
            QString name = service.serverName();
            if (name.isEmpty() || name == u"Not Connected")
                name = m_server.countryAndCity();
            line(u"connected to "_s + name + u" ("_s + service.connectedServerIP().value_or(m_server.ipAddress) + u')');
            break;
        }
        case Kind::Disconnecting:
            line(u"disconnecting"_s);
            break;
        case Kind::Reconnecting:
            line(u"reconnecting"_s);
            break;
        case Kind::Disconnected:
            line(u"disconnected"_s);
            if (m_stopping)
                finish(Cli::kSuccess);
            else if (m_wasConnected)
                finish(Cli::kFailure);
            break;
        case Kind::Error:
            line(u"error: "_s + state.errorMessage());
            if (m_stopping)
                break;
            if (state.errorMessage() != XrayService::connectionLostMessage
                && state.errorMessage() != XrayService::networkUnavailableMessage)
                finish(Cli::kFailure);
            break;
        }
    }

    void stop(int signal)
    {
        if (signal != SIGINT && signal != SIGTERM)
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
    bool m_wasConnected = false;
    bool m_stopping = false;
    bool m_finished = false;
};

QCoro::Task<int> connectCommand(Cli::Context &context, QStringList arguments)
{
    VPNProtocolType protocol = VPNProtocolType::IKEv2;
    std::optional<QString> serverId;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == u"--protocol" || argument.startsWith(u"--protocol="_s)) {
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
            co_return Cli::fail(context, u"usage: velorin connect [--protocol ikev2|wireguard|xray] [SERVER_ID]"_s,
                                Cli::kUsage);
        } else {
            serverId = argument;
        }
    }

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

    // This command turns SIGTERM into the same orderly disconnect as Ctrl-C,
    // so the proxy service's own SIGTERM clean-up stays out of the way.
    XrayService::leaveTerminationSignalToApplication();
    SignalNotifier &notifier = SignalNotifier::instance();
    if (!notifier.watch(SIGINT) || !notifier.watch(SIGTERM))
        co_return Cli::fail(context, u"cannot watch for Ctrl-C"_s);

    VPNServiceManager &manager = VPNServiceManager::shared();
    // Assigned directly: the settings' protocol switch accepts only IKEv2.
    manager.setSelectedProtocol(protocol);
    ConnectSession session(context, manager, server);
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

    const int port = XrayService::Options::fromBuild().socksPort;
    const QString local = u"127.0.0.1:"_s + QString::number(port);
    const bool owed = defaults.boolOr(SystemProxy::activeKey, false);
    const QStringList services = defaults.stringList(SystemProxy::servicesKey).value_or(QStringList());
    const QString where = SystemProxy::describe(services.isEmpty() ? QStringList{SystemProxy::defaultService} : services);
    if (!owed)
        context.out << u"xray: not connected\n"_s;
    else if (XrayService::isPortOpen(port))
        context.out << u"xray: connected; proxies set on "_s << where << u", "_s << local << u" answering\n"_s;
    else
        context.out << u"xray: proxies set on "_s << where << u" but nothing answers on "_s << local
                    << u" (restarting, or the owning process ended without cleaning up; the next start of"
                       " the Xray service restores them)\n"_s;
    context.out.flush();
    co_return Cli::kSuccess;
}

const bool registered = [] {
    Cli::registerCommand({u"connect"_s, u"[--protocol ikev2|wireguard|xray] [ID]"_s,
                          u"connect to a server (the selected one by default) and stay until Ctrl-C"_s,
                          connectCommand});
    Cli::registerCommand({u"status"_s, {}, u"show the stored protocol and server and the Xray proxy record"_s,
                          statusCommand});
    return true;
}();

} // namespace

#include "ConnectCommands.moc"
