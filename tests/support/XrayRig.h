#pragma once

// The Xray service's surroundings, in this process (XrayTest::Rig) or for a
// `velorin` run (CliXrayFixture): the stub VPN API, the fake xray, the
// recording fake proxy tool, throw-away settings and two free local ports.

#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakePathMonitor.h"
#include "support/FakeTools.h"
#include "support/ProgramRun.h"
#include "support/ProxyClient.h"
#include "support/StubServer.h"
#include "support/TempDefaults.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayChild.h"
#include "vpn/xray/XrayService.h"

#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace XrayTest {

using namespace Qt::StringLiterals;
using ProxyClient::spinUntil;

inline const QString kUuid = QStringLiteral("0b7c3f4e-5a61-4d2b-9c8e-1f2a3b4c5d6e");

inline QJsonObject configBody()
{
    return QJsonObject{
        {u"server_address"_s, u"203.0.113.10"_s}, {u"server_port"_s, 443},
        {u"uuid"_s, kUuid},                       {u"public_key"_s, u"pUbLiCkEy"_s},
        {u"short_id"_s, u"6ba85179e30d4fc2"_s},   {u"server_name"_s, u"www.example.com"_s},
        {u"server_location"_s, u"Singapore, SG"_s}, {u"flow"_s, u"xtls-rprx-vision"_s},
        {u"fingerprint"_s, u"chrome"_s},          {u"display_name"_s, u"Singapore"_s},
    };
}

inline QStringList restoreCalls()
{
    return proxyOffCalls(u"Wi-Fi"_s) + proxyOffCalls(u"Ethernet"_s);
}

// What an Xray connect fetches, and a page to fetch through the proxy.
inline void serveXray(StubServer &server)
{
    server.on("GET", u"/api/v1/xray/config"_s, StubServer::Response::json(200, QJsonDocument(configBody()).toJson()));
    server.on("GET", u"/hello"_s, StubServer::Response::text(200, "hello through the proxy"));
}

struct Rig
{
    TempDefaults defaults;
    FakeKeychain keychainBackend;
    KeychainManager keychain{defaults.standard(), keychainBackend};
    StubServer server;
    FakeNetworkSetup tool;
    FakeXray xray;
    FakePathMonitors monitors;
    QTemporaryDir work;
    int socksPort = StubServer::closedPort();
    int httpPort = 0;
    XrayService::Options options;
    std::unique_ptr<XrayService> service;
    QList<VPNConnectionState> states;

    Rig()
    {
        do
            httpPort = StubServer::closedPort();
        while (httpPort == socksPort);
        options.endpoints = Endpoints::at(server.baseUrl());
        options.proxyToolPath = tool.toolPath();
        options.bundledXrayPaths = {xray.executablePath()};
        options.pathMonitorFactory = monitors.factory();
        options.configDirectory = work.filePath(u"private"_s);
        options.socksPort = socksPort;
        options.httpPort = httpPort;
        keychain.save(u"vat_test-token"_s, KeychainManager::accessTokenKey);
        tool.setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        serveXray(server);
    }

    ~Rig()
    {
        service.reset();
        // The service's workers end before the settings and the tool go away.
        QThreadPool::globalInstance()->waitForDone();
        FakeXray::unapply();
        FakeNetworkSetup::unapply();
    }

    XrayService &make()
    {
        tool.apply();
        xray.apply();
        service = std::make_unique<XrayService>(keychain, defaults.standard(), options);
        QObject::connect(service.get(), &VPNServiceProtocol::connectionStateChanged, service.get(),
                         [this](const VPNConnectionState &state) { states.append(state); });
        return *service;
    }

    QString configPath() const { return options.configDirectory + u"/kavro_xray_config.json"_s; }

    bool waitForState(const VPNConnectionState &state, int timeoutMs = 5000)
    {
        return spinUntil([&] { return service->connectionState() == state; }, timeoutMs);
    }
    bool waitForError(const QString &message, int timeoutMs = 5000)
    {
        return waitForState(VPNConnectionState::error(message), timeoutMs);
    }

    bool connectNow()
    {
        service->connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        return waitForState(VPNConnectionState::connected(), 10000);
    }

    void killChild() { ::kill(pid_t(service->xrayProcessId()), SIGKILL); }

    bool trafficFlows() const
    {
        return ProxyClient::getThroughSocks(socksPort, server.port()).endsWith("hello through the proxy");
    }
};

} // namespace XrayTest

// For `velorin connect --protocol xray`: a private runtime folder and the fake
// xray where the lookup finds it. Tests derive and call setUpXrayRun() in init().
class CliXrayFixture
{
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StubServer> m_server;
    std::unique_ptr<FakeNetworkSetup> m_tool;
    std::unique_ptr<FakeXray> m_xray;
    int m_socks = 0;
    int m_http = 0;

    // Signed in with a token, unless `signedIn` is false.
    bool setUpXrayRun(bool signedIn = true)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<StubServer>();
        m_tool = std::make_unique<FakeNetworkSetup>();
        m_xray = std::make_unique<FakeXray>();
        m_socks = StubServer::closedPort();
        do
            m_http = StubServer::closedPort();
        while (m_http == m_socks);
        QDir().mkpath(configDir());
        QDir().mkpath(runtimeDir());
        ::chmod(QFile::encodeName(runtimeDir()).constData(), 0700);
        QDir().mkpath(m_dir->filePath(QStringLiteral("libexec")));
        if (!QFile::link(m_xray->executablePath(), m_dir->filePath(QStringLiteral("libexec/xray"))))
            return false;
        m_tool->setActiveServices({QStringLiteral("Wi-Fi"), QStringLiteral("Ethernet")});
        XrayTest::serveXray(*m_server);
        if (signedIn) {
            UserDefaults defaults(defaultsPath());
            FakeKeychain keychain;
            KeychainManager(defaults, keychain).save(QStringLiteral("vat_test-token"), KeychainManager::accessTokenKey);
        }
        return true;
    }

    QString configDir() const { return m_dir->filePath(QStringLiteral("config")); }
    QString runtimeDir() const { return m_dir->filePath(QStringLiteral("runtime")); }
    QString defaultsPath() const { return configDir() + QStringLiteral("/com.velorin.vpn.mac.json"); }
    QString configFile() const { return runtimeDir() + QStringLiteral("/velorin/kavro_xray_config.json"); }

    // The backend is the stub VPN API unless another is given.
    QStringList environment(const QString &backendUrl = {}) const
    {
        const QString backend = backendUrl.isEmpty() ? m_server->baseUrl() : backendUrl;
        return QStringList{QStringLiteral("VELORIN_BACKEND_URL=") + backend,
                           QStringLiteral("VELORIN_PROXY_TOOL=") + m_tool->toolPath(),
                           QStringLiteral("VELORIN_XRAY_DIR=") + m_dir->filePath(QStringLiteral("libexec")),
                           QStringLiteral("VELORIN_XRAY_SOCKS_PORT=") + QString::number(m_socks),
                           QStringLiteral("VELORIN_XRAY_HTTP_PORT=") + QString::number(m_http),
                           QStringLiteral("XDG_RUNTIME_DIR=") + runtimeDir()}
            + m_tool->environment() + m_xray->environment();
    }

    // In the background; `env` empty: environment().
    std::unique_ptr<ProgramRun> velorin(const QStringList &arguments, const QStringList &env = {}) const
    {
        return ProgramRun::velorin(QStringList{QStringLiteral("--config-dir"), configDir()} + arguments,
                                   env.isEmpty() ? environment() : env);
    }

    ChildProcess::Result status(const QStringList &env = {}) const
    {
        return ProgramRun::velorinIn(configDir(), {QStringLiteral("status")}, {}, env.isEmpty() ? environment() : env);
    }

    // A new start of the Xray service in this process: its launch clean-up
    // over whatever an earlier run left.
    bool cleanUpByANewService()
    {
        m_tool->apply();
        bool done = false;
        {
            UserDefaults defaults(defaultsPath());
            FakeKeychain keychainBackend;
            KeychainManager keychain(defaults, keychainBackend);
            XrayService::Options options;
            options.proxyToolPath = m_tool->toolPath();
            options.configDirectory = runtimeDir() + QStringLiteral("/velorin");
            XrayService next(keychain, defaults, options);
            next.runLaunchCleanup([&] { done = true; });
            ProxyClient::spinUntil([&] { return done; }, 15000);
        }
        QThreadPool::globalInstance()->waitForDone();
        FakeNetworkSetup::unapply();
        return done;
    }
};
