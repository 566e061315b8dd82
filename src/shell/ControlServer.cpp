#include "shell/ControlServer.h"

#include "model/ServerLocation.h"
#include "platform/Log.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/VPNServiceProtocol.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <unistd.h>

using namespace Qt::StringLiterals;
using ControlProtocol::Request;

struct ControlServer::Peer
{
    QByteArray buffer;
    QTimer *firstRequest = nullptr;
    bool following = false;
};

ControlServer::ControlServer(VPNServiceManager &vpn, ServerManager &servers, Actions actions, QObject *parent)
    : QObject(parent)
    , m_vpn(vpn)
    , m_servers(servers)
    , m_actions(std::move(actions))
    , m_server(new QLocalServer(this))
{
    QObject::connect(m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
    QObject::connect(&m_vpn, &VPNServiceManager::connectionStateChanged, this, &ControlServer::connectionStateChanged);
}

ControlServer::~ControlServer()
{
    // The sockets go with the server (its children); only the records stay.
    qDeleteAll(m_peers);
}

std::optional<QString> ControlServer::listen(const QString &path)
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server->listen(path))
        return std::nullopt;
    // A socket file left by a run that was killed: nobody answers there.
    QLocalServer::removeServer(path);
    if (m_server->listen(path))
        return std::nullopt;
    return u"cannot listen at %1: %2"_s.arg(path, m_server->errorString());
}

QString ControlServer::path() const
{
    return m_server->fullServerName();
}

void ControlServer::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, this, [this, socket] { dropped(socket); });
        auto *peer = new Peer;
        m_peers.insert(socket, peer);
        const std::optional<uid_t> user = ControlProtocol::peerUser(socket->socketDescriptor());
        if (user != ::geteuid()) {
            Log::system(u"⚠️ Control: Refused a connection from user "_s
                        + (user ? QString::number(*user) : u"(unknown)"_s));
            refuse(socket, u"refused: this application belongs to another user"_s);
            continue;
        }
        if (m_peers.size() > maxClients) {
            refuse(socket, u"busy: too many connections"_s);
            continue;
        }
        peer->firstRequest = new QTimer(socket);
        peer->firstRequest->setSingleShot(true);
        QObject::connect(peer->firstRequest, &QTimer::timeout, socket, [this, socket] {
            refuse(socket, u"no request within %1 s"_s.arg(firstRequestTimeoutMs / 1000));
        });
        peer->firstRequest->start(firstRequestTimeoutMs);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        if (socket->bytesAvailable() > 0)
            read(socket);
    }
}

void ControlServer::dropped(QLocalSocket *socket)
{
    delete m_peers.take(socket);
    socket->deleteLater();
}

void ControlServer::read(QLocalSocket *socket)
{
    // Each request is handled before the next is read; a peer that was
    // answered and dropped meanwhile is gone from m_peers.
    while (Peer *peer = m_peers.value(socket)) {
        if (socket->state() != QLocalSocket::ConnectedState)
            return;
        // Never more than one line's worth past the limit is held for a peer.
        peer->buffer += socket->read(ControlProtocol::maxLineBytes + 1 - peer->buffer.size());
        const qsizetype end = peer->buffer.indexOf('\n');
        if (end < 0) {
            if (peer->buffer.size() > ControlProtocol::maxLineBytes)
                refuse(socket, u"request too long (more than %1 bytes)"_s.arg(ControlProtocol::maxLineBytes));
            return;
        }
        const QByteArray line = peer->buffer.left(end);
        peer->buffer.remove(0, end + 1);
        if (peer->firstRequest)
            peer->firstRequest->stop();
        handle(socket, line);
    }
}

void ControlServer::send(QLocalSocket *socket, const QByteArray &line)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    if (socket->bytesToWrite() + line.size() > maxPendingBytes) {
        socket->abort();
        return;
    }
    socket->write(line);
}

void ControlServer::refuse(QLocalSocket *socket, const QString &message)
{
    send(socket, ControlProtocol::errorLine(message));
    // Whatever else it sends is not read any more; the answer still leaves.
    QObject::disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    socket->disconnectFromServer();
}

void ControlServer::handle(QLocalSocket *socket, const QByteArray &line)
{
    const ControlProtocol::Parsed parsed = ControlProtocol::parseRequest(line);
    if (!parsed.request) {
        Log::system(u"⚠️ Control: "_s + parsed.error);
        refuse(socket, parsed.error);
        return;
    }
    const Request &request = *parsed.request;
    switch (request.command) {
    case Request::Command::Status: {
        const ServerLocation &selected = m_servers.selectedServer();
        QJsonObject fields = currentState();
        fields.insert(u"protocol"_s, VPNProtocol::rawValue(m_vpn.selectedProtocol()));
        fields.insert(u"selectedServer"_s, selected.id);
        fields.insert(u"selectedServerName"_s, selected.countryAndCity());
        send(socket, ControlProtocol::okLine(fields));
        socket->disconnectFromServer();
        return;
    }
    case Request::Command::Select: {
        const ServerLocation *server = ServerLocation::find(request.server);
        if (!server)
            return refuse(socket, u"unknown server '%1'"_s.arg(request.server));
        if (!server->isActive)
            return refuse(socket, u"server '%1' (%2) is offline and cannot be selected"_s.arg(server->id,
                                                                                           server->countryAndCity()));
        m_servers.selectServer(*server);
        if (m_servers.selectedServer().id != server->id)
            return refuse(socket, u"could not select '%1'"_s.arg(server->id));
        send(socket, ControlProtocol::okLine({{u"server"_s, server->id}, {u"serverName"_s, server->countryAndCity()}}));
        socket->disconnectFromServer();
        return;
    }
    case Request::Command::Activate:
        if (m_actions.activate)
            m_actions.activate(request.window);
        send(socket, ControlProtocol::okLine());
        socket->disconnectFromServer();
        return;
    case Request::Command::Connect:
        connectVpn(socket, request);
        return;
    case Request::Command::Disconnect:
        disconnectVpn(socket);
        return;
    }
}

bool ControlServer::connectionIsFree() const
{
    const VPNConnectionState state = m_vpn.connectionState();
    return state.is(VPNConnectionState::Kind::Disconnected)
        || (state.isError() && !m_vpn.activeService().isRecovering());
}

void ControlServer::connectVpn(QLocalSocket *socket, const Request &request)
{
    const ServerLocation *server =
        request.server.isEmpty() ? &m_servers.selectedServer() : ServerLocation::find(request.server);
    if (!server)
        return refuse(socket, u"unknown server '%1'"_s.arg(request.server));
    if (!server->isActive)
        return refuse(socket, u"server '%1' (%2) is offline"_s.arg(server->id, server->countryAndCity()));
    if (request.proxyOnly && (request.protocol != VPNProtocolType::XrayReality || !m_actions.setProxyOnly))
        return refuse(socket, u"proxy-only works with the Xray protocol only"_s);

    if (!connectionIsFree()) {
        // Already connected there: the command line follows that connection.
        const bool same = m_vpn.connectionState().is(VPNConnectionState::Kind::Connected)
            && m_vpn.selectedProtocol() == request.protocol
            && m_vpn.activeService().connectedServerId() == server->id;
        if (!same)
            return refuse(socket, u"Velorin VPN is already %1 (%2, %3); run 'velorin disconnect' first"_s.arg(
                                      ControlProtocol::stateName(m_vpn.connectionState()), m_vpn.serverName(),
                                      VPNProtocol::displayName(m_vpn.selectedProtocol())));
        send(socket, ControlProtocol::okLine({{u"attached"_s, true}}));
        follow(socket, true);
        return;
    }

    send(socket, ControlProtocol::okLine());
    follow(socket, false);
    if (request.protocol == VPNProtocolType::XrayReality && m_actions.setProxyOnly) {
        m_actions.setProxyOnly(request.proxyOnly);
        m_proxyOnlyAsked = request.proxyOnly;
    }
    Log::system(u"🎛️ Control: Connect asked by the command line"_s);
    m_vpn.setSelectedProtocol(request.protocol);
    m_vpn.connect(server->ipAddress, server->id);
}

void ControlServer::disconnectVpn(QLocalSocket *socket)
{
    send(socket, ControlProtocol::okLine());
    follow(socket, true);
    if (m_vpn.connectionState().is(VPNConnectionState::Kind::Disconnected))
        return;
    Log::system(u"🎛️ Control: Disconnect asked by the command line"_s);
    m_vpn.disconnect();
}

void ControlServer::follow(QLocalSocket *socket, bool sendCurrent)
{
    Peer *peer = m_peers.value(socket);
    if (!peer)
        return;
    peer->following = true;
    if (sendCurrent)
        send(socket, stateEvent());
}

QJsonObject ControlServer::currentState() const
{
    const VPNConnectionState state = m_vpn.connectionState();
    std::optional<QString> address;
    if (state.is(VPNConnectionState::Kind::Connected))
        address = m_vpn.activeService().connectedServerIP();
    return ControlProtocol::stateFields(state, m_vpn.serverName(), address);
}

QByteArray ControlServer::stateEvent() const
{
    return ControlProtocol::stateLine(currentState());
}

void ControlServer::connectionStateChanged()
{
    if (m_proxyOnlyAsked && connectionIsFree()) {
        m_proxyOnlyAsked = false;
        m_actions.setProxyOnly(false);
    }
    const QByteArray line = stateEvent();
    for (auto it = m_peers.begin(); it != m_peers.end(); ++it)
        if (it.value()->following)
            send(it.key(), line);
}
