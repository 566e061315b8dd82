// IKEv2 against real daemons (scripts/ikev2-lab.sh), for two hardening
// concerns:
//  - no secret leaks: the connect and disconnect run once through the
//    services in this process (every log line captured) and once with the
//    real `velorin` program (every diagnostic line on), under a private
//    Secret Service for the EAP password; the password, the tokens and the
//    EAP password must not show in any line, in any argument list of any
//    process (charon's included) or in any file of the client's folders;
//  - the client charon dying while the tunnel is up: the client ends
//    disconnected at once, a new connect ends in a clear error, nothing hangs.
// Needs root (network namespaces, two charon daemons); skipped without it.
#include "Hardening.h"
#include "SecretAudit.h"

#include "platform/Log.h"
#include "platform/StrongSwanVpn.h"
#include "platform/ViciClient.h"
#include "support/AccountServices.h"
#include "support/DevServerProcess.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace Hardening;
using ProxyClient::spinUntil;

namespace {

const QString kServerId = u"sg-node-01"_s;

std::optional<ViciClient::Reply> vici(const QString &socket, const QByteArray &command, const Vici::Message &arguments)
{
    ViciClient client(socket);
    std::optional<ViciClient::Reply> answer;
    client.call(command, arguments, [&answer](const ViciClient::Reply &reply) { answer = reply; });
    if (!QTest::qWaitFor([&answer]() { return answer.has_value(); }, 10000))
        qWarning("no answer to %s", command.constData());
    return answer;
}

// The process whose argument list satisfies `match`; 0 when none.
qint64 findProcess(const std::function<bool(const QString &)> &match)
{
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile file(u"/proc/"_s + entry + u"/cmdline"_s);
        if (!isPid || !file.open(QIODevice::ReadOnly))
            continue;
        if (match(QString::fromUtf8(file.readAll().replace('\0', ' '))))
            return pid;
    }
    return 0;
}

} // namespace

class TestIKEv2LabHardening : public QObject
{
    Q_OBJECT

    QMap<QString, QString> m_lab;
    QTemporaryDir m_root;
    QTemporaryDir m_serverData;
    std::unique_ptr<DevServerProcess> m_backend;
    std::unique_ptr<CmdlineWatch> m_watch;
    SecretAudit m_audit;
    TempDefaults m_defaults;
    FakeKeychain m_keychain;
    std::unique_ptr<AccountServices> m_account;
    QString m_eapUser;
    const QString m_email = u"tunnel-check@example.com"_s;
    const QString m_password = u"correct horse battery staple"_s;

    std::unique_ptr<StrongSwanVpn> m_systemVpn;
    std::unique_ptr<IKEv2Manager> m_manager;
    std::unique_ptr<IKEv2Service> m_service;
    std::unique_ptr<VPNServiceManager> m_services;

    QString configDir() const { return m_root.filePath(u"config"_s); }

    QStringList environment() const
    {
        return {u"VELORIN_BACKEND_URL="_s + m_backend->url().toString(),
                u"VELORIN_VICI_SOCKET="_s + m_lab.value(u"VELORIN_VICI_SOCKET"_s),
                u"VELORIN_IKEV2_CA_FILE="_s + m_lab.value(u"LAB_CA_FILE"_s),
                u"HOME="_s + m_root.filePath(u"home"_s),
                u"XDG_CONFIG_HOME="_s + m_root.filePath(u"home/.config"_s),
                u"XDG_CACHE_HOME="_s + m_root.filePath(u"home/.cache"_s),
                u"XDG_RUNTIME_DIR="_s + m_root.filePath(u"runtime"_s),
                u"TMPDIR="_s + m_root.filePath(u"tmp"_s)};
    }

    bool ping() const
    {
        const ChildProcess::Result result = ChildProcess::run(
            u"ip"_s, {u"netns"_s, u"exec"_s, m_lab.value(u"LAB_CLIENT_NETNS"_s), u"ping"_s, u"-c"_s, u"1"_s, u"-W"_s,
                      u"2"_s, m_lab.value(u"LAB_TUNNEL_TARGET"_s)});
        return result.exitStatus == QProcess::NormalExit && result.exitCode == 0;
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the IKEv2 lab needs root (network namespaces and two charon daemons); CI runs it as root");
        const ChildProcess::Result up = ChildProcess::run(
            qEnvironmentVariable("VELORIN_LAB_SCRIPT"),
            {u"up"_s, u"--owner"_s, QString::number(QCoreApplication::applicationPid())}, {}, {}, 60000);
        QVERIFY2(up.exitStatus == QProcess::NormalExit && up.exitCode == 0, qPrintable(up.err));
        for (const QString &line : up.out.split(u'\n', Qt::SkipEmptyParts))
            m_lab.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        QVERIFY(m_lab.contains(u"LAB_DIR"_s));
        for (const char *folder : {"config", "home/.config", "home/.cache", "runtime", "tmp"})
            QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(folder))));
        QFile::setPermissions(m_root.filePath(u"runtime"_s),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        // The backend's server of the catalogue's first location is the lab's responder.
        QFile servers(m_root.filePath(u"servers.json"_s));
        QVERIFY(servers.open(QIODevice::WriteOnly));
        const QJsonObject server{{u"id"_s, kServerId}, {u"address"_s, m_lab.value(u"LAB_SERVER_ADDRESS"_s)},
                                 {u"name"_s, u"Lab"_s}, {u"location"_s, u"Test net"_s}, {u"ikev2"_s, QJsonObject()}};
        servers.write(QJsonDocument(QJsonObject{{u"servers"_s, QJsonArray{server}}}).toJson());
        servers.close();
        m_backend = std::make_unique<DevServerProcess>(
            m_serverData.path(), DevServerProcess::fastArguments() + QStringList{u"--servers"_s, servers.fileName()});
        QVERIFY2(m_backend->start(), qPrintable(m_backend->errorString()));
        m_watch = std::make_unique<CmdlineWatch>();

        // A new account, signed up in this process.
        m_audit.addSecret(u"password"_s, m_password);
        m_account = std::make_unique<AccountServices>(m_defaults, m_keychain, m_backend->url().toString());
        QCoro::waitFor(m_account->auth.registerAccount(m_email, m_password));
        QCoro::waitFor(m_account->auth.verifyEmail(m_email, m_backend->lastCode(m_email)));
        QVERIFY(m_account->auth.authState().isAuthenticated());
        m_audit.addTokensFrom(m_defaults.standardPath());

        // Its EAP credentials, taught to the responder.
        QNetworkAccessManager network;
        QNetworkRequest request(m_backend->url(u"/api/v1/ikev2/config?server_id="_s + kServerId));
        request.setRawHeader("Authorization",
                             "Bearer " + m_account->tokens.retrieveString(KeychainManager::accessTokenKey).value_or(QString()).toUtf8());
        QNetworkReply *reply = network.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        const QJsonObject config = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        m_eapUser = config.value(u"username"_s).toString();
        const QString eapPassword = config.value(u"password"_s).toString();
        QVERIFY(!m_eapUser.isEmpty() && !eapPassword.isEmpty());
        m_audit.addSecret(u"EAP password"_s, eapPassword);
        Vici::Message key;
        key.set("id", "hardening-account");
        key.set("type", "EAP");
        key.set("data", eapPassword.toUtf8());
        key.setList("owners", {m_eapUser.toUtf8()});
        const auto taught = vici(m_lab.value(u"LAB_SERVER_VICI_SOCKET"_s), "load-shared", key);
        QVERIFY(taught && taught->ok() && taught->message.value("success") == "yes");

        // The client as the application wires it, with the lab's daemon.
        StrongSwanSettings settings;
        settings.socketPath = m_lab.value(u"VELORIN_VICI_SOCKET"_s);
        settings.caCertificateFile = m_lab.value(u"LAB_CA_FILE"_s);
        settings.initiateTimeoutMs = 15000;
        m_systemVpn = std::make_unique<StrongSwanVpn>(
            [this](const QByteArray &reference) -> std::optional<QByteArray> {
                QByteArray value;
                if (m_keychain.copyByPersistentRef(reference, &value) != Keychain::Success)
                    return std::nullopt;
                return value;
            },
            settings);
        m_manager = std::make_unique<IKEv2Manager>(*m_systemVpn, m_keychain, m_account->tokens,
                                                   Endpoints::at(m_backend->url().toString()));
        m_service = std::make_unique<IKEv2Service>(*m_manager);
        m_services = std::make_unique<VPNServiceManager>(
            m_defaults.standard(), [this](VPNProtocolType) -> VPNServiceProtocol & { return *m_service; });
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->hasSystemVpn(), 10000);
    }

    void cleanupTestCase()
    {
        if (m_watch)
            m_watch->stop();
        m_services.reset();
        m_service.reset();
        m_manager.reset();
        m_systemVpn.reset();
        if (m_backend)
            m_backend->stop();
        if (m_lab.contains(u"LAB_DIR"_s))
            ChildProcess::run(qEnvironmentVariable("VELORIN_LAB_SCRIPT"), {u"down"_s, m_lab.value(u"LAB_DIR"_s)});
    }

    void connectsInThisProcess()
    {
        Log::Capture log;
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), kServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::connected(), 15000);
        QVERIFY2(ping(), "no answer through the tunnel");
        m_services->disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::disconnected(), 10000);
        QVERIFY(log.contains(u"✅ IKEv2: Connected!"_s));
        m_audit.addLines(u"log line in this process"_s, log.lines());
    }

    void connectsFromTheCommandLine()
    {
        const QString velorin = ChildProcess::builtProgram(u"velorin"_s);
        const auto login = ChildProcess::run(velorin, {u"--config-dir"_s, configDir(), u"--verbose"_s, u"login"_s, m_email,
                                                       u"--password-stdin"_s},
                                             m_password.toUtf8() + '\n', environment());
        QCOMPARE(login.exitCode, 0);
        m_audit.addText(u"velorin login (standard output)"_s, login.out);
        m_audit.addText(u"velorin login (standard error)"_s, login.err);
        m_audit.addTokensFrom(configDir() + u"/com.velorin.vpn.mac.json"_s);

        // The EAP password goes through the keychain: a private Secret
        // Service for the program's run.
        Run run(u"sh"_s,
                {qEnvironmentVariable("VELORIN_SECRET_SERVICE_WRAPPER"), velorin, u"--config-dir"_s, configDir(),
                 u"--verbose"_s, u"connect"_s, u"--protocol"_s, u"ikev2"_s, kServerId},
                environment());
        if (!run.waitForOut(u"connected to"_s, 30000)) {
            run.waitForExit();
            if (run.exitCode() == 77)
                QSKIP("no private Secret Service here (scripts/install-deps.sh test)");
            QFAIL(qPrintable(run.all()));
        }
        QVERIFY2(ping(), "no answer through the tunnel");
        const QString marker = configDir() + u" --verbose connect"_s;
        const qint64 pid = findProcess([&](const QString &line) { return line.startsWith(velorin) && line.contains(marker); });
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGINT);
        QVERIFY(run.waitForExit());
        QCOMPARE(run.exitCode(), 0);
        QVERIFY2(run.out().endsWith(u"disconnecting\ndisconnected\n"_s), qPrintable(run.out()));
        QVERIFY(run.err().contains(u"✅ IKEv2: Password saved to keychain"_s));
        m_audit.addText(u"velorin connect --protocol ikev2 (standard output)"_s, run.out());
        m_audit.addText(u"velorin connect --protocol ikev2 (standard error)"_s, run.err());
    }

    void noSecretShowsAnywhere()
    {
        m_watch->stop();
        m_audit.addText(u"velorin-devserver (standard output)"_s, m_backend->output());
        m_audit.addText(u"velorin-devserver (standard error)"_s, m_backend->errorOutput());
        const QString labDir = m_lab.value(u"LAB_DIR"_s);
        for (const QString &file : {u"client/charon.log"_s, u"client/charon.out"_s}) {
            QFile log(labDir + u'/' + file);
            if (log.open(QIODevice::ReadOnly))
                m_audit.addText(u"the client charon's "_s + file, QString::fromUtf8(log.readAll()));
        }
        const QStringList commandLines = m_watch->seen();
        // charon was among the processes watched.
        QVERIFY(std::any_of(commandLines.cbegin(), commandLines.cend(),
                            [](const QString &line) { return line.contains(u"charon"_s); }));
        QStringList findings = m_audit.textFindings() + m_audit.commandLineFindings(commandLines);
        QMap<QString, QStringList> allowed;
        const QStringList tokens{u"access token"_s, u"refresh token"_s};
        allowed.insert(QFileInfo(configDir() + u"/com.velorin.vpn.mac.json"_s).absoluteFilePath(), tokens);
        allowed.insert(QFileInfo(m_defaults.standardPath()).absoluteFilePath(), tokens);
        int files = 0;
        findings += m_audit.fileFindings({m_root.path(), m_defaults.dir(), qEnvironmentVariable("HOME")}, allowed, &files);
        QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
        qInfo("%lld secrets searched for in %d lines, %lld argument lists and %d files: none found",
              qint64(m_audit.secrets().size()), m_audit.lineCount(), qint64(commandLines.size()), files);
    }

    // The server goes silent under the command line's tunnel: dead-peer
    // detection (a short delay here) ends it in the error, and the program
    // says so and ends.
    void aDeadServerShowsInTheCommandLine()
    {
        Run run(u"sh"_s,
                {qEnvironmentVariable("VELORIN_SECRET_SERVICE_WRAPPER"), ChildProcess::builtProgram(u"velorin"_s),
                 u"--config-dir"_s, configDir(), u"connect"_s, u"--protocol"_s, u"ikev2"_s, kServerId},
                environment() + QStringList{u"VELORIN_IKEV2_DPD_DELAY=1"_s});
        if (!run.waitForOut(u"connected to"_s, 30000)) {
            run.waitForExit();
            if (run.exitCode() == 77)
                QSKIP("no private Secret Service here (scripts/install-deps.sh test)");
            QFAIL(qPrintable(run.all()));
        }
        const QStringList link{u"-n"_s, m_lab.value(u"LAB_SERVER_NETNS"_s), u"link"_s, u"set"_s, u"veth0"_s};
        QCOMPARE(ChildProcess::run(u"ip"_s, link + QStringList{u"down"_s}).exitCode, 0);
        const bool ended = run.waitForExit();
        ChildProcess::run(u"ip"_s, link + QStringList{u"up"_s});
        QVERIFY2(ended, qPrintable(run.all()));
        QCOMPARE(run.exitCode(), 1);
        QVERIFY2(run.out().endsWith(u"error: The server stopped responding\n"_s), qPrintable(run.out()));
    }

    // Runs last: the client charon is gone afterwards.
    void charonDyingWhileTheTunnelIsUp()
    {
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), kServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::connected(), 15000);
        QFile pidFile(m_lab.value(u"LAB_DIR"_s) + u"/client/run/charon.pid"_s);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t charon = pid_t(pidFile.readAll().trimmed().toInt());
        QVERIFY(charon > 0);

        // The main thread keeps turning while the client notices.
        qint64 longestGap = 0;
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
        });
        ticker.start(10);
        // What the IKEv2 service publishes, as it happens (the service
        // manager mirrors it a moment later).
        QStringList states;
        QObject::connect(m_manager.get(), &IKEv2Manager::connectionStateChanged, &ticker,
                         [&states](const VPNConnectionState &state) { states.append(state.description()); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(::kill(charon, SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!states.isEmpty(), 5000);
        const qint64 noticed = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->connectionState() == VPNConnectionState::disconnected()
                                     || m_manager->connectionState().isError(),
                                 5000);
        qInfo("charon killed: the client went through %s in %lld ms", qPrintable(states.join(u", "_s)), noticed);
        QVERIFY(!m_manager->isConnected());
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), m_manager->connectionState(), 3000);

        // A new connect ends in a clear error, in bounded time.
        states.clear();
        clock.restart();
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), kServerId);
        QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 2 && m_manager->connectionState().isError(), 15000);
        const QString message = m_manager->connectionState().errorMessage();
        qInfo("a connect without the daemon: %s, in %lld ms", qPrintable(states.join(u", "_s)), qint64(clock.elapsed()));
        QCOMPARE(states.first(), u"connecting"_s);
        QVERIFY2(message.startsWith(u"IKEv2 is not available: "_s), qPrintable(message));
        // A blocking wait for the dead daemon would stall for seconds; a
        // busy machine alone stalls for far less.
        QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));

        // The command line says so too, and ends.
        const auto run = ChildProcess::run(ChildProcess::builtProgram(u"velorin"_s),
                                           {u"--config-dir"_s, configDir(), u"connect"_s, u"--protocol"_s, u"ikev2"_s, kServerId},
                                           {}, environment(), 20000);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.startsWith(u"connecting\nerror: IKEv2 is not available: "_s), qPrintable(run.out + run.err));
    }
};

QTEST_GUILESS_MAIN(TestIKEv2LabHardening)
#include "tst_ikev2_lab_hardening.moc"
