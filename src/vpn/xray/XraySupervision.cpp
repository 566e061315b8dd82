// Supervision of the xray child, the network path monitor and the clean-ups
// at launch and at termination.
#include "vpn/xray/XrayService.h"

#include "platform/Log.h"
#include "platform/PortOwner.h"
#include "platform/SignalNotifier.h"
#include "vpn/xray/SystemProxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <csignal>

using namespace Qt::StringLiterals;

// ---------------------------------------------------------------------------
// The child exits

void XrayService::handleProcessTermination(QProcess *process, int exitCode)
{
    Log::system(u"⚠️ Xray: Process terminated with code "_s + QString::number(exitCode));
    process->deleteLater();
    // Only the current child counts; one that was being stopped, or that an
    // earlier connection left behind, is just logged.
    if (process != m_process)
        return;
    m_process = nullptr;
    if (m_state != VPNConnectionState::connected())
        return;
    handleLoss();
}

void XrayService::handleLoss()
{
    // A child that passes its readiness test and then dies, again and again,
    // would otherwise be restarted for ever: each successful restart starts
    // the attempts afresh. Losses are counted over a window of time instead.
    const qint64 now = m_lossClock.elapsed();
    m_losses.append(now);
    while (!m_losses.isEmpty() && now - m_losses.first() > crashLoopWindowMs)
        m_losses.removeFirst();
    if (m_losses.size() >= maxLossesInWindow) {
        Log::system(u"❌ Xray: Process exited "_s + QString::number(m_losses.size()) + u" times within "_s
                    + QString::number(crashLoopWindowMs / 1000) + u" s — giving up"_s);
        giveUp();
        return;
    }
    Log::system(u"🛡️ Xray: Kill switch active — proxy stays set, attempting reconnect..."_s);
    setState(VPNConnectionState::error(connectionLostMessage));
    attemptReconnect();
}

void XrayService::giveUp()
{
    setState(VPNConnectionState::error(gaveUpMessage));
    m_reconnectAttempts = 0;
    m_losses.clear();
    m_restartTimer.stop();
    ++m_chain;
    // The last restart's child never answered: nothing points at it any
    // more, so it does not stay behind holding the ports.
    if (QProcess *process = m_process.data()) {
        m_process = nullptr;
        ++m_launch;
        stopProcess(process);
    }
    if (m_connectionProxyOnly)
        return;
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    runInBackground([proxy] {
        proxy->restoreSystemProxy();
        Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    });
}

void XrayService::attemptReconnect()
{
    if (m_reconnectAttempts > maxReconnectAttempts - 1) {
        Log::system(u"❌ Xray: Max reconnect attempts ("_s + QString::number(maxReconnectAttempts)
                 + u") reached — giving up"_s);
        giveUp();
        return;
    }
    const int attempt = ++m_reconnectAttempts;
    const int delayMs = 2000 * attempt;
    Log::system(u"🔄 Xray: Reconnect attempt "_s + QString::number(attempt) + u'/'
             + QString::number(maxReconnectAttempts) + u" in "_s + QString::number(delayMs / 1000.0, 'f', 1)
             + u"s..."_s);
    // One pending restart at most: a new schedule replaces an older one.
    m_restartTimer.start(delayMs);
}

void XrayService::relaunchXray()
{
    // A disconnect meanwhile removed the file: the chain ends here.
    if (m_configFilePath.isEmpty())
        return;
    const std::optional<QString> executable = locateXrayBinary();
    if (!executable) {
        attemptReconnect();
        return;
    }
    const quint64 generation = m_generation->load();
    const quint64 chain = m_chain;
    stopRunningChild([this, path = *executable, generation, chain] {
        if (isCurrent(generation) && chain == m_chain && !m_configFilePath.isEmpty())
            launchXray(LaunchKind::Relaunch, path, generation);
    });
}

void XrayService::handleRelaunchResult(bool open, quint64 chain, quint64 generation)
{
    if (!isCurrent(generation) || chain != m_chain)
        return;
    if (!open) {
        attemptReconnect();
        return;
    }
    m_reconnectAttempts = 0;
    setState(VPNConnectionState::connected());
    Log::system(u"✅ Xray: Reconnected successfully"_s);
    // It died between the port test and now (its exit found no connection
    // to lose): lost again at once, so the supervision goes on.
    if (!m_process)
        handleLoss();
}

// ---------------------------------------------------------------------------
// The network path

void XrayService::startNetworkMonitor()
{
    stopNetworkMonitor();
    if (!m_options.pathMonitorFactory)
        return;
    m_monitor = m_options.pathMonitorFactory();
    if (!m_monitor)
        return;
    // Updates arrive on the main thread, where the state they test lives.
    QObject::connect(m_monitor.get(), &PathMonitor::pathUpdated, this, &XrayService::handlePathUpdate,
                     Qt::QueuedConnection);
    m_monitor->start();
    Log::system(u"🌐 Xray: Network monitor started"_s);
}

void XrayService::stopNetworkMonitor()
{
    if (!m_monitor)
        return;
    m_monitor->cancel();
    QObject::disconnect(m_monitor.get(), nullptr, this, nullptr);
    m_monitor.reset();
}

void XrayService::handlePathUpdate(PathMonitor::Status status)
{
    if (status == PathMonitor::Status::Satisfied && m_state == VPNConnectionState::error(connectionLostMessage)) {
        Log::system(u"🌐 Xray: Network restored — triggering reconnect"_s);
        m_reconnectAttempts = 0;
        ++m_chain; // results of the restart under way no longer count
        attemptReconnect();
        return;
    }
    if (status == PathMonitor::Status::Satisfied && m_state == VPNConnectionState::error(networkUnavailableMessage)) {
        // The child kept running while the network was away: if it still
        // answers the connection is back as it was, else restart it.
        const int port = m_options.socksPort;
        const quint64 generation = m_generation->load();
        const QPointer<XrayService> self(this);
        runInBackground([self, port, generation] {
            const bool open = isPortOpen(port);
            postTo(self, [open, generation](XrayService &service) { service.handleNetworkReturn(open, generation); });
        });
        return;
    }
    if (status == PathMonitor::Status::Unsatisfied && m_state == VPNConnectionState::connected()) {
        Log::system(u"🌐 Xray: Network lost"_s);
        setState(VPNConnectionState::error(networkUnavailableMessage));
    }
}

void XrayService::handleNetworkReturn(bool open, quint64 generation)
{
    if (!isCurrent(generation) || m_state != VPNConnectionState::error(networkUnavailableMessage))
        return;
    if (open) {
        Log::system(u"🌐 Xray: Network restored — proxy still answering"_s);
        setState(VPNConnectionState::connected());
        return;
    }
    Log::system(u"🌐 Xray: Network restored — triggering reconnect"_s);
    setState(VPNConnectionState::error(connectionLostMessage));
    m_reconnectAttempts = 0;
    ++m_chain;
    attemptReconnect();
}

bool XrayService::isRecovering() const
{
    return m_state == VPNConnectionState::error(connectionLostMessage)
        || m_state == VPNConnectionState::error(networkUnavailableMessage);
}

void XrayService::recheckConnection()
{
    if (m_state != VPNConnectionState::connected())
        return;
    const int port = m_options.socksPort;
    const qint64 child = xrayProcessId();
    const quint64 generation = m_generation->load();
    const QPointer<XrayService> self(this);
    runInBackground([self, port, child, generation] {
        bool answers = isPortOpen(port);
        if (answers) {
            bool ours = false;
            for (const PortOwner::Listener &listener : PortOwner::listeners(port))
                ours = ours || PortOwner::isHeldBy(listener.inode, child);
            answers = ours;
        }
        postTo(self, [answers, generation](XrayService &service) { service.handleRecheck(answers, generation); });
    });
}

void XrayService::handleRecheck(bool answers, quint64 generation)
{
    if (!isCurrent(generation) || m_state != VPNConnectionState::connected())
        return;
    if (answers) {
        Log::system(u"🌐 Xray: Connection checked — the local proxy answers"_s);
        return;
    }
    Log::system(u"⚠️ Xray: Connection checked — xray no longer answers on its SOCKS port"_s);
    handleLoss();
}

// ---------------------------------------------------------------------------
// Clean-ups

void XrayService::runLaunchCleanup(std::function<void()> done)
{
    // A run that ended without any clean-up (a crash) left its configuration
    // file, with the user's credential, behind.
    QFile::remove(QDir(m_options.configDirectory).filePath(XrayConfigFile::fileName));
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    const QPointer<XrayService> self(this);
    runInBackground([self, proxy, done = std::move(done)] {
        proxy->cleanupStaleProxy();
        if (done)
            postTo(self, [done](XrayService &) { done(); });
    });
}

void XrayService::installTerminationHooks(bool handleTerminationSignal, std::function<void()> quit)
{
    m_quit = quit ? std::move(quit) : [] { QCoreApplication::quit(); };
    if (QCoreApplication *app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, this, &XrayService::handleAppTermination);
    if (!handleTerminationSignal)
        return;
    // SIGHUP (the terminal closed) and SIGQUIT end the application as the
    // termination signal does.
    SignalNotifier &notifier = SignalNotifier::instance();
    bool watching = false;
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT})
        watching = notifier.watch(signal) || watching;
    if (watching)
        QObject::connect(&notifier, &SignalNotifier::received, this, [this](int signal) {
            if (signal == SIGTERM || signal == SIGHUP || signal == SIGQUIT)
                this->handleTerminationSignal();
        });
}

void XrayService::handleAppTermination()
{
    // After the termination signal's clean-up nothing more is owed.
    const bool connected = !m_terminationCleanupDone && m_state == VPNConnectionState::connected()
        && !m_connectionProxyOnly;
    m_proxy->appTerminationCleanup(connected);
    stopNetworkMonitor();
    m_restartTimer.stop();
    nextGeneration();
    // The child's exit is then only logged: no restart is started for it.
    ++m_launch;
    if (QProcess *process = m_process.data()) {
        m_process = nullptr;
        if (process->state() != QProcess::NotRunning)
            process->terminate();
    }
    // The file holds the user's credential; it does not outlive the run.
    if (!m_configFilePath.isEmpty()) {
        QFile::remove(m_configFilePath);
        m_configFilePath.clear();
    }
}

void XrayService::handleTerminationSignal()
{
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    const QPointer<XrayService> self(this);
    runInBackground([self, proxy] {
        proxy->terminationSignalCleanup();
        postTo(self, [](XrayService &service) {
            service.m_terminationCleanupDone = true;
            if (service.m_quit)
                service.m_quit();
        });
    });
}
