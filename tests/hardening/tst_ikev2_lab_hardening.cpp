// IKEv2 in the lab (root): no secret in any line, argument list (charon's
// included) or file of an IKEv2 connect, in this process and with the
// `velorin` program; and the client charon dying while the tunnel is up.
#include "../lab/Lab.h"
#include "Hardening.h"
#include "SecretAudit.h"

#include "platform/Log.h"
#include "support/AccountServices.h"
#include "support/Watchdog.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <csignal>

using namespace Hardening;

namespace {
const QString kServerId = u"sg-node-01"_s;
} // namespace

// Skips the test where no private Secret Service can run; fails unless the
// program run says it is connected.
#define VERIFY_CONNECTED(run)                                                                                          \
    if (!(run)->waitForOut(u"connected to"_s, 30000)) {                                                                \
        (run)->waitForExit();                                                                                          \
        if ((run)->exitCode() == 77)                                                                                   \
            QSKIP("no private Secret Service here (scripts/install-deps.sh test)");                                   \
        QFAIL(qPrintable((run)->all()));                                                                               \
    }

class TestIKEv2LabHardening : public QObject
{
    Q_OBJECT

    Lab m_lab;
    QTemporaryDir m_root;
    QTemporaryDir m_serverData;
    std::unique_ptr<DevServerProcess> m_backend;
    std::unique_ptr<CmdlineWatch> m_watch;
    SecretAudit m_audit;
    TempDefaults m_defaults;
    FakeKeychain m_keychain;
    std::unique_ptr<AccountServices> m_account;
    const QString m_email = u"tunnel-check@example.com"_s;
    const QString m_password = u"correct horse battery staple"_s;
    std::unique_ptr<LabServices> m_client;

    QString configDir() const { return m_root.filePath(u"config"_s); }
    QString defaultsPath() const { return configDir() + u"/com.velorin.vpn.mac.json"_s; }
    QString serverAddress() const { return m_lab.fact("LAB_SERVER_ADDRESS"); }

    QStringList environment() const
    {
        return {u"VELORIN_BACKEND_URL="_s + m_backend->url().toString(),
                u"VELORIN_VICI_SOCKET="_s + m_lab.fact("VELORIN_VICI_SOCKET"),
                u"VELORIN_IKEV2_CA_FILE="_s + m_lab.fact("LAB_CA_FILE"),
                u"HOME="_s + m_root.filePath(u"home"_s),
                u"XDG_CONFIG_HOME="_s + m_root.filePath(u"home/.config"_s),
                u"XDG_CACHE_HOME="_s + m_root.filePath(u"home/.cache"_s),
                u"XDG_RUNTIME_DIR="_s + m_root.filePath(u"runtime"_s),
                u"TMPDIR="_s + m_root.filePath(u"tmp"_s)};
    }

    // `velorin connect --protocol ikev2`, the EAP password in a private Secret Service.
    std::unique_ptr<ProgramRun> connectFromTheCommandLine(const QStringList &options, const QStringList &extraEnvironment = {})
    {
        return std::make_unique<ProgramRun>(
            u"sh"_s,
            QStringList{qEnvironmentVariable("VELORIN_SECRET_SERVICE_WRAPPER"), ChildProcess::builtProgram(u"velorin"_s),
                        u"--config-dir"_s, configDir()}
                + options + QStringList{u"connect"_s, u"--protocol"_s, u"ikev2"_s, kServerId},
            environment() + extraEnvironment);
    }

private slots:
    void initTestCase()
    {
        LAB_SKIP_WITHOUT_ROOT();
        const QString failed = m_lab.up();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        for (const char *folder : {"config", "home/.config", "home/.cache", "runtime", "tmp"})
            QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(folder))));
        QFile::setPermissions(m_root.filePath(u"runtime"_s),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        // The backend's server of the catalogue's first location is the lab's responder.
        m_backend = m_lab.backend(m_serverData.path(), kServerId);
        QVERIFY2(m_backend->start(), qPrintable(m_backend->errorString()));
        m_watch = std::make_unique<CmdlineWatch>();

        m_audit.addSecret(u"password"_s, m_password);
        m_account = std::make_unique<AccountServices>(m_defaults, m_keychain, m_backend->url().toString());
        QCoro::waitFor(m_account->auth.registerAccount(m_email, m_password));
        QCoro::waitFor(m_account->auth.verifyEmail(m_email, m_backend->lastCode(m_email)));
        QVERIFY(m_account->auth.authState().isAuthenticated());
        m_audit.addTokensFrom(m_defaults.standardPath());

        // Its EAP credentials, taught to the responder.
        const QJsonObject config =
            m_backend->send("GET", u"/api/v1/ikev2/config?server_id="_s + kServerId, {},
                            m_account->tokens.retrieveString(KeychainManager::accessTokenKey).value_or(QString()))
                .json;
        const QString eapUser = config.value(u"username"_s).toString();
        const QString eapPassword = config.value(u"password"_s).toString();
        QVERIFY(!eapUser.isEmpty() && !eapPassword.isEmpty());
        m_audit.addSecret(u"EAP password"_s, eapPassword);
        QVERIFY(m_lab.teachResponder("hardening-account", eapUser, eapPassword));

        m_client = std::make_unique<LabServices>(m_lab, m_keychain, m_account->tokens, m_defaults.standard(),
                                                 m_backend->url().toString());
        QTRY_VERIFY_WITH_TIMEOUT(m_client->manager.hasSystemVpn(), 10000);
    }

    void cleanupTestCase()
    {
        if (m_watch)
            m_watch->stop();
        m_client.reset();
        if (m_backend)
            m_backend->stop();
        m_lab.down();
    }

    void connectsInThisProcess()
    {
        Log::Capture log;
        m_client->services.connect(serverAddress(), kServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->services.connectionState(), VPNConnectionState::connected(), 15000);
        QVERIFY2(m_lab.ping(), "no answer through the tunnel");
        m_client->services.disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(m_client->services.connectionState(), VPNConnectionState::disconnected(), 10000);
        QVERIFY(log.contains(u"✅ IKEv2: Connected!"_s));
        m_audit.addLines(u"log line in this process"_s, log.lines());
    }

    void connectsFromTheCommandLine()
    {
        const auto login = ProgramRun::velorinIn(configDir(), {u"--verbose"_s, u"login"_s, m_email, u"--password-stdin"_s},
                                          m_password.toUtf8() + '\n', environment());
        QCOMPARE(login.exitCode, 0);
        m_audit.addOutput(u"velorin login"_s, login.out, login.err);
        m_audit.addTokensFrom(defaultsPath());

        auto run = connectFromTheCommandLine({u"--verbose"_s});
        VERIFY_CONNECTED(run);
        QVERIFY2(m_lab.ping(), "no answer through the tunnel");
        const QString velorin = ChildProcess::builtProgram(u"velorin"_s);
        const QString marker = configDir() + u" --verbose connect"_s;
        const qint64 pid = processWhose([&](const QString &line) { return line.startsWith(velorin) && line.contains(marker); });
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGINT);
        QVERIFY(run->waitForExit());
        QCOMPARE(run->exitCode(), 0);
        QVERIFY2(run->out().endsWith(u"disconnecting\ndisconnected\n"_s), qPrintable(run->out()));
        QVERIFY(run->err().contains(u"✅ IKEv2: Password saved to keychain"_s));
        m_audit.addOutput(u"velorin connect --protocol ikev2"_s, run->out(), run->err());
    }

    void noSecretShowsAnywhere()
    {
        m_watch->stop();
        m_audit.addOutput(u"velorin-devserver"_s, m_backend->output(), m_backend->errorOutput());
        const QString labDir = m_lab.fact("LAB_DIR");
        for (const QString &file : {u"client/charon.log"_s, u"client/charon.out"_s}) {
            QFile log(labDir + u'/' + file);
            if (log.open(QIODevice::ReadOnly))
                m_audit.addText(u"the client charon's "_s + file, QString::fromUtf8(log.readAll()));
        }
        const QStringList commandLines = m_watch->seen();
        QVERIFY(std::any_of(commandLines.cbegin(), commandLines.cend(),
                            [](const QString &line) { return line.contains(u"charon"_s); }));
        int files = 0;
        const QStringList findings =
            m_audit.findings(commandLines, {m_root.path(), m_defaults.dir(), qEnvironmentVariable("HOME")},
                             {defaultsPath(), m_defaults.standardPath()}, &files);
        QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
        qInfo("%lld secrets searched for in %d lines, %lld argument lists and %d files: none found",
              qint64(m_audit.secrets().size()), m_audit.lineCount(), qint64(commandLines.size()), files);
    }

    // The server goes silent under the command line's tunnel: dead-peer
    // detection ends it, and the program says so and ends.
    void aDeadServerShowsInTheCommandLine()
    {
        auto run = connectFromTheCommandLine({}, {u"VELORIN_IKEV2_DPD_DELAY=1"_s});
        VERIFY_CONNECTED(run);
        const QStringList link{u"-n"_s, m_lab.fact("LAB_SERVER_NETNS"), u"link"_s, u"set"_s, u"veth0"_s};
        QCOMPARE(ChildProcess::run(u"ip"_s, link + QStringList{u"down"_s}).exitCode, 0);
        const bool ended = run->waitForExit();
        ChildProcess::run(u"ip"_s, link + QStringList{u"up"_s});
        QVERIFY2(ended, qPrintable(run->all()));
        QCOMPARE(run->exitCode(), 1);
        QVERIFY2(run->out().endsWith(u"error: The server stopped responding\n"_s), qPrintable(run->out()));
    }

    // Runs last: the client charon is gone afterwards.
    void charonDyingWhileTheTunnelIsUp()
    {
        m_client->services.connect(serverAddress(), kServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->services.connectionState(), VPNConnectionState::connected(), 15000);
        QFile pidFile(m_lab.fact("LAB_DIR") + u"/client/run/charon.pid"_s);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t charon = pid_t(pidFile.readAll().trimmed().toInt());
        QVERIFY(charon > 0);

        // The main thread must keep turning while the client notices.
        Watchdog watchdog;
        // What the IKEv2 manager publishes (the service manager mirrors it a
        // moment later).
        QStringList states;
        QObject listening;
        QObject::connect(&m_client->manager, &IKEv2Manager::connectionStateChanged, &listening,
                         [&states](const VPNConnectionState &state) { states.append(state.description()); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(::kill(charon, SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!states.isEmpty(), 5000);
        const qint64 noticed = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(m_client->manager.connectionState() == VPNConnectionState::disconnected()
                                     || m_client->manager.connectionState().isError(),
                                 5000);
        qInfo("charon killed: the client went through %s in %lld ms", qPrintable(states.join(u", "_s)), noticed);
        QVERIFY(!m_client->manager.isConnected());
        QTRY_COMPARE_WITH_TIMEOUT(m_client->services.connectionState(), m_client->manager.connectionState(), 3000);

        // A new connect ends in a clear error, in bounded time.
        states.clear();
        clock.restart();
        m_client->services.connect(serverAddress(), kServerId);
        QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 2 && m_client->manager.connectionState().isError(), 15000);
        const QString message = m_client->manager.connectionState().errorMessage();
        qInfo("a connect without the daemon: %s, in %lld ms", qPrintable(states.join(u", "_s)), qint64(clock.elapsed()));
        QCOMPARE(states.first(), u"connecting"_s);
        QVERIFY2(message.startsWith(u"IKEv2 is not available: "_s), qPrintable(message));
        // A blocking wait for the dead daemon would stall for seconds; a busy
        // machine alone stalls for far less.
        QVERIFY2(watchdog.worstGapMs() < 1000, qPrintable(QString::number(watchdog.worstGapMs())));

        const auto run = ChildProcess::run(ChildProcess::builtProgram(u"velorin"_s),
                                           {u"--config-dir"_s, configDir(), u"connect"_s, u"--protocol"_s, u"ikev2"_s, kServerId},
                                           {}, environment(), 20000);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.startsWith(u"connecting\nerror: IKEv2 is not available: "_s), qPrintable(run.out + run.err));
    }
};

QTEST_GUILESS_MAIN(TestIKEv2LabHardening)
#include "tst_ikev2_lab_hardening.moc"
