// No secret leaks: the account, Xray and WireGuard flows against the
// development backend, with the `velorin` program (every diagnostic line on)
// and with the services in this process. Every secret handed out and the
// password must not show in any line written, any process's argument list
// or any file of the user's folders; only the user-defaults file may hold the
// tokens, and only the live xray configuration file the user id.
#include "Hardening.h"
#include "SecretAudit.h"

#include "support/AccountServices.h"
#include "support/DevServerProcess.h"
#include "support/XrayRig.h"
#include "vpn/wireguard/WireGuardService.h"

using namespace Qt::StringLiterals;
using namespace Hardening;
using ProxyClient::spinUntil;

// The fixture's folders, tool and xray, with the development backend in
// place of its stub (a later setting wins).
class TestSecrets : public QObject, protected CliXrayFixture
{
    Q_OBJECT

    QTemporaryDir m_serverData;
    std::unique_ptr<DevServerProcess> m_backend;
    std::unique_ptr<CmdlineWatch> m_watch;
    SecretAudit m_audit;
    std::unique_ptr<TempDefaults> m_inProcessDefaults;
    const QString m_email = u"leak-check@example.com"_s;
    const QString m_password = u"Tr0ub4dor&3 staple battery"_s;

    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    QStringList environment() const
    {
        return CliXrayFixture::environment(m_backend->url().toString())
            + QStringList{u"HOME="_s + path(u"home"_s),
                          u"XDG_CONFIG_HOME="_s + path(u"home/.config"_s),
                          u"XDG_CACHE_HOME="_s + path(u"home/.cache"_s),
                          u"XDG_DATA_HOME="_s + path(u"home/.local/share"_s),
                          u"TMPDIR="_s + path(u"tmp"_s)};
    }

    // One `velorin --verbose` command; its output goes to the audit.
    ChildProcess::Result velorin(const QStringList &arguments, const QByteArray &input = {})
    {
        const ChildProcess::Result result =
            ProgramRun::velorinIn(configDir(), QStringList{u"--verbose"_s} + arguments, input, environment());
        const QString name = u"velorin "_s + arguments.value(0);
        m_audit.addOutput(name, result.out, result.err);
        if (result.exitCode != 0)
            qWarning().noquote() << name << "exited" << result.exitCode << result.err;
        return result;
    }

    QJsonObject getJson(const QString &pathAndQuery, const QString &token)
    {
        return m_backend->send("GET", pathAndQuery, {}, token).json;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(setUpXrayRun(false));
        for (const char *folder : {"home/.config", "home/.cache", "home/.local/share", "tmp"})
            QVERIFY(QDir().mkpath(path(QString::fromLatin1(folder))));
        m_tool->setActiveServices({u"Wi-Fi"_s});
        // Long enough for the watch to see each call's arguments.
        m_tool->setDelayMs(40);
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

        UserDefaults defaults(defaultsPath());
        FakeKeychain unused;
        const QString token = KeychainManager(defaults, unused).retrieveString(KeychainManager::accessTokenKey).value_or(QString());
        m_audit.addSecret(u"VLESS uuid"_s, getJson(u"/api/v1/xray/config?server_id=sg-node-01"_s, token).value(u"uuid"_s).toString());
        m_audit.addSecret(u"WireGuard private key"_s,
                          getJson(u"/api/v1/wireguard/config?server_id=sg-node-01"_s, token).value(u"interface_private_key"_s).toString());
        m_audit.addSecret(u"EAP password"_s, getJson(u"/api/v1/ikev2/config?server_id=sg-node-01"_s, token).value(u"password"_s).toString());
        QCOMPARE(m_audit.count(u"VLESS uuid"_s) + m_audit.count(u"WireGuard"_s) + m_audit.count(u"EAP"_s), 3);
    }

    void connectionsFromTheCommandLine()
    {
        auto run = ProgramRun::velorin({u"--config-dir"_s, configDir(), u"--verbose"_s, u"connect"_s, u"--protocol"_s, u"xray"_s,
                                 u"sg-node-01"_s},
                                environment());
        QVERIFY2(run->waitForOut(u"connected to Singapore"_s), qPrintable(run->all()));
        QCOMPARE(modeOf(configFile()), mode_t(0600));
        QCOMPARE(modeOf(QFileInfo(configFile()).absolutePath()), mode_t(0700));
        QFile file(configFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(secretsIn(file.readAll(), m_audit.secrets()), QStringList{u"VLESS uuid"_s});
        run->signal(SIGINT);
        QVERIFY(run->waitForExit());
        QCOMPARE(run->exitCode(), 0);
        QVERIFY(!QFileInfo::exists(configFile()));
        m_audit.addOutput(u"velorin connect --protocol xray"_s, run->out(), run->err());
        QVERIFY(run->err().contains(u"✅ Xray: Config written to "_s));

        const auto wireguard = velorin({u"connect"_s, u"--protocol"_s, u"wireguard"_s, u"sg-node-01"_s});
        QCOMPARE(wireguard.exitCode, 1);
        QVERIFY2(wireguard.out.endsWith(u"error: "_s + WireGuardService::notYetMessage + u'\n'), qPrintable(wireguard.out));
        QVERIFY(wireguard.err.contains(u"✅ WireGuard: Config loaded"_s));
        m_audit.addTokensFrom(defaultsPath());
    }

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

        m_tool->apply();
        m_xray->apply();
        XrayService::Options options;
        options.endpoints = Endpoints::at(base);
        options.proxyToolPath = m_tool->toolPath();
        options.bundledXrayPaths = {m_xray->executablePath()};
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
        m_audit.addOutput(u"velorin-devserver"_s, m_backend->output(), m_backend->errorOutput());

        // The watch saw the xray child with only its three arguments, and the
        // proxy tool's calls.
        const QStringList commandLines = m_watch->seen();
        QVERIFY2(commandLines.contains(path(u"libexec/xray run -c "_s) + configFile()), qPrintable(commandLines.join(u'\n')));
        QVERIFY(commandLines.contains(m_tool->toolPath() + u" -setsocksfirewallproxystate Wi-Fi on"_s));
        QVERIFY(commandLines.contains(m_tool->toolPath() + u" -setsocksfirewallproxystate Wi-Fi off"_s));

        int files = 0;
        const QStringList findings =
            m_audit.findings(commandLines, {m_dir->path(), m_inProcessDefaults->dir(), qEnvironmentVariable("HOME")},
                             {defaultsPath(), m_inProcessDefaults->standardPath()}, &files);
        QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
        // The search finds a token in a line cut off in its middle.
        SecretAudit planted = m_audit;
        const Secret token = m_audit.secrets().constLast();
        planted.addText(u"planted"_s, u"📄 Raw response: {\"refresh_token\":\""_s + token.value.left(20));
        QCOMPARE(planted.textFindings().size(), 1);
        // The file that must hold the tokens does.
        QFile stored(defaultsPath());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(!secretsIn(stored.readAll(), m_audit.secrets()).isEmpty());
        qInfo("%lld secrets searched for in %d lines of output, %lld argument lists (%d looks at /proc) and %d files: none found",
              qint64(m_audit.secrets().size()), m_audit.lineCount(), qint64(commandLines.size()), m_watch->samples(), files);
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
