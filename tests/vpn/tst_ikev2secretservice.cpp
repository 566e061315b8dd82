// The IKEv2 password in the real keychain: ctest runs this test through
// with-secret-service.sh (a private D-Bus session with an unlocked
// gnome-keyring). The shared service is wired to the strongSwan adapter,
// which here talks to a stand-in VICI socket.
#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/SecretServiceKeychain.h"
#include "storage/KeychainManager.h"
#include "support/FakeViciServer.h"
#include "support/StubServer.h"
#include "vpn/AppServices.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestIKEv2SecretService : public QObject
{
    Q_OBJECT

    void removeItem() { Keychain::system().remove(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount); }

private slots:
    void initTestCase()
    {
        if (!SecretServiceKeychain::isServiceReachable())
            QFAIL("no Secret Service on the session bus; run this test through ctest (with-secret-service.sh)");
        removeItem();
    }

    void cleanupTestCase() { removeItem(); }

    // The shared service: a connect without the IKE daemon ends in a readable
    // error; with it, the daemon receives the password the keychain holds,
    // which replaced the one an earlier run left there.
    void theSharedServiceReachesTheDaemonWithTheKeychainsPassword()
    {
        QCOMPARE(Keychain::system().add(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount, "stale-pw"),
                 Keychain::Success);
        StubServer api;
        api.on("GET", u"/api/v1/ikev2/config"_s, StubServer::Response::json(200, R"({"protocol": "ikev2",
            "server_address": "192.0.2.7", "server_id": "192.0.2.7", "remote_id": "192.0.2.7", "local_id": "vpn-user",
            "username": "vpn-user", "password": "daemon-pw", "ca_name": "Velorin VPN CA", "server_name": "Lab",
            "server_location": "Test net"})"));
        FakeViciServer daemon;
        qputenv("VELORIN_BACKEND_URL", api.baseUrl().toUtf8());
        qputenv("VELORIN_VICI_SOCKET", daemon.socketPath().toUtf8());
        QTemporaryDir caDir;
        QFile ca(caDir.filePath(u"ca.pem"_s));
        QVERIFY(ca.open(QIODevice::WriteOnly) && ca.write("-----BEGIN CERTIFICATE-----\n") > 0);
        ca.close();
        qputenv("VELORIN_IKEV2_CA_FILE", ca.fileName().toUtf8());
        AppServices services(AppServices::Setup::forThisProcess());
        QVERIFY(services.tokens.save(u"token-shared"_s, KeychainManager::accessTokenKey));

        Log::Capture log;
        VPNServiceProtocol &service = services.protocolService(VPNProtocolType::IKEv2);
        QVERIFY(qobject_cast<IKEv2Service *>(&service));
        QTRY_COMPARE(log.matching(u"Failed to load preferences: IKEv2 is not available: "_s).size(), 1);

        service.connect(std::nullopt, u"lab"_s);
        QTRY_VERIFY(service.connectionState().isError());
        QVERIFY2(service.connectionState().errorMessage().startsWith(u"IKEv2 is not available: "_s),
                 qPrintable(service.connectionState().errorMessage()));

        QVERIFY(daemon.listen());
        service.connect(std::nullopt, u"lab"_s);
        QTRY_VERIFY(daemon.lastRequest("load-shared").has_value());
        QCOMPARE(daemon.lastRequest("load-shared")->value("data"), "daemon-pw");
        QCOMPARE(daemon.lastRequest("load-shared")->list("owners"), QList<QByteArray>{"vpn-user"});
        QByteArray stored;
        QCOMPARE(Keychain::system().copy(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount, &stored),
                 Keychain::Success);
        QCOMPARE(stored, "daemon-pw");
        QVERIFY(log.matching(u"daemon-pw"_s).isEmpty());
        service.disconnect();
    }
};

QTEST_GUILESS_MAIN(TestIKEv2SecretService)
#include "tst_ikev2secretservice.moc"
