// No secret leaks: the whole sign-up, sign-in, session restore, device,
// Xray and WireGuard flows against the development backend, once with the
// real `velorin` program (every diagnostic line on, its standard output and
// error kept) and once with the services in this process (every log line
// captured). The test collects every secret the backend hands out (the
// tokens of each sign-in and refresh, the account's VLESS user id and
// WireGuard private key, its EAP password) and the password it chose, then
// searches for each in every line written (by our programs and by the
// backend), in every argument list that any process showed while the flows
// ran, and in every file under the configuration, cache, data, runtime and
// temporary folders. Only the user-defaults file may hold the tokens (0600 in
// a 0700 folder), and only the live xray configuration file the user id.
#include "Hardening.h"
#include "SecretAudit.h"

#include "platform/Log.h"
#include "support/AccountServices.h"
#include "support/DevServerProcess.h"
#include "support/FakeTools.h"
#include "support/StubServer.h"
#include "vpn/wireguard/WireGuardService.h"
#include "vpn/xray/XrayService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace Hardening;
using ProxyClient::spinUntil;

class TestSecrets : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QTemporaryDir m_serverData;
    std::unique_ptr<DevServerProcess> m_backend;
    std::unique_ptr<CmdlineWatch> m_watch;
    FakeNetworkSetup m_tool;
    FakeXray m_xray;
    SecretAudit m_audit;
    std::unique_ptr<TempDefaults> m_inProcessDefaults;
    int m_socks = 0;
    int m_http = 0;
    const QString m_email = u"leak-check@example.com"_s;
    const QString m_password = u"Tr0ub4dor&3 staple battery"_s;

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString configDir() const { return path(u"config"_s); }
    QString defaultsPath() const { return configDir() + u"/com.velorin.vpn.mac.json"_s; }
    QString xrayConfigFile() const { return path(u"runtime/velorin/kavro_xray_config.json"_s); }

    QStringList environment() const
    {
        return QStringList{u"HOME="_s + path(u"home"_s),
                           u"XDG_CONFIG_HOME="_s + path(u"home/.config"_s),
                           u"XDG_CACHE_HOME="_s + path(u"home/.cache"_s),
                           u"XDG_DATA_HOME="_s + path(u"home/.local/share"_s),
                           u"XDG_RUNTIME_DIR="_s + path(u"runtime"_s),
                           u"TMPDIR="_s + path(u"tmp"_s),
                           u"VELORIN_BACKEND_URL="_s + m_backend->url().toString(),
                           u"VELORIN_PROXY_TOOL="_s + m_tool.toolPath(),
                           u"VELORIN_XRAY_DIR="_s + path(u"libexec"_s),
                           u"VELORIN_XRAY_SOCKS_PORT="_s + QString::number(m_socks),
                           u"VELORIN_XRAY_HTTP_PORT="_s + QString::number(m_http)}
            + m_tool.environment() + m_xray.environment();
    }

    // One `velorin` command with every diagnostic line on; its output goes to the audit.
    ChildProcess::Result velorin(const QStringList &arguments, const QByteArray &input = {})
    {
        const ChildProcess::Result result =
            Run::velorinIn(configDir(), QStringList{u"--verbose"_s} + arguments, input, environment());
        const QString name = u"velorin "_s + arguments.value(0);
        m_audit.addText(name + u" (standard output)"_s, result.out);
        m_audit.addText(name + u" (standard error)"_s, result.err);
        if (result.exitCode != 0)
            qWarning().noquote() << name << "exited" << result.exitCode << result.err;
        return result;
    }

    QString currentAccessToken()
    {
        UserDefaults defaults(defaultsPath());
        FakeKeychain unused;
        return KeychainManager(defaults, unused).retrieveString(KeychainManager::accessTokenKey).value_or(QString());
    }

    QJsonObject getJson(const QString &pathAndQuery, const QString &token)
    {
        return m_backend->send("GET", pathAndQuery, {}, token).json;
    }

private slots:
    void initTestCase()
    {
        for (const char *folder : {"config", "home/.config", "home/.cache", "home/.local/share", "runtime", "tmp", "libexec"})
            QVERIFY(QDir().mkpath(path(QString::fromLatin1(folder))));
        QVERIFY(QFile::setPermissions(path(u"runtime"_s), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(QFile::link(m_xray.executablePath(), path(u"libexec/xray"_s)));
        m_tool.setActiveServices({u"Wi-Fi"_s});
        // Each tool call lasts long enough for the watch to see its arguments.
        m_tool.setDelayMs(40);
        m_socks = StubServer::closedPort();
        do
            m_http = StubServer::closedPort();
        while (m_http == m_socks);
        m_backend = std::make_unique<DevServerProcess>(m_serverData.path(), DevServerProcess::fastArguments());
        QVERIFY2(m_backend->start(), qPrintable(m_backend->errorString()));
        m_audit.addSecret(u"password"_s, m_password);
        m_watch = std::make_unique<CmdlineWatch>();
    }

    void accountFromTheCommandLine()
    {
        const QByteArray password = m_password.toUtf8() + '\n';
        QCOMPARE(velorin({u"register"_s, m_email, u"--password-stdin"_s}, password).exitCode, 0);
        QCOMPARE(velorin({u"verify"_s, m_email, m_backend->lastCode(m_email)}).exitCode, 0);
        m_audit.addTokensFrom(defaultsPath());
        QCOMPARE(velorin({u"logout"_s}).exitCode, 0);
        QCOMPARE(velorin({u"login"_s, m_email, u"--password-stdin"_s}, password).exitCode, 0);
        m_audit.addTokensFrom(defaultsPath());
        // Each of these restores the session first: a refresh, new tokens.
        for (const QString &command : {u"whoami"_s, u"devices"_s, u"whoami"_s}) {
            QCOMPARE(velorin({command}).exitCode, 0);
            m_audit.addTokensFrom(defaultsPath());
        }
        QCOMPARE(m_audit.count(u"access token"_s), 5);
        QCOMPARE(m_audit.count(u"refresh token"_s), 5);

        // The account's connection secrets, as the backend hands them out.
        const QString token = currentAccessToken();
        m_audit.addSecret(u"VLESS uuid"_s, getJson(u"/api/v1/xray/config?server_id=sg-node-01"_s, token).value(u"uuid"_s).toString());
        m_audit.addSecret(u"WireGuard private key"_s,
                          getJson(u"/api/v1/wireguard/config?server_id=sg-node-01"_s, token).value(u"interface_private_key"_s).toString());
        m_audit.addSecret(u"EAP password"_s, getJson(u"/api/v1/ikev2/config?server_id=sg-node-01"_s, token).value(u"password"_s).toString());
        QCOMPARE(m_audit.count(u"VLESS uuid"_s) + m_audit.count(u"WireGuard"_s) + m_audit.count(u"EAP"_s), 3);
    }

    void connectionsFromTheCommandLine()
    {
        auto run = Run::velorin({u"--config-dir"_s, configDir(), u"--verbose"_s, u"connect"_s, u"--protocol"_s, u"xray"_s,
                                 u"sg-node-01"_s},
                                environment());
        QVERIFY2(run->waitForOut(u"connected to Singapore"_s), qPrintable(run->all()));
        // The credential's one place while connected: 0600 in a 0700 folder.
        QCOMPARE(modeOf(xrayConfigFile()), mode_t(0600));
        QCOMPARE(modeOf(QFileInfo(xrayConfigFile()).absolutePath()), mode_t(0700));
        QFile file(xrayConfigFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(secretsIn(file.readAll(), m_audit.secrets()), QStringList{u"VLESS uuid"_s});
        run->signal(SIGINT);
        QVERIFY(run->waitForExit());
        QCOMPARE(run->exitCode(), 0);
        QVERIFY(!QFileInfo::exists(xrayConfigFile()));
        m_audit.addText(u"velorin connect --protocol xray (standard output)"_s, run->out());
        m_audit.addText(u"velorin connect --protocol xray (standard error)"_s, run->err());
        QVERIFY(run->err().contains(u"✅ Xray: Config written to "_s));

        const auto wireguard = velorin({u"connect"_s, u"--protocol"_s, u"wireguard"_s, u"sg-node-01"_s});
        QCOMPARE(wireguard.exitCode, 1);
        QVERIFY2(wireguard.out.endsWith(u"error: "_s + WireGuardService::notYetMessage + u'\n'), qPrintable(wireguard.out));
        QVERIFY(wireguard.err.contains(u"✅ WireGuard: Config loaded"_s));
        m_audit.addTokensFrom(defaultsPath());
    }

    // The same flows through the services in this process.
    void flowsInThisProcess()
    {
        Log::Capture log;
        m_inProcessDefaults = std::make_unique<TempDefaults>();
        FakeKeychain keychain;
        const QString base = m_backend->url().toString();
        {
            AccountServices app(*m_inProcessDefaults, keychain, base);
            QCoro::waitFor(app.auth.login(m_email, m_password));
            QVERIFY(app.auth.authState().isAuthenticated());
            m_audit.addTokensFrom(m_inProcessDefaults->standardPath());
            QCoro::waitFor(app.devices.fetchDevices());
            QVERIFY(!app.devices.devices().isEmpty());
        }
        m_inProcessDefaults->restart();
        AccountServices next(*m_inProcessDefaults, keychain, base);
        QCoro::waitFor(next.auth.restoreSession());
        QVERIFY(next.auth.authState().isAuthenticated());
        m_audit.addTokensFrom(m_inProcessDefaults->standardPath());

        m_tool.apply();
        m_xray.apply();
        XrayService::Options options;
        options.endpoints = Endpoints::at(base);
        options.proxyToolPath = m_tool.toolPath();
        options.bundledXrayPaths = {m_xray.executablePath()};
        options.configDirectory = path(u"runtime/in-process"_s);
        options.socksPort = m_socks;
        options.httpPort = m_http;
        {
            XrayService xray(next.tokens, m_inProcessDefaults->standard(), options);
            xray.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
            QVERIFY(spinUntil([&] { return xray.connectionState() == VPNConnectionState::connected(); }, 15000));
            xray.disconnect();
            QVERIFY(spinUntil([&] { return xray.connectionState() == VPNConnectionState::disconnected(); }, 15000));
        }
        QThreadPool::globalInstance()->waitForDone();
        FakeXray::unapply();
        FakeNetworkSetup::unapply();

        WireGuardService wireguard(next.tokens, Endpoints::at(base));
        wireguard.connect(std::nullopt, u"sg-node-01"_s);
        QVERIFY(spinUntil([&] { return wireguard.connectionState().isError(); }));
        QCOMPARE(wireguard.connectionState().errorMessage(), WireGuardService::notYetMessage);

        QVERIFY(log.contains(u"✅ Xray: Connected via 203.0.113.10:443"_s));
        m_audit.addLines(u"log line in this process"_s, log.lines());
        QVERIFY(m_audit.count(u"access token"_s) >= 7);
    }

    void noSecretShowsAnywhere()
    {
        m_watch->stop();
        QVERIFY(m_backend->stop());
        m_audit.addText(u"velorin-devserver (standard output)"_s, m_backend->output());
        m_audit.addText(u"velorin-devserver (standard error)"_s, m_backend->errorOutput());

        // The watch saw the children it had to see: the xray child with only
        // its three arguments, and the proxy tool's calls.
        const QStringList commandLines = m_watch->seen();
        QVERIFY2(commandLines.contains(path(u"libexec/xray run -c "_s) + xrayConfigFile()), qPrintable(commandLines.join(u'\n')));
        QVERIFY(commandLines.contains(m_tool.toolPath() + u" -setsocksfirewallproxystate Wi-Fi on"_s));
        QVERIFY(commandLines.contains(m_tool.toolPath() + u" -setsocksfirewallproxystate Wi-Fi off"_s));

        QStringList findings = m_audit.textFindings() + m_audit.commandLineFindings(commandLines);
        const QStringList folders{m_root.path(), m_inProcessDefaults->dir(), qEnvironmentVariable("HOME")};
        QMap<QString, QStringList> allowed;
        const QStringList tokens{u"access token"_s, u"refresh token"_s};
        allowed.insert(QFileInfo(defaultsPath()).absoluteFilePath(), tokens);
        allowed.insert(QFileInfo(m_inProcessDefaults->standardPath()).absoluteFilePath(), tokens);
        int files = 0;
        findings += m_audit.fileFindings(folders, allowed, &files);
        QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
        // The search finds what it looks for: a line cut off in the middle
        // of a token shows it.
        SecretAudit planted = m_audit;
        const Secret token = m_audit.secrets().constLast();
        planted.addText(u"planted"_s, u"📄 Raw response: {\"refresh_token\":\""_s + token.value.left(20));
        QCOMPARE(planted.textFindings().size(), 1);
        // The files that must hold the tokens do.
        QFile stored(defaultsPath());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(!secretsIn(stored.readAll(), m_audit.secrets()).isEmpty());
        qInfo("%lld secrets searched for in %d lines of output, %lld argument lists (%d looks at /proc) and %d files: none found",
              qint64(m_audit.secrets().size()), m_audit.lineCount(), qint64(commandLines.size()), m_watch->samples(), files);
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
