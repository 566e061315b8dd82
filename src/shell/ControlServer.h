#pragma once

#include "vpn/ControlProtocol.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;
class ServerManager;
class VPNServiceManager;

// The application's control socket: the command line's `connect`,
// `disconnect`, `status` and `select`, and a second start's request to show a
// window, carried out by the application's own services (so its screens
// follow). See ControlProtocol for the conversation.
//
// Every connection is checked: a peer of another user is refused, a line
// longer than the limit or one that is not a request this version knows is
// answered with an error and the connection closed, and a connection that
// sends nothing is closed after a while. Nothing here runs unless a client
// connects: no timers while idle. Main thread only.
class ControlServer : public QObject
{
    Q_OBJECT
public:
    struct Actions
    {
        // Brings "main" (the main window) or "settings" forward.
        std::function<void(const QString &window)> activate;
        // The proxy service's proxy-only switch; empty: proxy-only is refused.
        std::function<void(bool)> setProxyOnly;
    };

    static constexpr int maxClients = 16;
    static constexpr int firstRequestTimeoutMs = 10000;
    // A client that stops reading is dropped once this much waits for it.
    static constexpr qint64 maxPendingBytes = 64 * 1024;

    ControlServer(VPNServiceManager &vpn, ServerManager &servers, Actions actions, QObject *parent = nullptr);
    ~ControlServer() override;

    // Listens at `path` (only the user may connect), replacing a socket file
    // that a run which died left behind: the caller holds the instance lock,
    // so no live application owns it. An error text when it cannot.
    std::optional<QString> listen(const QString &path);
    QString path() const;

private:
    struct Peer;
    void accept();
    void read(QLocalSocket *socket);
    void handle(QLocalSocket *socket, const QByteArray &line);
    void send(QLocalSocket *socket, const QByteArray &line);
    void refuse(QLocalSocket *socket, const QString &message);
    void connectVpn(QLocalSocket *socket, const ControlProtocol::Request &request);
    void disconnectVpn(QLocalSocket *socket);
    void follow(QLocalSocket *socket, bool sendCurrent);
    QJsonObject currentState() const;
    QByteArray stateEvent() const;
    bool connectionIsFree() const;
    void connectionStateChanged();
    void dropped(QLocalSocket *socket);

    VPNServiceManager &m_vpn;
    ServerManager &m_servers;
    Actions m_actions;
    QLocalServer *m_server;
    QHash<QLocalSocket *, Peer *> m_peers;
    // A proxy-only connect asked for here; the switch goes back off once that
    // connection is over, so the application's own next connect is normal.
    bool m_proxyOnlyAsked = false;
};
