#pragma once

#include "backend/Endpoints.h"
#include "platform/PathMonitor.h"
#include "vpn/VPNServiceProtocol.h"
#include "vpn/xray/ProxyBackend.h"
#include "vpn/xray/XrayConfig.h"
#include "vpn/xray/XrayRestartPolicy.h"

#include <QElapsedTimer>
#include <QHash>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class KeychainManager;
class QNetworkReply;
class SystemProxy;
class UserDefaults;

// The Xray Reality protocol service.
//
// A connect first makes sure it can finish: the desktop has a proxy store
// the client can write (see ProxyBackends; not needed in proxy-only mode),
// and an xray that can speak VLESS with REALITY is installed. Then it fetches
// the user's VLESS/Reality parameters from the VPN API, writes the xray
// configuration file into a private folder, checks that no other program
// holds the local ports, starts the xray executable as a child ("run -c
// FILE"), tests its local SOCKS port one second later and, when it answers
// and the listener is the child's own, points the system proxies at the
// child's SOCKS and HTTP ports. A step that fails ends the connect in the
// error state with the reason, after undoing what the steps before it did. While connected, the child is supervised: when
// it exits the proxies stay set (the traffic fails instead of leaking: the
// kill switch) and the child is restarted after 2, 4 and 6 seconds; after the
// third failed restart (or the fifth loss of a connected child within five
// minutes: a crash loop) the child is stopped, the proxies are restored and
// the state tells the user to reconnect. A network path monitor reports loss
// and return of the network.
//
// Threads: every published property, the child process, the reconnect
// counter and all decisions live on the main thread. The one-second readiness
// tests and the proxy-tool calls run on the global thread pool and hand their
// results back to the main thread; disconnect() therefore returns at once and
// finishes ("disconnected") when the proxies are restored. The list of proxied
// services is guarded inside SystemProxy.
//
// Every asynchronous step carries the number of the connect or disconnect it
// belongs to; a step whose connection has been superseded does nothing.
// The parts: XrayChild (the child process and its readiness test),
// XrayRestartPolicy (when to restart, when to give up), XrayConfigFile (the
// private configuration file), SystemProxy (the desktop's proxy settings).
// Diagnostic lines go to the system log, as the other protocol services' do.
class XrayService : public VPNServiceProtocol
{
    Q_OBJECT

public:
    // Error texts of the published state.
    static inline const QString fetchFailedMessage = QStringLiteral("Failed to fetch Xray config");
    static inline const QString writeFailedMessage = QStringLiteral("Failed to write config");
    static inline const QString startFailedMessage = QStringLiteral("Xray process failed to start");
    static inline const QString connectionLostMessage = QStringLiteral("Connection lost — reconnecting...");
    static inline const QString gaveUpMessage = QStringLiteral("Connection failed — please reconnect manually");
    static inline const QString networkUnavailableMessage = QStringLiteral("Network unavailable — waiting...");

    static constexpr int defaultSocksPort = 10808;
    static constexpr int defaultHttpPort = 10809;
    static constexpr int defaultReadinessDelayMs = 1000;
    static constexpr int maxReconnectAttempts = XrayRestartPolicy::maxAttempts;
    static constexpr int maxLossesInWindow = XrayRestartPolicy::maxLossesInWindow;
    static constexpr qint64 crashLoopWindowMs = XrayRestartPolicy::windowMs;

    // What the service is wired to, besides the token store and the defaults.
    struct Options
    {
        Endpoints endpoints;
        // The proxy tool ("/usr/sbin/networksetup" in a normal build); its
        // presence chooses it as the proxy back-end.
        QString proxyToolPath;
        // What else chooses the back-end (see ProxyBackends::choose):
        // VELORIN_PROXY_BACKEND, XDG_CURRENT_DESKTOP and DESKTOP_SESSION.
        QString proxyBackendOverride;
        QString currentDesktop;
        QString desktopSession;
        // An xray named by VELORIN_XRAY_PATH; it wins over the setting
        // xrayPathKey, which wins over the lookup below.
        QString xrayPathOverride;
        // Where the executable named "xray" is looked for first, in order
        // (the application's own resource folders).
        QStringList bundledXrayPaths;
        // Then the system's: $PATH, /usr/local/bin, /usr/bin.
        QStringList systemXrayPaths;
        // How long `xray version` may take.
        int versionTimeoutMs = 5000;
        PathMonitorFactory pathMonitorFactory;
        // The private folder of the configuration file (see XrayConfigFile).
        QString configDirectory;
        int socksPort = defaultSocksPort;
        int httpPort = defaultHttpPort;
        // How long after a start the SOCKS port is tested. One second in the
        // application; the memory benchmark shortens it to run hundreds of
        // connect/disconnect cycles in seconds.
        int readinessDelayMs = defaultReadinessDelayMs;

        // The build's values: the endpoints of Endpoints::fromBuild(), the
        // proxy tool of the build (VELORIN_PROXY_TOOL in the environment
        // replaces it), the back-end inputs from the environment, the
        // executable next to the program or in <prefix>/libexec/velorin
        // (VELORIN_XRAY_DIR in the environment names another folder), then on
        // the system, the Qt path monitor, the default private folder, and
        // the ports 10808/10809 (VELORIN_XRAY_SOCKS_PORT and
        // VELORIN_XRAY_HTTP_PORT replace them, for development setups).
        static Options fromBuild();
    };

    // The user-defaults key naming the xray executable, and the variable
    // that wins over it.
    static inline const QString xrayPathKey = QStringLiteral("xrayExecutablePath");
    static inline const char *const xrayPathVariable = "VELORIN_XRAY_PATH";

    XrayService(KeychainManager &keychain, UserDefaults &defaults, Options options, QObject *parent = nullptr);

    // The proxy back-end these options and settings choose.
    static ProxyChoice proxyChoice(const Options &options, UserDefaults &defaults);
    ~XrayService() override;


    // VPNServiceProtocol
    VPNConnectionState connectionState() const override { return m_state; }
    VPNProtocolType protocolType() const override { return VPNProtocolType::XrayReality; }
    QString serverName() const override { return m_serverName; }
    void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) override;
    void disconnect() override;
    std::optional<QString> connectedServerId() const override { return m_connectedServerId; }
    std::optional<QString> connectedServerIP() const override { return m_connectedServerIP; }
    // While connected: the readiness test again (the SOCKS port answers, from
    // our child). A connection that fails it is lost: the kill switch holds
    // and the restarts begin.
    void recheckConnection() override;
    // Restarting a lost child, or waiting for the network.
    bool isRecovering() const override;

    std::optional<QString> selectedServerId() const { return m_selectedServerId; }
    std::optional<QString> selectedServerIP() const { return m_selectedServerIP; }
    QString configFilePath() const { return m_configFilePath; }
    int reconnectAttempts() const { return m_restarts.attempts(); }
    int socksPort() const { return m_options.socksPort; }
    int httpPort() const { return m_options.httpPort; }
    QString apiBaseURL() const { return m_options.endpoints.vpnApiHostURL; }
    // The services whose proxies this run set.
    QStringList activeNetworkServices() const;
    // Proxy-only: connects leave the system proxy settings alone; the local
    // ports are for the user's own programs. Takes effect at the next connect.
    void setProxyOnly(bool proxyOnly) { m_proxyOnly = proxyOnly; }
    bool proxyOnly() const { return m_proxyOnly; }
    // The running child's process id, 0 when none runs.
    qint64 xrayProcessId() const;
    bool hasNetworkMonitor() const { return m_monitor != nullptr; }

    // Steps of the pipeline, callable on their own.
    // The override (variable, then setting) when one is given, else the
    // first of the bundled paths that exists, else the first executable of
    // the system's paths (with their log lines), else nothing.
    std::optional<QString> locateXrayBinary() const;
    // Writes the file for `config`; its path, or nothing after a logged failure.
    std::optional<QString> writeXrayConfig(const XrayConfigResponse &config);

    // The proxy control, for the clean-ups below and for inspection.
    SystemProxy &systemProxy() const { return *m_proxy; }

    // Deletes a configuration file a previous run left behind and restores,
    // on a worker thread, the proxies it left set; `done` (optional) runs on
    // the main thread afterwards.
    void runLaunchCleanup(std::function<void()> done = {});
    // Connects application termination and the termination signal to the
    // handlers below. `quit` ends the application after the signal's
    // clean-up (QCoreApplication::quit when empty).
    void installTerminationHooks(bool handleTerminationSignal, std::function<void()> quit = {});
    // At application termination (main thread, blocks for the quiet tool
    // calls): restores the proxies when a restore is owed, stops the child and
    // deletes the configuration file.
    void handleAppTermination();
    // On the termination signal (main thread, outside signal context): the
    // quiet restore runs on a worker thread, then the application quits.
    void handleTerminationSignal();

signals:
    void serverNameChanged(const QString &name);
    void connectedServerIdChanged(const std::optional<QString> &id);
    void connectedServerIPChanged(const std::optional<QString> &ip);

private:
    enum class LaunchKind { Connect, Relaunch };

    // Pipeline (XrayService.cpp)
    void checkProxyStore(quint64 generation);
    void checkExecutable(quint64 generation);
    void handleVersionAnswer(const QString &path, const QString &key, const std::optional<QString> &problem,
                             quint64 generation);
    void fetchXrayConfig(quint64 generation);
    void handleConfigReply(QNetworkReply *reply, quint64 generation);
    void continueWithConfig(const XrayConfigResponse &config, quint64 generation);
    // Checks that no other program holds the local ports, then launches.
    void checkPortsThenLaunch(const QString &executable, quint64 generation);
    void launchXray(LaunchKind kind, const QString &executable, quint64 generation);
    void handleLaunchFailure(QProcess *process, LaunchKind kind, quint64 launch, quint64 generation);
    void testReadiness(LaunchKind kind, quint64 launch, quint64 generation);
    struct Readiness
    {
        bool open = false;
        // Set when the port answers but the listener is not our child's.
        QString impostor;
        // The system proxy set after a connect's readiness test.
        bool proxySet = false;
        QString proxyError;
    };
    void handleLaunchResult(const Readiness &result, quint64 generation);
    // Ends a connect that cannot go on: stops the child, removes the file
    // and publishes the error.
    void abandonConnect(const QString &message);
    void failConnect(const QString &message);
    void markConnected(const XrayConfigResponse &config);
    void finishDisconnect(quint64 generation);

    // Child processes
    // Stops the running child, if any, and calls `then` once it has exited.
    void stopRunningChild(std::function<void()> then);

    // Supervision (XraySupervision.cpp)
    void handleProcessTermination(QProcess *process, int exitCode);
    // The connected child is gone: the kill switch holds, restarts follow
    // (or, in a crash loop, the end).
    void handleLoss();
    void attemptReconnect();
    // Ends the supervision: the state tells the user to reconnect, the child
    // is stopped and the proxies are restored.
    void giveUp();
    void relaunchXray();
    void handleRelaunchResult(bool open, quint64 chain, quint64 generation);
    void startNetworkMonitor();
    void stopNetworkMonitor();
    void handlePathUpdate(PathMonitor::Status status);
    void handleNetworkReturn(bool open, quint64 generation);
    void handleRecheck(bool answers, quint64 generation);

    void setState(const VPNConnectionState &state);
    void setServerName(const QString &name);
    void setConnectedServer(const std::optional<QString> &id, const std::optional<QString> &ip);
    bool isCurrent(quint64 generation) const { return generation == m_generation->load(); }
    quint64 nextGeneration() { return ++*m_generation; }
    // Runs `job` on the global thread pool.
    static void runInBackground(std::function<void()> job);
    // Queues `fn` on the main thread, where it runs only while the service
    // still exists. `self` must have been made on the main thread.
    static void postTo(const QPointer<XrayService> &self, std::function<void(XrayService &)> fn);

    KeychainManager &m_keychain;
    UserDefaults &m_defaults;
    const Options m_options;
    std::shared_ptr<SystemProxy> m_proxy;
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;

    VPNConnectionState m_state;
    QString m_serverName = QStringLiteral("Not Connected");
    std::optional<QString> m_connectedServerId;
    std::optional<QString> m_connectedServerIP;
    std::optional<QString> m_selectedServerId;
    std::optional<QString> m_selectedServerIP;
    bool m_proxyOnly = false;
    // Whether the current connection's connect was proxy-only.
    bool m_connectionProxyOnly = false;
    QString m_xrayPath;
    // `xray version` verdicts by path, size and time of change: the problem,
    // empty when it passed.
    QHash<QString, QString> m_versionVerdicts;
    std::optional<XrayConfigResponse> m_config;
    QString m_configFilePath;
    QPointer<QProcess> m_process;
    std::unique_ptr<PathMonitor> m_monitor;

    // Number of the current connect or disconnect; workers read it to skip
    // work for a connection that has gone.
    std::shared_ptr<std::atomic<quint64>> m_generation = std::make_shared<std::atomic<quint64>>(0);
    // Number of the current launch; a readiness test of an older one is dropped.
    quint64 m_launch = 0;
    // Number of the current reconnect chain; a network return starts a new one.
    quint64 m_chain = 0;
    XrayRestartPolicy m_restarts;
    QTimer m_restartTimer;
    // The clock of the losses the restart policy counts.
    QElapsedTimer m_lossClock;

    bool m_terminationCleanupDone = false;
    std::function<void()> m_quit;
};
