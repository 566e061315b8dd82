// The whole IKEv2 path in the lab, driven through VPNServiceManager: the
// backend's configuration, the profile in the client charon, the tunnel. The
// keychain is the in-memory fake; the real one is tested under a Secret Service.
#include "Lab.h"
#include "support/TempDefaults.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>

namespace {

const QString LabServerId = u"lab"_s;
const QByteArray ResponderKeyId = "devserver-account";

} // namespace

class TestIKEv2Lab : public QObject
{
    Q_OBJECT

private:
    Lab m_lab;
    QTemporaryDir m_dir;
    std::unique_ptr<DevServerProcess> m_backend;
    QString m_token;
    QString m_eapUser;
    QString m_eapPassword;

    TempDefaults m_defaults;
    FakeKeychain m_keychain;
    KeychainManager m_tokens{m_defaults.standard(), m_keychain};
    std::unique_ptr<LabServices> m_client;
    QStringList m_states;
    QPointer<ResumeMonitor> m_resume;

    QString serverAddress() const { return m_lab.fact("LAB_SERVER_ADDRESS"); }
    VPNServiceManager &services() { return m_client->services; }

    bool teachResponder(const QString &password) { return m_lab.teachResponder(ResponderKeyId, m_eapUser, password); }

    bool clientDaemonHoldsOurConnection()
    {
        const auto answer = vici(m_lab.fact("VELORIN_VICI_SOCKET"), "get-conns");
        return !answer || answer->message.list("conns").contains(m_client->systemVpn.names().connection.toUtf8());
    }

private slots:
    void initTestCase()
    {
        LAB_SKIP_WITHOUT_ROOT();
        const QString failed = m_lab.up({u"--esp"_s, qEnvironmentVariable("VELORIN_LAB_ESP", u"userspace"_s)});
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY(!m_lab.fact("LAB_SERVER_VICI_SOCKET").isEmpty());

        m_backend = m_lab.backend(m_dir.path(), LabServerId, {u"--seed-demo"_s});
        QVERIFY2(m_backend->start(), qPrintable(m_backend->errorString()));

        // The demo account's token and its EAP credentials, taught to the responder.
        const auto login = m_backend->send("POST", u"/auth/login"_s, R"({"email":"demo@example.com","password":"velorin-demo"})");
        m_token = login.text(u"access_token"_s);
        QVERIFY2(!m_token.isEmpty(), login.body.constData());
        const QJsonObject config = m_backend->send("GET", u"/api/v1/ikev2/config?server_id=lab"_s, {}, m_token).json;
        m_eapUser = config.value(u"username"_s).toString();
        m_eapPassword = config.value(u"password"_s).toString();
        QVERIFY(!m_eapUser.isEmpty() && !m_eapPassword.isEmpty());
        QCOMPARE(config.value(u"server_address"_s).toString(), serverAddress());
        QVERIFY(teachResponder(m_eapPassword));

        QVERIFY(m_tokens.save(m_token, KeychainManager::accessTokenKey));
        m_client = std::make_unique<LabServices>(m_lab, m_keychain, m_tokens, m_defaults.standard(),
                                                 m_backend->url().toString());
        QObject::connect(&services(), &VPNServiceManager::connectionStateChanged, &services(),
                         [this](const VPNConnectionState &state) { m_states.append(state.description()); });
        QTRY_VERIFY_WITH_TIMEOUT(m_client->manager.hasSystemVpn(), 10000);
    }

    void cleanupTestCase()
    {
        m_client.reset();
        if (m_backend)
            m_backend->stop();
        const QString failed = m_lab.down();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    void connectsThroughTheServiceManagerCarriesTrafficAndDisconnects()
    {
        QVERIFY2(!m_lab.ping(), "the address behind the tunnel answers without a tunnel");
        m_states.clear();
        QElapsedTimer timer;
        timer.start();
        services().connect(serverAddress(), LabServerId);
        QTRY_COMPARE_WITH_TIMEOUT(services().connectionState(), VPNConnectionState::connected(), 15000);
        qInfo("connected in %lld ms", qint64(timer.elapsed()));
        QCOMPARE(m_states, (QStringList{u"connecting"_s, u"connected"_s}));
        QVERIFY(m_client->manager.isConnected());
        QTRY_COMPARE_WITH_TIMEOUT(services().serverName(), u"Lab"_s, 3000);
        QVERIFY2(m_lab.ping(), "no answer through the tunnel");

        services().disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(services().connectionState(), VPNConnectionState::disconnected(), 10000);
        QCOMPARE(m_states, (QStringList{u"connecting"_s, u"connected"_s, u"disconnecting"_s, u"disconnected"_s}));
        QVERIFY(!m_client->manager.isConnected());
        QVERIFY(!m_lab.ping());
        QVERIFY(!clientDaemonHoldsOurConnection());
    }

    // The served password is not the one the server knows.
    void aWrongPasswordEndsInTheDaemonsReason()
    {
        QVERIFY(teachResponder(u"not-the-served-password"_s));
        m_states.clear();
        QElapsedTimer timer;
        timer.start();
        services().connect(serverAddress(), LabServerId);
        QTRY_VERIFY_WITH_TIMEOUT(services().connectionState().isError(), 10000);
        const QString message = services().connectionState().errorMessage();
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
        services().watchSystemEvents({}, [this] {
            auto monitor = std::make_unique<ResumeMonitor>();
            m_resume = monitor.get();
            return monitor;
        });
        services().connect(serverAddress(), LabServerId);
        QTRY_COMPARE_WITH_TIMEOUT(services().connectionState(), VPNConnectionState::connected(), 15000);
        QVERIFY(m_resume);
        Vici::Message terminate;
        terminate.set("ike", "server");
        const auto answer = vici(m_lab.fact("LAB_SERVER_VICI_SOCKET"), "terminate", terminate);
        QVERIFY(answer && answer->ok());
        QElapsedTimer timer;
        timer.start();
        emit m_resume->resumed();
        QTRY_COMPARE_WITH_TIMEOUT(services().connectionState(), VPNConnectionState::disconnected(), 5000);
        qInfo("disconnected shown %lld ms after the wake", qint64(timer.elapsed()));
        QVERIFY(!m_lab.ping());
        QVERIFY(!clientDaemonHoldsOurConnection());
        services().watchSystemEvents({}, {});
    }
};

QTEST_GUILESS_MAIN(TestIKEv2Lab)
#include "tst_ikev2_lab.moc"
