// WireGuardService over a stub VPN API on 127.0.0.1.
#include "platform/Log.h"
#include "support/ServiceRig.h"
#include "vpn/wireguard/WireGuardService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString ConfigPath = u"/api/v1/wireguard/config"_s;
const QString PrivateKey = u"cGx1bS1wcml2YXRlLWtleS1mb3ItdGVzdHMtb25seS0="_s;
const QString ComingSoon = u"WireGuard coming soon — use IKEv2 or Xray Reality"_s;

QByteArray fullConfig()
{
    QJsonObject config = QJsonDocument::fromJson(R"({"interface_address": "10.66.0.7/32",
        "interface_dns": "10.66.0.1", "peer_public_key": "IxcfPpUFvgWJvdyFio2mIhLj9aSFzsYXfJzdWKfOKLM=",
        "peer_endpoint": "203.0.113.10:51820", "peer_allowed_ips": "0.0.0.0/0, ::/0",
        "server_name": "sg-node-01", "server_location": "Singapore, SG"})").object();
    config.insert(u"interface_private_key"_s, PrivateKey);
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

struct Rig : ServiceRig
{
    std::unique_ptr<WireGuardService> service;

    explicit Rig(bool withToken = true)
        : ServiceRig(withToken ? u"token-wg"_s : QString())
    {
        service = std::make_unique<WireGuardService>(tokens, endpoints(std::nullopt));
        recordStates(service.get());
    }
};

} // namespace

class TestWireGuardService : public QObject
{
    Q_OBJECT

private slots:
    void aFetchedConfigurationEndsInComingSoon()
    {
        Rig rig;
        rig.server.on("GET", ConfigPath + u"?server_id=sg-node-01"_s, StubServer::Response::json(200, fullConfig()));
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.service->protocolType(), VPNProtocolType::WireGuard);
        rig.service->connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::connecting());
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(ComingSoon));
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"error: "_s + ComingSoon}));
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);

        const StubServer::Request request = rig.server.requests().first();
        QCOMPARE(request.query, u"server_id=sg-node-01"_s);
        QCOMPARE(request.header("Authorization"), "Bearer token-wg");
        QVERIFY(!request.hasHeader("Content-Type"));

        QTest::qWait(20);
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);
        rig.service->disconnect();
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::disconnected());
    }

    void failuresEndInFailedToFetch_data()
    {
        QTest::addColumn<int>("status"); // of a valid configuration
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<bool>("signedIn");
        const QString id = u"sg-node-01"_s;
        QTest::newRow("no token") << 200 << id << false;
        QTest::newRow("blank in the server id") << 200 << u"sg node"_s << true;
        QTest::newRow("201 with a valid body") << 201 << id << true;
    }

    void failuresEndInFailedToFetch()
    {
        QFETCH(int, status);
        QFETCH(QString, serverId);
        QFETCH(bool, signedIn);
        Log::Capture log;
        Rig rig(signedIn);
        rig.server.on("GET", ConfigPath, StubServer::Response::json(status, fullConfig()));
        rig.service->connect(std::nullopt, serverId);
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(u"Failed to fetch WireGuard config"_s));
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.server.requests().size(), signedIn && !serverId.contains(u' ') ? 1 : 0);
        QVERIFY(log.matching(PrivateKey).isEmpty());
    }

    // A disconnect resets at once; the answer that arrives later still sets
    // its state.
    void disconnectWhileConnectingThenTheLateAnswer()
    {
        Rig rig;
        rig.server.on("GET", ConfigPath, StubServer::Response::json(200, fullConfig()).after(150ms));
        rig.service->connect(std::nullopt, std::nullopt);
        QVERIFY(rig.server.waitForRequests(1));
        QCOMPARE(rig.server.requests().first().query, QString());
        rig.service->disconnect();
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(ComingSoon));
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"disconnected"_s, u"error: "_s + ComingSoon}));
    }
};

QTEST_GUILESS_MAIN(TestWireGuardService)
#include "tst_wireguardservice.moc"
