#include "vpn/xray/XrayService.h"

#include "model/JsonReader.h"
#include "platform/Log.h"
#include "platform/MainThread.h"
#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"
#include "vpn/ConfigRequest.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayBinary.h"
#include "vpn/xray/XrayChild.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QDateTime>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

int portFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue(name, &ok);
    return ok && port > 0 && port < 65536 ? port : fallback;
}

} // namespace

// ---------------------------------------------------------------------------
// Construction

XrayService::Options XrayService::Options::fromBuild()
{
    Options options;
    options.endpoints = Endpoints::fromBuild();
    const QString tool = qEnvironmentVariable("VELORIN_PROXY_TOOL");
    options.proxyToolPath = tool.isEmpty() ? QStringLiteral(VELORIN_PROXY_TOOL) : tool;
    const QString folder = qEnvironmentVariable("VELORIN_XRAY_DIR");
    if (!folder.isEmpty()) {
        options.bundledXrayPaths = {QDir(folder).filePath(u"xray"_s)};
    } else {
        const QDir app(QCoreApplication::applicationDirPath());
        options.bundledXrayPaths = {app.filePath(u"xray"_s),
                                    QDir::cleanPath(app.filePath(u"../libexec/velorin/xray"_s)),
                                    QStringLiteral(VELORIN_INSTALL_PREFIX "/libexec/velorin/xray")};
        options.bundledXrayPaths.removeDuplicates();
    }
    options.systemXrayPaths = XrayBinary::systemCandidates(qEnvironmentVariable("PATH"));
    options.xrayPathOverride = qEnvironmentVariable(xrayPathVariable);
    options.proxyBackendOverride = qEnvironmentVariable(ProxyBackends::overrideVariable);
    options.currentDesktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    options.desktopSession = qEnvironmentVariable("DESKTOP_SESSION");
    options.pathMonitorFactory = QtPathMonitor::factory();
    options.configDirectory = XrayConfigFile::defaultDirectory();
    options.socksPort = portFromEnvironment("VELORIN_XRAY_SOCKS_PORT", defaultSocksPort);
    options.httpPort = portFromEnvironment("VELORIN_XRAY_HTTP_PORT", defaultHttpPort);
    return options;
}

XrayService::XrayService(KeychainManager &keychain, UserDefaults &defaults, Options options, QObject *parent)
    : VPNServiceProtocol(parent)
    , m_keychain(keychain)
    , m_defaults(defaults)
    , m_options(std::move(options))
    , m_proxy(std::make_shared<SystemProxy>(defaults, proxyChoice(m_options, defaults),
                                            ProxyEndpoints{u"127.0.0.1"_s, m_options.socksPort, m_options.httpPort},
                                            m_options.proxyToolPath))
{
    // The client's own requests never go through the proxy it points the
    // system at: they would loop through xray, and fail while it restarts.
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_lossClock.start();
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_restartTimer, &QTimer::timeout, this, &XrayService::relaunchXray);
}

XrayService::~XrayService()
{
    // A child of a service that goes away (tests) must not outlive it.
    if (m_process) {
        QObject::disconnect(m_process, nullptr, this, nullptr);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

ProxyChoice XrayService::proxyChoice(const Options &options, UserDefaults &defaults)
{
    const QFileInfo tool(options.proxyToolPath);
    return ProxyBackends::choose({options.proxyBackendOverride,
                                  defaults.string(ProxyBackends::settingKey).value_or(QString()),
                                  options.currentDesktop, options.desktopSession,
                                  !options.proxyToolPath.isEmpty() && tool.isFile() && tool.isExecutable()});
}

QStringList XrayService::activeNetworkServices() const
{
    return m_proxy->activeNetworkServices();
}

qint64 XrayService::xrayProcessId() const
{
    return m_process && m_process->state() != QProcess::NotRunning ? m_process->processId() : 0;
}

// ---------------------------------------------------------------------------
// Published state

void XrayService::setState(const VPNConnectionState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit connectionStateChanged(m_state);
}

void XrayService::setServerName(const QString &name)
{
    if (m_serverName == name)
        return;
    m_serverName = name;
    emit serverNameChanged(m_serverName);
}

void XrayService::setConnectedServer(const std::optional<QString> &id, const std::optional<QString> &ip)
{
    if (m_connectedServerId != id) {
        m_connectedServerId = id;
        emit connectedServerIdChanged(m_connectedServerId);
    }
    if (m_connectedServerIP != ip) {
        m_connectedServerIP = ip;
        emit connectedServerIPChanged(m_connectedServerIP);
    }
}

void XrayService::runInBackground(std::function<void()> job)
{
    QThreadPool::globalInstance()->start(std::move(job));
}

void XrayService::postTo(const QPointer<XrayService> &self, std::function<void(XrayService &)> fn)
{
    // `self` was made on the main thread and is only read there.
    auto deliver = [self, fn = std::move(fn)] {
        if (self)
            fn(*self);
    };
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(deliver), Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// Connect

void XrayService::connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId)
{
    m_selectedServerIP = serverIP;
    m_selectedServerId = serverId;
    Log::system(u"🔮 Xray: Connect requested → server_id: "_s + serverId.value_or(u"default"_s));
    // A new connect supersedes whatever the previous one left pending.
    const quint64 generation = nextGeneration();
    m_restartTimer.stop();
    ++m_chain;
    m_restarts.reset();
    if (m_reply)
        m_reply->abort();
    setState(VPNConnectionState::connecting());
    m_connectionProxyOnly = m_proxyOnly;
    checkProxyStore(generation);
}

void XrayService::failConnect(const QString &message)
{
    Log::system(u"❌ Xray: Connect failed: "_s + message);
    setState(VPNConnectionState::error(message));
}

void XrayService::checkProxyStore(quint64 generation)
{
    if (m_connectionProxyOnly) {
        Log::system(u"🔍 Xray: Proxy-only — the system proxy settings are left alone"_s);
        checkExecutable(generation);
        return;
    }
    const ProxyChoice &choice = m_proxy->choice();
    Log::system(u"🔍 Xray: System proxy back-end: "_s
                + (choice.id.isEmpty() ? u"none"_s : ProxyBackends::labelOf(choice.id, m_options.proxyToolPath))
                + u" — "_s + choice.reason);
    // Asking the store may wait for a restore still under way: not here.
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    const QPointer<XrayService> self(this);
    runInBackground([self, proxy, generation] {
        const QString reason = proxy->unavailableReason();
        postTo(self, [reason, generation](XrayService &service) {
            if (!service.isCurrent(generation))
                return;
            if (!reason.isEmpty())
                service.failConnect(reason);
            else
                service.checkExecutable(generation);
        });
    });
}

void XrayService::checkExecutable(quint64 generation)
{
    const std::optional<QString> path = locateXrayBinary();
    if (!path) {
        const bool fromVariable = !m_options.xrayPathOverride.isEmpty();
        const QString overridePath = fromVariable ? m_options.xrayPathOverride
                                                  : m_defaults.string(xrayPathKey).value_or(QString());
        failConnect(overridePath.isEmpty() ? XrayBinary::missingMessage()
                        : XrayBinary::missingMessage(fromVariable ? QString::fromLatin1(xrayPathVariable)
                                                                  : QString(u"the setting "_s + xrayPathKey),
                                                     overridePath));
        return;
    }
    // One `xray version` per installed file: a new or replaced file is asked again.
    const QFileInfo info(*path);
    const QString key = *path + u'|' + QString::number(info.size()) + u'|'
        + QString::number(info.lastModified().toMSecsSinceEpoch());
    if (const auto verdict = m_versionVerdicts.constFind(key); verdict != m_versionVerdicts.cend()) {
        handleVersionAnswer(*path, key, verdict->isEmpty() ? std::nullopt : std::optional<QString>(*verdict),
                            generation);
        return;
    }
    auto *process = new QProcess(this);
    process->setProgram(*path);
    process->setArguments({u"version"_s});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto *timer = new QTimer(process);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, process, [process] { process->kill(); });
    QObject::connect(process, &QProcess::finished, this,
                     [this, process, path = *path, key, generation](int exitCode, QProcess::ExitStatus status) {
                         process->deleteLater();
                         const std::optional<QString> problem = status == QProcess::NormalExit
                             ? XrayBinary::problemWithVersion(path, process->readAll(), exitCode)
                             : XrayBinary::notRunnableMessage(path, u"it ended without answering “xray version”"_s);
                         handleVersionAnswer(path, key, problem, generation);
                     });
    QObject::connect(process, &QProcess::errorOccurred, this,
                     [this, process, path = *path, generation](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         Log::system(u"❌ Xray: Failed to launch: "_s + process->errorString());
                         // Not remembered: the file may be fixed before the next connect.
                         if (isCurrent(generation))
                             failConnect(XrayBinary::notRunnableMessage(path, process->errorString()));
                     });
    timer->start(m_options.versionTimeoutMs);
    process->start();
}

void XrayService::handleVersionAnswer(const QString &path, const QString &key, const std::optional<QString> &problem,
                                      quint64 generation)
{
    m_versionVerdicts.insert(key, problem.value_or(QString()));
    if (!isCurrent(generation))
        return;
    if (problem) {
        failConnect(*problem);
        return;
    }
    m_xrayPath = path;
    fetchXrayConfig(generation);
}

void XrayService::fetchXrayConfig(quint64 generation)
{
    const auto fail = [this] { setState(VPNConnectionState::error(fetchFailedMessage)); };
    const std::optional<QString> token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::system(u"❌ Xray: No auth token"_s);
        fail();
        return;
    }
    const std::optional<QUrl> url = ConfigRequest::url(apiBaseURL(), ApiPath::xrayConfig, m_selectedServerId);
    if (!url) {
        fail();
        return;
    }
    Log::system(u"🔄 Xray: Fetching config from API..."_s);
    QNetworkReply *reply = ConfigRequest::get(m_network, ConfigRequest::make(*url, *token, false));
    m_reply = reply;
    QObject::connect(reply, &QNetworkReply::finished, this,
                     [this, reply, generation] { handleConfigReply(reply, generation); });
}

void XrayService::handleConfigReply(QNetworkReply *reply, quint64 generation)
{
    reply->deleteLater();
    if (reply == m_reply)
        m_reply = nullptr;
    if (!isCurrent(generation))
        return;
    const auto fail = [this] { setState(VPNConnectionState::error(fetchFailedMessage)); };
    const ConfigRequest::Result result = ConfigRequest::read(*reply);
    if (result.kind == ConfigRequest::Result::Kind::TransportError) {
        Log::system(u"❌ Xray: API error: "_s + result.errorDescription);
        fail();
        return;
    }
    if (result.kind != ConfigRequest::Result::Kind::Http || result.status != 200 || result.body.isEmpty()) {
        Log::system(u"❌ Xray: Bad response"_s);
        fail();
        return;
    }
    QString decodeError;
    const std::optional<XrayConfigResponse> config = tryDecodeBody<XrayConfigResponse>(result.body, &decodeError);
    if (!config) {
        Log::system(u"❌ Xray: Decode error: "_s + decodeError);
        fail();
        return;
    }
    Log::system(u"✅ Xray: Config loaded — Server: "_s + config->serverAddress);
    continueWithConfig(*config, generation);
}

void XrayService::continueWithConfig(const XrayConfigResponse &config, quint64 generation)
{
    m_config = config;
    if (!writeXrayConfig(config)) {
        setState(VPNConnectionState::error(writeFailedMessage));
        return;
    }
    // A child still running from an earlier attempt (one whose port never
    // opened, say) holds the ports: stop it before the new one starts.
    stopRunningChild([this, path = m_xrayPath, generation] {
        if (isCurrent(generation))
            checkPortsThenLaunch(path, generation);
    });
}

void XrayService::checkPortsThenLaunch(const QString &executable, quint64 generation)
{
    const QList<int> ports{m_options.socksPort, m_options.httpPort};
    const QPointer<XrayService> self(this);
    runInBackground([self, ports, executable, generation] {
        const QString taken = XrayChild::portsTakenReason(ports);
        postTo(self, [taken, executable, generation](XrayService &service) {
            if (!service.isCurrent(generation))
                return;
            if (!taken.isEmpty())
                service.failConnect(taken);
            else
                service.launchXray(LaunchKind::Connect, executable, generation);
        });
    });
}

std::optional<QString> XrayService::writeXrayConfig(const XrayConfigResponse &config)
{
    const QByteArray bytes =
        XrayConfigFile::serialise(XrayConfigFile::build(config, m_options.socksPort, m_options.httpPort));
    const XrayConfigFile::WriteResult result = XrayConfigFile::write(m_options.configDirectory, bytes);
    if (result.path.isEmpty()) {
        Log::system(u"❌ Xray: Failed to write config: "_s + result.error);
        return std::nullopt;
    }
    m_configFilePath = result.path;
    Log::system(u"✅ Xray: Config written to "_s + result.path);
    return result.path;
}

std::optional<QString> XrayService::locateXrayBinary() const
{
    // A named executable is used or missed, never passed over for another.
    const QString named = !m_options.xrayPathOverride.isEmpty() ? m_options.xrayPathOverride
                                                                : m_defaults.string(xrayPathKey).value_or(QString());
    if (!named.isEmpty()) {
        if (!QFileInfo(named).isFile())
            return std::nullopt;
        Log::system(u"🔍 Xray: Using the configured binary at "_s + named);
        return named;
    }
    for (const QString &path : m_options.bundledXrayPaths)
        if (QFileInfo(path).isFile())
            return path;
    Log::system(u"❌ Xray: Binary not found in app bundle"_s);
    for (const QString &path : m_options.systemXrayPaths) {
        const QFileInfo file(path);
        if (file.isFile() && file.isExecutable()) {
            Log::system(u"⚠️ Xray: Using the system's binary at "_s + path);
            return path;
        }
    }
    return std::nullopt;
}

void XrayService::launchXray(LaunchKind kind, const QString &executable, quint64 generation)
{
    Q_ASSERT(MainThread::isCurrent()); // the child's parent-death request is tied to this thread
    const quint64 launch = ++m_launch;
    QProcess *process = XrayChild::create(this, executable, m_configFilePath);
    QObject::connect(process, &QProcess::finished, this,
                     [this, process](int exitCode, QProcess::ExitStatus) { handleProcessTermination(process, exitCode); });
    QObject::connect(process, &QProcess::errorOccurred, this,
                     [this, process, kind, launch, generation](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             handleLaunchFailure(process, kind, launch, generation);
                     });
    m_process = process;
    process->start();
    if (launch != m_launch)
        return; // failed at once
    QTimer::singleShot(m_options.readinessDelayMs, this, [this, kind, launch, generation] {
        if (launch == m_launch && isCurrent(generation))
            testReadiness(kind, launch, generation);
    });
}

void XrayService::handleLaunchFailure(QProcess *process, LaunchKind kind, quint64 launch, quint64 generation)
{
    Log::system(u"❌ Xray: Failed to launch: "_s + process->errorString());
    if (m_process == process)
        m_process = nullptr;
    process->deleteLater();
    if (launch != m_launch || !isCurrent(generation))
        return;
    ++m_launch;
    if (kind == LaunchKind::Connect)
        setState(VPNConnectionState::error(startFailedMessage));
    else
        attemptReconnect();
}

void XrayService::testReadiness(LaunchKind kind, quint64 launch, quint64 generation)
{
    const int port = m_options.socksPort;
    const qint64 child = xrayProcessId();
    const bool setProxy = kind == LaunchKind::Connect && !m_connectionProxyOnly;
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    const std::shared_ptr<std::atomic<quint64>> current = m_generation;
    const quint64 chain = m_chain;
    const QPointer<XrayService> self(this);
    runInBackground([self, kind, launch, generation, port, child, setProxy, proxy, current, chain] {
        const XrayChild::Readiness probe = XrayChild::probe(port, child);
        Readiness result;
        result.open = probe.open;
        result.impostor = probe.impostor;
        // The proxies are set once per connection, here, before the state
        // says connected; a restart finds them still set.
        if (result.open && result.impostor.isEmpty() && setProxy) {
            const SystemProxy::Outcome outcome =
                proxy->setSystemProxy([current, generation] { return current->load() == generation; });
            result.proxySet = outcome.set;
            result.proxyError = outcome.error;
        }
        postTo(self, [kind, result, launch, generation, chain](XrayService &service) {
            if (launch != service.m_launch)
                return;
            if (kind == LaunchKind::Connect)
                service.handleLaunchResult(result, generation);
            else
                service.handleRelaunchResult(result.open && result.impostor.isEmpty(), chain, generation);
        });
    });
}

void XrayService::handleLaunchResult(const Readiness &result, quint64 generation)
{
    if (!isCurrent(generation))
        return;
    if (!result.open) {
        // The child is left running; a disconnect or the next connect stops it.
        setState(VPNConnectionState::error(startFailedMessage));
        return;
    }
    if (!result.impostor.isEmpty()) {
        abandonConnect(result.impostor);
        return;
    }
    if (!m_connectionProxyOnly && !result.proxySet) {
        // Nothing says connected: what the set changed was put back.
        abandonConnect(result.proxyError.isEmpty() ? u"The system proxy could not be set."_s : result.proxyError);
        return;
    }
    markConnected(*m_config);
    // The child answered the port test and died while the proxies were
    // being set: its exit found the state still connecting and did nothing.
    // It is a loss like any other, not a connection without a child.
    if (!m_process)
        handleLoss();
}

void XrayService::markConnected(const XrayConfigResponse &config)
{
    setConnectedServer(m_selectedServerId, config.serverAddress);
    setServerName(config.displayNameOrLocation());
    setState(VPNConnectionState::connected());
    m_restarts.resetAttempts();
    startNetworkMonitor();
    Log::system(u"✅ Xray: Connected via "_s + config.serverAddress + u':' + QString::number(config.serverPort));
}

void XrayService::abandonConnect(const QString &message)
{
    if (QProcess *process = m_process.data()) {
        m_process = nullptr;
        ++m_launch;
        XrayChild::stop(process);
    }
    if (!m_configFilePath.isEmpty()) {
        QFile::remove(m_configFilePath);
        m_configFilePath.clear();
    }
    failConnect(message);
}

// ---------------------------------------------------------------------------
// Disconnect

void XrayService::disconnect()
{
    Log::system(u"🔮 Xray: Disconnect requested"_s);
    stopNetworkMonitor();
    m_restarts.reset();
    const quint64 generation = nextGeneration();
    m_restartTimer.stop();
    ++m_chain;
    ++m_launch;
    if (m_reply)
        m_reply->abort();
    setState(VPNConnectionState::disconnecting());

    // The child stops at once; until the proxies are restored below, traffic
    // through them fails rather than leaving unprotected.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        XrayChild::stop(m_process);
        Log::system(u"✅ Xray: Process terminated"_s);
    }
    m_process = nullptr;
    if (!m_configFilePath.isEmpty()) {
        QFile::remove(m_configFilePath);
        m_configFilePath.clear();
    }

    // The tool calls block; they run on a worker and the state finishes here.
    // A proxy-only connection changed no setting.
    const std::shared_ptr<SystemProxy> proxy = m_proxy;
    const bool restore = !m_connectionProxyOnly;
    const QPointer<XrayService> self(this);
    runInBackground([self, proxy, restore, generation] {
        if (restore)
            proxy->restoreSystemProxy();
        postTo(self, [generation](XrayService &service) { service.finishDisconnect(generation); });
    });
}

void XrayService::finishDisconnect(quint64 generation)
{
    // A connect made meanwhile owns the state now.
    if (!isCurrent(generation))
        return;
    setState(VPNConnectionState::disconnected());
    setServerName(u"Not Connected"_s);
    setConnectedServer(std::nullopt, std::nullopt);
    Log::system(u"✅ Xray: Disconnected"_s);
}

// ---------------------------------------------------------------------------
// Child processes

void XrayService::stopRunningChild(std::function<void()> then)
{
    QProcess *process = m_process;
    if (!process || process->state() == QProcess::NotRunning) {
        then();
        return;
    }
    m_process = nullptr;
    ++m_launch;
    QObject::connect(process, &QProcess::finished, this, [then = std::move(then)] { then(); },
                     Qt::SingleShotConnection);
    XrayChild::stop(process);
}
