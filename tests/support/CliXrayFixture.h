#pragma once

#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakeTools.h"
#include "support/ProgramRun.h"
#include "support/StubServer.h"
#include "vpn/xray/XrayService.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThreadPool>

#include <memory>
#include <sys/stat.h>

// What a `velorin connect --protocol xray` run needs: settings, a private
// runtime folder, the fake xray where the lookup finds it, the stub VPN API,
// the fake proxy tool with two services and two free ports. Tests derive
// from it and call setUpXrayRun() in their init().
class CliXrayFixture
{
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StubServer> m_server;
    std::unique_ptr<FakeNetworkSetup> m_tool;
    std::unique_ptr<FakeXray> m_xray;
    int m_socks = 0;
    int m_http = 0;

    bool setUpXrayRun()
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

    static QByteArray xrayConfigBody(const QString &uuid)
    {
        return R"({"server_address":"203.0.113.10","server_port":443,"uuid":")" + uuid.toUtf8()
            + R"(","public_key":"k","short_id":"6ba8","server_name":"www.example.com",)"
              R"("server_location":"Singapore, SG","flow":"xtls-rprx-vision","fingerprint":"chrome",)"
              R"("display_name":"Singapore"})";
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
