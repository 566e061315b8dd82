#include "vpn/VPNServiceManager.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "vpn/ConnectionLock.h"
#include "vpn/VPNServiceProtocol.h"

#include <utility>

using namespace Qt::StringLiterals;

VPNServiceManager::VPNServiceManager(UserDefaults &defaults, ServiceProvider services, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_services(std::move(services))
{
    m_mirrorTimer.setInterval(1000);
    m_mirrorTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_mirrorTimer, &QTimer::timeout, this, &VPNServiceManager::mirrorTick);

    // Whatever "vpnProtocol" holds, a start is always on IKEv2.
    m_selectedProtocol = VPNProtocolType::IKEv2;
    bindActiveService();
    Log::system(u"🎛️ VPNServiceManager: Initialized with IKEv2 (Recommended)"_s);
}

VPNServiceManager::~VPNServiceManager() = default;

void VPNServiceManager::setSelectedProtocol(VPNProtocolType protocol)
{
    m_defaults.set(protocolKey, VPNProtocol::rawValue(protocol));
    const bool changed = m_selectedProtocol != protocol;
    m_selectedProtocol = protocol;
    if (changed)
        emit selectedProtocolChanged(m_selectedProtocol);
    bindActiveService();
}

void VPNServiceManager::bindActiveService()
{
    for (const QMetaObject::Connection &subscription : std::as_const(m_subscriptions))
        QObject::disconnect(subscription);
    m_subscriptions.clear();
    m_mirrorTimer.stop();

    // The previously active service is neither stopped nor told.
    m_activeService = &m_services(m_selectedProtocol);

    const bool proxy = m_activeService->isProxyBased();
    if (m_isProxyMode != proxy) {
        m_isProxyMode = proxy;
        emit isProxyModeChanged(m_isProxyMode);
    }

    // Delivered on this (main) thread whatever thread the service emits from.
    // A state still queued from a service that is no longer active is dropped.
    VPNServiceProtocol *service = m_activeService;
    m_subscriptions.append(QObject::connect(
        service, &VPNServiceProtocol::connectionStateChanged, this,
        [this, service](const VPNConnectionState &state) {
            if (service == m_activeService)
                setConnectionState(state);
        },
        Qt::QueuedConnection));
    m_mirrorTimer.start();

    setConnectionState(m_activeService->connectionState());
    setServerName(m_activeService->serverName());
}

void VPNServiceManager::mirrorTick()
{
    setServerName(m_activeService->serverName());
    if (m_activeService->protocolType() != VPNProtocolType::XrayReality)
        return;
    const auto id = m_activeService->connectedServerId();
    if (id != m_connectedServerId) {
        m_connectedServerId = id;
        emit connectedServerIdChanged(m_connectedServerId);
    }
    const auto ip = m_activeService->connectedServerIP();
    if (ip != m_connectedServerIP) {
        m_connectedServerIP = ip;
        emit connectedServerIPChanged(m_connectedServerIP);
    }
}

void VPNServiceManager::setConnectionState(const VPNConnectionState &state)
{
    if (m_connectionState == state)
        return;
    m_connectionState = state;
    connectionStateSettled();
    emit connectionStateChanged(m_connectionState);
}

bool VPNServiceManager::holdsConnection() const
{
    if (m_connectionState.is(VPNConnectionState::Kind::Disconnected))
        return false;
    return !m_connectionState.isError() || m_activeService->isRecovering();
}

// A connection that is over gives back the lock and stops watching the machine.
void VPNServiceManager::connectionStateSettled()
{
    if (holdsConnection())
        return;
    if (m_lock)
        m_lock->release();
    m_pathMonitor.reset();
    m_resumeMonitor.reset();
    m_lastPath.reset();
}

void VPNServiceManager::setConnectionLock(std::unique_ptr<ConnectionLock> lock)
{
    m_lock = std::move(lock);
}

void VPNServiceManager::watchSystemEvents(PathMonitorFactory paths, ResumeMonitorFactory resumes)
{
    m_pathMonitors = std::move(paths);
    m_resumeMonitors = std::move(resumes);
}

void VPNServiceManager::pathUpdated(PathMonitor::Status status)
{
    // The first report is the path as it is now, not a change.
    const std::optional<PathMonitor::Status> previous = std::exchange(m_lastPath, status);
    if (previous && *previous != status && status == PathMonitor::Status::Satisfied)
        recheckConnection(u"the network changed"_s);
}

void VPNServiceManager::recheckConnection(const QString &reason)
{
    if (m_connectionState.is(VPNConnectionState::Kind::Disconnected))
        return;
    Log::system(u"🎛️ VPNServiceManager: Checking the connection ("_s + reason + u')');
    m_activeService->recheckConnection();
}

void VPNServiceManager::setServerName(const QString &name)
{
    if (m_serverName == name)
        return;
    m_serverName = name;
    emit serverNameChanged(m_serverName);
}

void VPNServiceManager::connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId)
{
    Log::system(u"🎛️ VPNServiceManager: Connect via "_s + VPNProtocol::shortName(m_selectedProtocol));
    if (m_lock) {
        if (const auto held = m_lock->acquire()) {
            Log::system(u"🎛️ VPNServiceManager: "_s + *held);
            setConnectionState(VPNConnectionState::error(*held));
            return;
        }
    }
    if (m_pathMonitors && !m_pathMonitor) {
        m_pathMonitor = m_pathMonitors();
        if (m_pathMonitor) {
            QObject::connect(m_pathMonitor.get(), &PathMonitor::pathUpdated, this, &VPNServiceManager::pathUpdated,
                             Qt::QueuedConnection);
            m_pathMonitor->start();
        }
    }
    if (m_resumeMonitors && !m_resumeMonitor) {
        m_resumeMonitor = m_resumeMonitors();
        if (m_resumeMonitor)
            QObject::connect(m_resumeMonitor.get(), &ResumeMonitor::resumed, this,
                             [this] { recheckConnection(u"the computer woke from sleep"_s); });
    }
    m_activeService->connect(serverIP, serverId);
}

void VPNServiceManager::disconnect()
{
    Log::system(u"🎛️ VPNServiceManager: Disconnect"_s);
    m_activeService->disconnect();
}

void VPNServiceManager::switchProtocol(VPNProtocolType to)
{
    if (to != VPNProtocolType::IKEv2) {
        Log::system(u"⚠️ VPNServiceManager: "_s + VPNProtocol::displayName(to) + u" not available on this build"_s);
        return;
    }
    if (m_selectedProtocol == VPNProtocolType::IKEv2)
        return;
    using Kind = VPNConnectionState::Kind;
    const Kind kind = m_connectionState.kind();
    if (kind == Kind::Connected || kind == Kind::Connecting || kind == Kind::Disconnecting || kind == Kind::Reconnecting)
        m_activeService->disconnect();
    Log::system(u"🎛️ VPNServiceManager: Switching from "_s + VPNProtocol::shortName(m_selectedProtocol) + u" → IKEv2"_s);
    setSelectedProtocol(VPNProtocolType::IKEv2);
}
