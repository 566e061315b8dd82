#pragma once

#include "model/VPNConnectionState.h"
#include "model/VPNProtocolType.h"
#include "platform/PathMonitor.h"
#include "platform/ResumeMonitor.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class ConnectionLock;
class UserDefaults;
class VPNServiceProtocol;

// The one object the interface drives to connect and disconnect, whatever the
// protocol. It keeps exactly one protocol service active, forwards connect and
// disconnect to it and mirrors its state, server name and (for the proxy
// service) the connected server into its own properties.
class VPNServiceManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(VPNProtocolType selectedProtocol READ selectedProtocol WRITE setSelectedProtocol NOTIFY selectedProtocolChanged)
    Q_PROPERTY(VPNConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(QString serverName READ serverName NOTIFY serverNameChanged)
    Q_PROPERTY(bool isProxyMode READ isProxyMode NOTIFY isProxyModeChanged)

public:
    static inline const QString protocolKey = QStringLiteral("vpnProtocol");

    // Returns the service for a protocol, creating it on first use. The
    // services outlive the manager.
    using ServiceProvider = std::function<VPNServiceProtocol &(VPNProtocolType)>;

    VPNServiceManager(UserDefaults &defaults, ServiceProvider services, QObject *parent = nullptr);
    ~VPNServiceManager() override;

    VPNProtocolType selectedProtocol() const { return m_selectedProtocol; }
    // Any assignment is stored and re-binds the active service.
    void setSelectedProtocol(VPNProtocolType protocol);

    VPNConnectionState connectionState() const { return m_connectionState; }
    QString serverName() const { return m_serverName; }
    bool isProxyMode() const { return m_isProxyMode; }
    std::optional<QString> connectedServerId() const { return m_connectedServerId; }
    std::optional<QString> connectedServerIP() const { return m_connectedServerIP; }
    VPNServiceProtocol &activeService() const { return *m_activeService; }

    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId);
    void disconnect();
    // The protocol change the settings offer: only IKEv2 is accepted.
    void switchProtocol(VPNProtocolType to);

    // Every connect first takes this lock and ends in an error, naming the
    // holder, when another process holds it; the lock is let go once the
    // connection is over (disconnected, or an error the service does not
    // recover from by itself).
    void setConnectionLock(std::unique_ptr<ConnectionLock> lock);
    // While a connection is held (from a connect until it is over), a wake
    // from sleep and a return or change of the network path lead to
    // recheckConnection(). The monitors exist only meanwhile.
    void watchSystemEvents(PathMonitorFactory paths, ResumeMonitorFactory resumes);
    // Asks the active service to check its connection now.
    void recheckConnection(const QString &reason);

signals:
    void selectedProtocolChanged(VPNProtocolType protocol);
    void connectionStateChanged(const VPNConnectionState &state);
    void serverNameChanged(const QString &name);
    void isProxyModeChanged(bool isProxyMode);
    void connectedServerIdChanged(const std::optional<QString> &id);
    void connectedServerIPChanged(const std::optional<QString> &ip);

private:
    void bindActiveService();
    void mirrorTick();
    void setConnectionState(const VPNConnectionState &state);
    void setServerName(const QString &name);
    bool holdsConnection() const;
    void connectionStateSettled();
    void pathUpdated(PathMonitor::Status status);

    UserDefaults &m_defaults;
    ServiceProvider m_services;
    VPNServiceProtocol *m_activeService = nullptr;
    QList<QMetaObject::Connection> m_subscriptions;
    QTimer m_mirrorTimer;

    VPNProtocolType m_selectedProtocol = VPNProtocolType::IKEv2;
    VPNConnectionState m_connectionState = VPNConnectionState::disconnected();
    QString m_serverName = QStringLiteral("Not Connected");
    bool m_isProxyMode = false;
    std::optional<QString> m_connectedServerId;
    std::optional<QString> m_connectedServerIP;

    std::unique_ptr<ConnectionLock> m_lock;
    PathMonitorFactory m_pathMonitors;
    ResumeMonitorFactory m_resumeMonitors;
    std::unique_ptr<PathMonitor> m_pathMonitor;
    std::unique_ptr<ResumeMonitor> m_resumeMonitor;
    std::optional<PathMonitor::Status> m_lastPath;
};
