// Which protocol service the VPN service manager runs, and the IKEv2 manager
// over a stub VPN API on 127.0.0.1, the fake system VPN and the fake keychain.
#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakePathMonitor.h"
#include "support/FakeSystemVpn.h"
#include "support/ServiceRig.h"
#include "support/TempDefaults.h"
#include "support/TestVpnService.h"
#include "vpn/ConnectionLock.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QtTest>

#include <map>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Services = TestVpnServices;
using Status = SystemVpn::Status;
using Op = FakeKeychain::Operation;

namespace {

const QString ConfigPath = u"/api/v1/ikev2/config"_s;
const QString Password = u"eap-Secret-7731"_s;

QJsonObject fullConfig()
{
    QJsonObject config = QJsonDocument::fromJson(R"({"protocol": "ikev2", "server_address": "203.0.113.10",
        "server_id": "vpn.example.net", "remote_id": "vpn.example.net", "local_id": "user-1@velorin",
        "username": "user-1", "ca_name": "Velorin VPN CA", "server_name": "United States - San Francisco",
        "server_location": "San Francisco, US"})").object();
    config.insert(u"password"_s, Password);
    return config;
}

QByteArray body(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

struct Rig : ServiceRig
{
    FakeSystemVpn vpn;
    std::unique_ptr<IKEv2Manager> manager;

    explicit Rig(bool withToken = true, std::optional<QString> baseURL = std::nullopt)
        : ServiceRig(withToken ? u"token-abc"_s : QString())
    {
        manager = std::make_unique<IKEv2Manager>(vpn, keychain, tokens, endpoints(baseURL));
        recordStates(manager.get());
    }

    void serve(const StubServer::Response &response) { server.on("GET", ConfigPath, response); }
};

} // namespace

class TestVPNManagers : public QObject
{
    Q_OBJECT

private slots:
    void startsOnIKEv2MirrorsItsStateAndRebinds()
    {
        TempDefaults defaults;
        defaults.standard().set(u"vpnProtocol"_s, u"XrayReality"_s);
        Services services;
        VPNServiceManager manager(defaults.standard(), services.provider());
        QCOMPARE(manager.selectedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(&manager.activeService(), &services.ikev2);
        QCOMPARE(services.created, QList{VPNProtocolType::IKEv2});
        QVERIFY(!manager.isProxyMode());
        QCOMPARE(manager.serverName(), u"Not Connected"_s);
        // Starting does not rewrite the stored choice.
        QCOMPARE(defaults.standard().string(u"vpnProtocol"_s), std::optional(u"XrayReality"_s));

        manager.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QSignalSpy states(&manager, &VPNServiceManager::connectionStateChanged);
        services.ikev2.setState(VPNConnectionState::connecting());
        services.ikev2.setState(VPNConnectionState::connected());
        // Delivered through the event loop, in order.
        QCOMPARE(manager.connectionState(), VPNConnectionState::disconnected());
        QTRY_COMPARE(states.size(), 2);
        QCOMPARE(states[0][0].value<VPNConnectionState>(), VPNConnectionState::connecting());
        QCOMPARE(manager.connectionState(), VPNConnectionState::connected());

        manager.disconnect();
        QCOMPARE(services.ikev2.disconnectCalls, 1);

        services.xray.setServerName(u"Singapore"_s);
        // Queued before the switch: the old service no longer drives the mirror.
        services.ikev2.setState(VPNConnectionState::error(u"late"_s));
        defaults.standard().remove(u"vpnProtocol"_s);
        manager.setSelectedProtocol(VPNProtocolType::XrayReality);
        QVERIFY(manager.isProxyMode());
        QCOMPARE(defaults.standard().string(u"vpnProtocol"_s), std::optional(u"XrayReality"_s));
        // The new service's values are taken at once; the old tunnel keeps running.
        QCOMPARE(manager.serverName(), u"Singapore"_s);
        QCOMPARE(services.ikev2.disconnectCalls, 1);
        QTest::qWait(50);
        QCOMPARE(manager.connectionState(), VPNConnectionState::disconnected());
        services.xray.setState(VPNConnectionState::connecting());
        QTRY_COMPARE(manager.connectionState(), VPNConnectionState::connecting());

        // Re-assigning the same protocol still writes the key.
        defaults.standard().remove(u"vpnProtocol"_s);
        manager.setSelectedProtocol(VPNProtocolType::XrayReality);
        QCOMPARE(defaults.standard().string(u"vpnProtocol"_s), std::optional(u"XrayReality"_s));
    }

    void switchingToIKEv2DisconnectsOnlyALiveConnection_data()
    {
        QTest::addColumn<VPNConnectionState>("state");
        QTest::addColumn<int>("disconnects");
        QTest::newRow("connected") << VPNConnectionState::connected() << 1;
        QTest::newRow("connecting") << VPNConnectionState::connecting() << 1;
        QTest::newRow("disconnecting") << VPNConnectionState::disconnecting() << 1;
        QTest::newRow("reconnecting") << VPNConnectionState::reconnecting() << 1;
        QTest::newRow("error") << VPNConnectionState::error(u"Connection lost — reconnecting..."_s) << 0;
        QTest::newRow("disconnected") << VPNConnectionState::disconnected() << 0;
    }

    void switchingToIKEv2DisconnectsOnlyALiveConnection()
    {
        QFETCH(VPNConnectionState, state);
        QFETCH(int, disconnects);
        TempDefaults defaults;
        Services services;
        VPNServiceManager manager(defaults.standard(), services.provider());
        manager.setSelectedProtocol(VPNProtocolType::XrayReality);
        services.xray.setState(state);
        QTRY_COMPARE(manager.connectionState(), state);
        // Only a switch to IKEv2 is accepted.
        manager.switchProtocol(VPNProtocolType::WireGuard);
        manager.switchProtocol(VPNProtocolType::XrayReality);
        QCOMPARE(manager.selectedProtocol(), VPNProtocolType::XrayReality);
        QCOMPARE(services.xray.disconnectCalls, 0);

        manager.switchProtocol(VPNProtocolType::IKEv2);
        QCOMPARE(services.xray.disconnectCalls, disconnects);
        QCOMPARE(manager.selectedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(defaults.standard().string(u"vpnProtocol"_s), std::optional(u"IKEv2"_s));

        manager.switchProtocol(VPNProtocolType::IKEv2);
        QCOMPARE(services.xray.disconnectCalls, disconnects);
    }

    void serverNameAndProxyAddressFollowWithinASecond()
    {
        TempDefaults defaults;
        Services services;
        VPNServiceManager manager(defaults.standard(), services.provider());
        QSignalSpy names(&manager, &VPNServiceManager::serverNameChanged);
        services.ikev2.setServerName(u"Singapore"_s);
        // No state is published; only the one-second mirror picks the name up.
        QTRY_COMPARE_WITH_TIMEOUT(manager.serverName(), u"Singapore"_s, 1500);
        QCOMPARE(names.size(), 1);

        // IKEv2 never drives the connected server properties.
        services.ikev2.setConnectedServer(u"sg-node-01"_s, u"203.0.113.10"_s);
        QTest::qWait(1200);
        QCOMPARE(manager.connectedServerId(), std::nullopt);

        manager.setSelectedProtocol(VPNProtocolType::XrayReality);
        services.xray.setConnectedServer(u"us-west-01"_s, u"198.51.100.20"_s);
        QTRY_COMPARE_WITH_TIMEOUT(manager.connectedServerIP(), std::optional(u"198.51.100.20"_s), 1500);
        QCOMPARE(manager.connectedServerId(), std::optional(u"us-west-01"_s));

        // Back on IKEv2 the last values are kept.
        manager.setSelectedProtocol(VPNProtocolType::IKEv2);
        QTest::qWait(1200);
        QCOMPARE(manager.connectedServerId(), std::optional(u"us-west-01"_s));
    }

    // Two managers stand for two processes of the user. The refusal while the
    // first holds the lock is what two real command lines show.
    void oneConnectionPerUser()
    {
        QTemporaryDir runtime;
        const QString lock = runtime.filePath(u"connection.lock"_s);
        TempDefaults defaults;
        Services first, second;
        first.ikev2.followCalls = second.ikev2.followCalls = true;
        VPNServiceManager app(defaults.standard(), first.provider());
        VPNServiceManager cli(defaults.standard(), second.provider());
        app.setConnectionLock(std::make_unique<ConnectionLock>(lock));
        cli.setConnectionLock(std::make_unique<ConnectionLock>(lock));

        app.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        first.ikev2.setState(VPNConnectionState::connected());

        // An error the service recovers from keeps the connection held.
        first.ikev2.recovering = true;
        first.ikev2.setState(VPNConnectionState::error(u"Connection lost — reconnecting..."_s));
        QTRY_VERIFY(app.connectionState().isError());
        QVERIFY(ConnectionLock::holder(lock));
        first.ikev2.recovering = false;
        first.ikev2.setState(VPNConnectionState::error(u"Connection failed — please reconnect manually"_s));
        QTRY_VERIFY(!ConnectionLock::holder(lock));

        cli.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QCOMPARE(second.ikev2.connectCalls.size(), 1);
        QVERIFY(ConnectionLock::holder(lock));
        cli.disconnect();
        QTRY_VERIFY(!ConnectionLock::holder(lock));
    }

    // A wake rechecks too: the lab's wake test.
    void wakeAndPathChangesRecheckTheConnection()
    {
        TempDefaults defaults;
        Services services;
        services.ikev2.followCalls = true;
        FakePathMonitors paths;
        QPointer<ResumeMonitor> resume;
        VPNServiceManager manager(defaults.standard(), services.provider());
        manager.watchSystemEvents(paths.factory(), [&resume] {
            auto monitor = std::make_unique<ResumeMonitor>();
            resume = monitor.get();
            return monitor;
        });
        QVERIFY(!paths.latest() && !resume); // nothing watched while disconnected

        manager.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        services.ikev2.setState(VPNConnectionState::connected());
        QVERIFY(paths.latest() && paths.latest()->started && resume);
        using Path = PathMonitor::Status;
        for (const Path status : {Path::Satisfied, Path::Satisfied, Path::Unsatisfied, Path::Satisfied,
                                  Path::RequiresConnection, Path::Satisfied})
            paths.latest()->report(status);
        // The first report is the path as it is; two returns follow.
        QTRY_COMPARE(services.ikev2.recheckCalls, 2);

        manager.disconnect();
        QTRY_VERIFY(!paths.latest() && !resume);
    }

    void connectFetchesSavesEveryProfileSettingAndStarts()
    {
        Rig rig;
        rig.server.on("GET", ConfigPath + u"?server_id=us-west-01"_s, StubServer::Response::json(200, body(fullConfig())));
        QCOMPARE(rig.manager->serverIdentifier(), rig.manager->serverAddress());
        // Completion-based: nothing has loaded while the constructor ran.
        QVERIFY(!rig.manager->hasSystemVpn());
        QTRY_VERIFY(rig.manager->hasSystemVpn());
        // A disconnect while disconnected still asks the system, and changes no state.
        rig.manager->disconnect();
        QCOMPARE(rig.vpn.stopCalls, 1);

        rig.manager->connect(u"198.51.100.20"_s, u"us-west-01"_s);
        QCOMPARE(rig.manager->connectionState(), VPNConnectionState::connecting());
        QCOMPARE(rig.manager->serverAddress(), u"198.51.100.20"_s);
        QTRY_COMPARE(rig.manager->connectionState(), VPNConnectionState::connected());
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"connected"_s}));
        QVERIFY(rig.manager->isConnected());

        // Its path and query are the route the stub answers.
        QCOMPARE(rig.server.requests().size(), 1);
        QCOMPARE(rig.server.requests().first().header("Authorization"), "Bearer token-abc");
        QCOMPARE(rig.server.requests().first().header("Content-Type"), "application/json");
        QCOMPARE(rig.manager->serverName(), u"United States - San Francisco"_s);

        // Only a reference to the password; settings not named keep their defaults.
        IKEv2Profile profile;
        profile.serverAddress = u"203.0.113.10"_s;
        profile.remoteIdentifier = u"vpn.example.net"_s;
        profile.localIdentifier = u"user-1@velorin"_s;
        profile.username = u"user-1"_s;
        profile.passwordReference = Keychain::makePersistentRef(u"com.velorin.vpn.ikev2"_s, u"vpnpassword"_s);
        profile.serverCertificateIssuerCommonName = u"Velorin VPN CA"_s;
        profile.serverCertificateCommonName = u"203.0.113.10"_s;
        profile.localizedDescription = u"Velorin VPN"_s;
        QCOMPARE(rig.vpn.savedProfiles.size(), 1);
        QVERIFY(rig.vpn.savedProfiles.first() == profile);
        QCOMPARE(rig.keychain.item(u"com.velorin.vpn.ikev2"_s, u"vpnpassword"_s), Password.toUtf8());
        // The daemon gets the password for the saved item only.
        QCOMPARE(rig.manager->savedPassword(profile.passwordReference), Password.toUtf8());
        QCOMPARE(rig.manager->savedPassword(Keychain::makePersistentRef(u"other"_s, u"vpnpassword"_s)), std::nullopt);
        // Construction, then connect, then the reload after the save.
        QCOMPARE(rig.vpn.loadCalls, 3);
        QCOMPARE(rig.vpn.startCalls, 1);
    }

    void fetchFailures_data()
    {
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<int>("response"); // 0 no route, 1 stub answer, 2 a file URL
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");

        QJsonObject noCaName = fullConfig();
        noCaName.remove(u"ca_name"_s);

        const QString id = u"sg-node-01"_s;
        QTest::newRow("no access token") << false << id << 0 << 0 << QByteArray() << u"Please log in again"_s;
        QTest::newRow("blank in the server id") << true << u"us west"_s << 0 << 0 << QByteArray()
                                                << IKEv2Manager::invalidURLMessage;
        QTest::newRow("not an HTTP response") << true << QString() << 2 << 0 << QByteArray()
                                              << IKEv2Manager::invalidResponseMessage;
        QTest::newRow("401 with a configuration") << true << id << 1 << 401 << body(fullConfig())
                                                  << u"Please log in again"_s;
        QTest::newRow("no body") << true << id << 1 << 200 << QByteArray() << IKEv2Manager::noDataMessage;
        // The raw body is logged with the password hidden.
        QTest::newRow("200 without ca_name") << true << id << 1 << 200 << body(noCaName)
                                             << IKEv2Manager::invalidConfigMessage;
        QTest::newRow("refusal the service explains")
            << true << id << 1 << 403 << QByteArray("{\"error\": \"Your subscription has expired. Renew it to connect.\"}")
            << u"Your subscription has expired. Renew it to connect."_s;
    }

    void fetchFailures()
    {
        QFETCH(bool, withToken);
        QFETCH(QString, serverId);
        QFETCH(int, response);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);

        QTemporaryDir files;
        std::optional<QString> baseURL;
        if (response == 2) {
            // A file URL answers without an HTTP status.
            QVERIFY(QDir(files.path()).mkpath(u"api/v1/ikev2"_s));
            QFile file(files.filePath(u"api/v1/ikev2/config"_s));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(body(fullConfig()));
            file.close();
            baseURL = QUrl::fromLocalFile(files.path()).toString();
        }
        Log::Capture log;
        Rig rig(withToken, baseURL);
        if (response == 1)
            rig.serve(StubServer::Response::json(status, answer));

        rig.manager->connect(std::nullopt, serverId.isNull() ? std::nullopt : std::optional<QString>(serverId));
        QTRY_COMPARE(rig.manager->connectionState(), VPNConnectionState::error(message));
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"error: "_s + message}));
        QVERIFY(log.matching(Password).isEmpty());

        QTest::qWait(50);
        QCOMPARE(rig.server.requests().size(), response == 1 ? 1 : 0);
        QVERIFY(rig.vpn.savedProfiles.isEmpty());
        QCOMPARE(rig.vpn.startCalls, 0);
        QCOMPARE(rig.manager->connectionState(), VPNConnectionState::error(message));
    }

    void connectWithoutAnAddressKeepsThePreviousOne()
    {
        Rig rig;
        rig.serve(StubServer::Response::text(503, "busy"));
        rig.manager->connect(u"192.0.2.44"_s, u"sg-node-01"_s);
        QTRY_VERIFY(rig.manager->connectionState().isError());
        rig.manager->connect(std::nullopt, std::nullopt);
        QCOMPARE(rig.manager->connectionState(), VPNConnectionState::connecting());
        QTRY_VERIFY(rig.manager->connectionState().isError());
        QCOMPARE(rig.manager->serverAddress(), u"192.0.2.44"_s);
        QCOMPARE(rig.manager->serverIdentifier(), u"192.0.2.44"_s);
        QCOMPARE(rig.manager->selectedServerId(), std::nullopt);
        QCOMPARE(rig.server.requests().size(), 2);
        QCOMPARE(rig.server.requests().last().query, QString());
    }

    // Each connect stores the password again over the old item (the first
    // store is the connect test's): delete, then add; when the delete fails,
    // the add meets the old item and updates it.
    void storingThePassword_data()
    {
        QTest::addColumn<QList<int>>("failing"); // operations failing with -25293
        QTest::addColumn<bool>("stored");
        QTest::newRow("again") << QList<int>{} << true;
        QTest::newRow("delete fails: update") << QList<int>{int(Op::Remove)} << true;
        QTest::newRow("add refused") << QList<int>{int(Op::Add)} << false;
        QTest::newRow("update refused") << QList<int>{int(Op::Remove), int(Op::Update)} << false;
        QTest::newRow("no reference after the update") << QList<int>{int(Op::Remove), int(Op::Copy)} << false;
    }

    void storingThePassword()
    {
        QFETCH(QList<int>, failing);
        QFETCH(bool, stored);
        Rig rig;
        QTRY_VERIFY(rig.manager->hasSystemVpn());
        rig.keychain.setItem(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount, "old");
        for (int op : failing)
            rig.keychain.failOn(Op(op), Keychain::AuthFailed);
        const std::optional<QByteArray> reference = rig.manager->savePasswordToKeychain("new-pw");
        QCOMPARE(reference.has_value(), stored);
        if (stored) {
            QCOMPARE(*reference, Keychain::makePersistentRef(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount));
            QCOMPARE(rig.keychain.item(IKEv2Manager::keychainService, IKEv2Manager::keychainAccount), "new-pw");
        }
    }

    void systemFailuresEndInError_data()
    {
        QTest::addColumn<int>("failing"); // 0 load, 1 save, 2 reload, 3 start
        QTest::newRow("load") << 0;
        QTest::newRow("save") << 1;
        QTest::newRow("reload") << 2;
        QTest::newRow("start") << 3;
    }

    void systemFailuresEndInError()
    {
        QFETCH(int, failing);
        const QString description = u"The operation couldn't be completed (code 5)"_s;
        Rig rig;
        rig.serve(StubServer::Response::json(200, body(fullConfig())));
        QTRY_VERIFY(rig.manager->hasSystemVpn());
        if (failing == 0 || failing == 2)
            rig.vpn.loadError = description;
        rig.vpn.loadErrorFromCall = failing == 2 ? 3 : 1; // 3: the reload after the save
        if (failing == 1)
            rig.vpn.saveError = description;
        if (failing == 3)
            rig.vpn.startError = description;
        rig.manager->connect(std::nullopt, std::nullopt);
        QTRY_COMPARE(rig.manager->connectionState(), VPNConnectionState::error(description));
        QCOMPARE(rig.vpn.savedProfiles.size(), failing == 0 ? 0 : 1);
        QCOMPARE(rig.vpn.startCalls, failing == 3 ? 1 : 0);
    }

    void everySystemStatus_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("isConnected");
        const auto row = [](const char *name, int before, Status status, const QString &state, bool connected) {
            QTest::newRow(name) << before << int(status) << state << connected;
        };
        const int connected = int(Status::Connected);
        row("invalid", connected, Status::Invalid, u"error: Invalid configuration"_s, false);
        row("reasserting while connected", connected, Status::Reasserting, u"reconnecting"_s, true);
        row("reasserting while not connected", int(Status::Connecting), Status::Reasserting, u"reconnecting"_s, false);
        row("disconnecting", connected, Status::Disconnecting, u"disconnecting"_s, false);
        row("unknown value", connected, Status(42), u"connected"_s, true);
    }

    void everySystemStatus()
    {
        QFETCH(int, before);
        QFETCH(int, status);
        QFETCH(QString, state);
        QFETCH(bool, isConnected);
        Rig rig;
        QTRY_VERIFY(rig.manager->hasSystemVpn());
        QSignalSpy statusSeen(&rig.vpn, &SystemVpn::statusChanged);
        rig.vpn.emitStatus(Status(before));
        QTRY_COMPARE(statusSeen.size(), 1);
        statusSeen.clear();
        rig.vpn.emitStatus(Status(status));
        QTRY_COMPARE(statusSeen.size(), 1);
        QCOMPARE(rig.manager->connectionState().description(), state);
        QCOMPARE(rig.manager->isConnected(), isConnected);
    }

    // Even when the system gives a reason with the end (ends nobody asked for: the lab).
    void aStopTheUserAskedForIsNoError()
    {
        Rig rig;
        rig.serve(StubServer::Response::json(200, body(fullConfig())));
        rig.vpn.startScript = {Status::Connecting};
        rig.manager->connect(std::nullopt, std::nullopt);
        QTRY_COMPARE(rig.vpn.status(), Status::Connecting);
        rig.manager->disconnect();
        rig.vpn.emitFailure(Status::Disconnected, u"The server stopped responding"_s);
        QTRY_COMPARE(rig.vpn.status(), Status::Disconnected);
        QTRY_COMPARE(rig.manager->connectionState(), VPNConnectionState::disconnected());
        QTest::qWait(20);
        QCOMPARE(rig.states.last(), u"disconnected"_s);
        QVERIFY(!rig.manager->isConnected());
    }

    void disconnectDuringTheFetchAbandonsTheAttempt()
    {
        Rig rig;
        rig.serve(StubServer::Response::json(200, body(fullConfig())).after(200ms));
        rig.manager->connect(std::nullopt, std::nullopt);
        QVERIFY(rig.server.waitForRequests(1));
        rig.manager->disconnect();
        QCOMPARE(rig.manager->connectionState(), VPNConnectionState::disconnected());
        QTest::qWait(400);
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"disconnected"_s}));
        QVERIFY(rig.vpn.savedProfiles.isEmpty());
        QCOMPARE(rig.vpn.startCalls, 0);
    }

    // A check after a wake asks after the tunnel: one still there stays
    // connected (one the system no longer has is the lab's wake test).
    void theServiceAdaptsTheManager()
    {
        Rig rig;
        // A complete configuration is used whatever the HTTP status, and a
        // keychain that refuses the password does not stop the connect.
        rig.serve(StubServer::Response::json(500, body(fullConfig())));
        rig.keychain.failOn(Op::Add, Keychain::NotAvailable);
        IKEv2Service service(*rig.manager);
        QCOMPARE(service.protocolType(), VPNProtocolType::IKEv2);
        QVERIFY(!service.isProxyBased());
        QStringList mirrored;
        QObject::connect(&service, &VPNServiceProtocol::connectionStateChanged, &service,
                         [&mirrored](const VPNConnectionState &state) { mirrored.append(state.description()); });
        QCOMPARE(service.connectedServerIP(), std::nullopt);
        // The catalogue's address for the location; the configuration sends
        // the tunnel elsewhere.
        service.connect(u"198.51.100.20"_s, u"us-west-01"_s);
        QTRY_COMPARE(service.connectionState(), VPNConnectionState::connected());
        QCOMPARE(service.connectedServerIP(), std::optional<QString>(u"203.0.113.10"_s));
        QCOMPARE(service.connectedServerId(), std::optional<QString>(u"us-west-01"_s));
        QCOMPARE(service.serverName(), u"United States - San Francisco"_s);
        QVERIFY(rig.vpn.savedProfiles.first().passwordReference.isEmpty());

        service.recheckConnection();
        QCOMPARE(rig.vpn.refreshCalls, 1);
        QTest::qWait(50);
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());

        service.disconnect();
        QTRY_COMPARE(service.connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(rig.vpn.stopCalls, 1);
        QCOMPARE(service.connectedServerIP(), std::nullopt);
        QTRY_COMPARE(mirrored, (QStringList{u"connecting"_s, u"connected"_s, u"disconnecting"_s, u"disconnected"_s}));
    }
};

QTEST_GUILESS_MAIN(TestVPNManagers)
#include "tst_vpnmanagers.moc"
