#include "platform/Log.h"
#include "support/TempDefaults.h"
#include "support/FakePathMonitor.h"
#include "support/TestVpnService.h"
#include "vpn/ConnectionLock.h"
#include "vpn/VPNServiceManager.h"

#include <QtTest>

#include <map>

using namespace Qt::StringLiterals;

using Services = TestVpnServices;

class TestVPNServiceManager : public QObject
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
};

QTEST_GUILESS_MAIN(TestVPNServiceManager)
#include "tst_vpnservicemanager.moc"
