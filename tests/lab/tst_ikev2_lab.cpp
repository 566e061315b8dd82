// The whole IKEv2 path against real daemons: the development backend serves
// an IKEv2 configuration pointing at the lab's responder
// (scripts/ikev2-lab.sh), IKEv2Manager fetches it, writes the profile into
// the lab's client charon through the strongSwan adapter and brings the
// tunnel up, all driven through VPNServiceManager.
//
// The backend makes each account's EAP user name and password itself; the
// test reads them from the configuration it serves and teaches them to the
// responder over the responder's own VICI socket.
//
// The keychain here is the in-memory fake: what this test proves is the
// tunnel, and the real keychain has its own test under a Secret Service.
#include "platform/StrongSwanVpn.h"
#include "platform/ViciClient.h"
#include "storage/KeychainManager.h"
#include "support/ChildProcess.h"
#include "support/DevServerProcess.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString LabServerId = u"lab"_s;
const QByteArray ResponderKeyId = "devserver-account";

// One request to the development backend, waited for (a test may block).
QJsonObject request(QNetworkAccessManager &network, const QUrl &url, const QByteArray &token = {},
                    const QByteArray &body = {})
{
    QNetworkRequest req(url);
    req.setRawHeader("Content-Type", "application/json");
    if (!token.isEmpty())
        req.setRawHeader("Authorization", "Bearer " + token);
    QNetworkReply *reply = body.isEmpty() ? network.get(req) : network.post(req, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!finished.wait(10000))
        qWarning("no answer from %s", qPrintable(url.toString()));
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return answer;
}

// One VICI command to a daemon, waited for.
std::optional<ViciClient::Reply> vici(const QString &socket, const QByteArray &command, const Vici::Message &arguments)
{
    ViciClient client(socket);
    std::optional<ViciClient::Reply> answer;
    client.call(command, arguments, [&answer](const ViciClient::Reply &reply) { answer = reply; });
    if (!QTest::qWaitFor([&answer]() { return answer.has_value(); }, 10000))
        qWarning("no answer to %s", command.constData());
    return answer;
}

} // namespace

class TestIKEv2Lab : public QObject
{
    Q_OBJECT

private:
    QMap<QString, QString> m_lab;
    QTemporaryDir m_dir;
    std::unique_ptr<DevServerProcess> m_backend;
    QByteArray m_token;
    QString m_eapUser;
    QString m_eapPassword;

    TempDefaults m_defaults;
    FakeKeychain m_keychain;
    std::unique_ptr<KeychainManager> m_tokens;
    std::unique_ptr<StrongSwanVpn> m_systemVpn;
    std::unique_ptr<IKEv2Manager> m_manager;
    std::unique_ptr<IKEv2Service> m_service;
    std::unique_ptr<VPNServiceManager> m_services;
    QStringList m_states;
    QPointer<ResumeMonitor> m_resume;

    bool ping() const
    {
        const ChildProcess::Result result = ChildProcess::run(
            u"ip"_s, {u"netns"_s, u"exec"_s, m_lab.value(u"LAB_CLIENT_NETNS"_s), u"ping"_s, u"-c"_s, u"1"_s,
                      u"-W"_s, u"2"_s, m_lab.value(u"LAB_TUNNEL_TARGET"_s)});
        return result.exitStatus == QProcess::NormalExit && result.exitCode == 0;
    }

    // The responder accepts the account's EAP user with this password.
    bool teachResponder(const QString &password)
    {
        Vici::Message key;
        key.set("id", ResponderKeyId);
        key.set("type", "EAP");
        key.set("data", password.toUtf8());
        key.setList("owners", {m_eapUser.toUtf8()});
        const auto answer = vici(m_lab.value(u"LAB_SERVER_VICI_SOCKET"_s), "load-shared", key);
        return answer && answer->ok() && answer->message.value("success") == "yes";
    }

    bool clientDaemonHoldsOurConnection()
    {
        const auto answer = vici(m_lab.value(u"VELORIN_VICI_SOCKET"_s), "get-conns", {});
        return !answer || answer->message.list("conns").contains(m_systemVpn->names().connection.toUtf8());
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the IKEv2 lab needs root (network namespaces and two charon daemons); CI runs it as root");
        const ChildProcess::Result up = ChildProcess::run(
            qEnvironmentVariable("VELORIN_LAB_SCRIPT"),
            {u"up"_s, u"--esp"_s, qEnvironmentVariable("VELORIN_LAB_ESP", u"userspace"_s), u"--owner"_s,
             QString::number(QCoreApplication::applicationPid())},
            {}, {}, 60000);
        QVERIFY2(up.exitStatus == QProcess::NormalExit && up.exitCode == 0, qPrintable(up.err));
        for (const QString &line : up.out.split(u'\n', Qt::SkipEmptyParts))
            m_lab.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        QVERIFY(m_lab.contains(u"LAB_DIR"_s));
        QVERIFY(m_lab.contains(u"LAB_SERVER_VICI_SOCKET"_s));

        // The backend's one server is the lab's responder.
        QFile servers(m_dir.filePath(u"servers.json"_s));
        QVERIFY(servers.open(QIODevice::WriteOnly));
        const QJsonObject server{{u"id"_s, LabServerId},
                                 {u"address"_s, m_lab.value(u"LAB_SERVER_ADDRESS"_s)},
                                 {u"name"_s, u"Lab"_s},
                                 {u"location"_s, u"Test net"_s},
                                 {u"ikev2"_s, QJsonObject()}};
        servers.write(QJsonDocument(QJsonObject{{u"servers"_s, QJsonArray{server}}}).toJson());
        servers.close();
        m_backend = std::make_unique<DevServerProcess>(
            m_dir.filePath(u"data"_s),
            DevServerProcess::fastArguments() + QStringList{u"--seed-demo"_s, u"--servers"_s, servers.fileName()});
        QVERIFY2(m_backend->start(), qPrintable(m_backend->errorString()));

        // The demo account's token and its EAP credentials.
        QNetworkAccessManager network;
        const QJsonObject login = request(network, m_backend->url(u"/auth/login"_s), {},
                                          "{\"email\":\"demo@example.com\",\"password\":\"velorin-demo\"}");
        m_token = login.value(u"access_token"_s).toString().toUtf8();
        QVERIFY2(!m_token.isEmpty(), QJsonDocument(login).toJson().constData());
        const QJsonObject config = request(network, m_backend->url(u"/api/v1/ikev2/config?server_id=lab"_s), m_token);
        m_eapUser = config.value(u"username"_s).toString();
        m_eapPassword = config.value(u"password"_s).toString();
        QVERIFY(!m_eapUser.isEmpty() && !m_eapPassword.isEmpty());
        QCOMPARE(config.value(u"server_address"_s).toString(), m_lab.value(u"LAB_SERVER_ADDRESS"_s));
        QVERIFY(teachResponder(m_eapPassword));

        // The client as the application wires it, with the lab's daemon.
        m_tokens = std::make_unique<KeychainManager>(m_defaults.standard(), m_keychain);
        QVERIFY(m_tokens->save(QString::fromUtf8(m_token), KeychainManager::accessTokenKey));
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
        m_manager = std::make_unique<IKEv2Manager>(*m_systemVpn, m_keychain, *m_tokens,
                                                   Endpoints::at(m_backend->url().toString()));
        m_service = std::make_unique<IKEv2Service>(*m_manager);
        m_services = std::make_unique<VPNServiceManager>(
            m_defaults.standard(), [this](VPNProtocolType) -> VPNServiceProtocol & { return *m_service; });
        QObject::connect(m_services.get(), &VPNServiceManager::connectionStateChanged, m_services.get(),
                         [this](const VPNConnectionState &state) { m_states.append(state.description()); });
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->hasSystemVpn(), 10000);
    }

    void cleanupTestCase()
    {
        m_services.reset();
        m_service.reset();
        m_manager.reset();
        m_systemVpn.reset();
        if (m_backend)
            m_backend->stop();
        if (!m_lab.contains(u"LAB_DIR"_s))
            return;
        const ChildProcess::Result down =
            ChildProcess::run(qEnvironmentVariable("VELORIN_LAB_SCRIPT"), {u"down"_s, m_lab.value(u"LAB_DIR"_s)});
        QVERIFY2(down.exitCode == 0, qPrintable(down.err));
    }

    void connectsThroughTheServiceManagerCarriesTrafficAndDisconnects()
    {
        QVERIFY2(!ping(), "the address behind the tunnel answers without a tunnel");
        m_states.clear();
        QElapsedTimer timer;
        timer.start();
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), LabServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::connected(), 15000);
        qInfo("connected in %lld ms", qint64(timer.elapsed()));
        QCOMPARE(m_states, (QStringList{u"connecting"_s, u"connected"_s}));
        QVERIFY(m_manager->isConnected());
        QTRY_COMPARE_WITH_TIMEOUT(m_services->serverName(), u"Lab"_s, 3000);
        QVERIFY2(ping(), "no answer through the tunnel");

        m_services->disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::disconnected(), 10000);
        QCOMPARE(m_states, (QStringList{u"connecting"_s, u"connected"_s, u"disconnecting"_s, u"disconnected"_s}));
        QVERIFY(!m_manager->isConnected());
        QVERIFY(!ping());
        QVERIFY(!clientDaemonHoldsOurConnection());
    }

    // The served password is not the one the server knows.
    void aWrongPasswordEndsInTheDaemonsReason()
    {
        QVERIFY(teachResponder(u"not-the-served-password"_s));
        m_states.clear();
        QElapsedTimer timer;
        timer.start();
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), LabServerId);
        QTRY_VERIFY_WITH_TIMEOUT(m_services->connectionState().isError(), 10000);
        const QString message = m_services->connectionState().errorMessage();
        qInfo("failed in %lld ms: %s", qint64(timer.elapsed()), qPrintable(message));
        QVERIFY2(message.startsWith(u"The server rejected the user name or password"_s), qPrintable(message));
        QCOMPARE(m_states, (QStringList{u"connecting"_s, u"error: "_s + message}));
        QVERIFY(!message.contains(m_eapPassword));
        QVERIFY(!clientDaemonHoldsOurConnection());
        QVERIFY(teachResponder(m_eapPassword));
    }

    // The server drops the tunnel (as it does while the computer sleeps);
    // after the wake the client shows the truth within five seconds.
    void aTunnelGoneAfterAWakeShowsWithinFiveSeconds()
    {
        m_services->watchSystemEvents({}, [this] {
            auto monitor = std::make_unique<ResumeMonitor>();
            m_resume = monitor.get();
            return monitor;
        });
        m_services->connect(m_lab.value(u"LAB_SERVER_ADDRESS"_s), LabServerId);
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::connected(), 15000);
        QVERIFY(m_resume);
        Vici::Message terminate;
        terminate.set("ike", "server");
        const auto answer = vici(m_lab.value(u"LAB_SERVER_VICI_SOCKET"_s), "terminate", terminate);
        QVERIFY(answer && answer->ok());
        QElapsedTimer timer;
        timer.start();
        emit m_resume->resumed();
        QTRY_COMPARE_WITH_TIMEOUT(m_services->connectionState(), VPNConnectionState::disconnected(), 5000);
        qInfo("disconnected shown %lld ms after the wake", qint64(timer.elapsed()));
        QVERIFY(!ping());
        QVERIFY(!clientDaemonHoldsOurConnection());
        m_services->watchSystemEvents({}, {});
    }
};

QTEST_GUILESS_MAIN(TestIKEv2Lab)
#include "tst_ikev2_lab.moc"
