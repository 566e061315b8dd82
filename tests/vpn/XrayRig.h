#pragma once

// A fresh XrayService wired to a stub VPN API, the fake xray executable, the
// recording fake proxy tool, fake path monitors and throw-away settings, on
// free local ports.

#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakePathMonitor.h"
#include "support/FakeTools.h"
#include "support/ProxyClient.h"
#include "support/StubServer.h"
#include "support/TempDefaults.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayChild.h"
#include "vpn/xray/XrayService.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <csignal>

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
        server.on("GET", u"/api/v1/xray/config"_s, StubServer::Response::json(200, QJsonDocument(configBody()).toJson()));
        server.on("GET", u"/hello"_s, StubServer::Response::text(200, "hello through the proxy"));
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
