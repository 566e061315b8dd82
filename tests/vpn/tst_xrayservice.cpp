// The Xray service end to end with real child processes: the stub VPN API,
// the fake xray executable (which really proxies) and the recording fake
// proxy tool.
#include "XrayRig.h"

#include <QElapsedTimer>
#include <QFileInfo>

using namespace Qt::StringLiterals;
using namespace XrayTest;

namespace {

QStringList setCalls(int socks, int http)
{
    return QStringList{u"-listallnetworkservices"_s, u"-getinfo Wi-Fi"_s, u"-getinfo Ethernet"_s}
        + proxyOnCalls(u"Wi-Fi"_s, socks, http) + proxyOnCalls(u"Ethernet"_s, socks, http);
}

QStringList restoreCalls()
{
    return proxyOffCalls(u"Wi-Fi"_s) + proxyOffCalls(u"Ethernet"_s);
}

enum class Setup { Normal, NoToken, ClosedApi, Unwritable, NoExecutable, NotExecutable };

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestXrayService : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QThreadPool::globalInstance()->waitForDone(); }

    void connectsCarriesTrafficAndDisconnects()
    {
        Rig rig;
        XrayService &service = rig.make();
        Log::Capture log;
        QVERIFY(rig.connectNow());

        // The request.
        const auto requests = rig.server.requests("GET", u"/api/v1/xray/config"_s);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].query, u"server_id=sg-node-01"_s);
        QCOMPARE(requests[0].header("Authorization"), QByteArray("Bearer vat_test-token"));
        // The published connection.
        QCOMPARE(rig.states, (QList{VPNConnectionState::connecting(), VPNConnectionState::connected()}));
        QCOMPARE(service.serverName(), u"Singapore"_s);
        QCOMPARE(service.connectedServerId(), u"sg-node-01"_s);
        QCOMPARE(service.connectedServerIP(), u"203.0.113.10"_s);
        QCOMPARE(service.selectedServerIP(), u"203.0.113.10"_s);
        QCOMPARE(service.reconnectAttempts(), 0);
        QCOMPARE(service.configFilePath(), rig.configPath());
        QVERIFY(QFileInfo::exists(rig.configPath()));
        QVERIFY(rig.monitors.latest() && rig.monitors.latest()->started);
        // The proxies of both services point at the child, set once.
        QCOMPARE(rig.tool.calls(), setCalls(rig.socksPort, rig.httpPort));
        QCOMPARE(service.activeNetworkServices(), (QStringList{u"Wi-Fi"_s, u"Ethernet"_s}));
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), true);
        // The log, in order (the proxy tool's lines come from a worker thread
        // between the port test and the connected line).
        const QStringList lines = log.matching(u" Xray: "_s);
        QCOMPARE(lines.first(), u"🔮 Xray: Connect requested → server_id: sg-node-01"_s);
        QCOMPARE(lines.mid(1, 3), (QStringList{u"🔄 Xray: Fetching config from API..."_s,
                                               u"✅ Xray: Config loaded — Server: 203.0.113.10"_s,
                                               u"✅ Xray: Config written to "_s + rig.configPath()}));
        QVERIFY(lines.contains(u"✅ Xray: Process running, SOCKS port open"_s));
        QCOMPARE(lines.mid(lines.size() - 2), (QStringList{u"🌐 Xray: Network monitor started"_s,
                                                           u"✅ Xray: Connected via 203.0.113.10:443"_s}));

        // Real traffic through both local ports of the child.
        const quint16 target = rig.server.port();
        QVERIFY(getThroughSocks(rig.socksPort, target).endsWith("hello through the proxy"));
        QVERIFY(getThroughHttpProxy(rig.httpPort, target, false).endsWith("hello through the proxy"));
        QVERIFY(getThroughHttpProxy(rig.httpPort, target, true).endsWith("hello through the proxy"));
        QCOMPARE(rig.server.requests("GET", u"/hello"_s).size(), 3);

        // Disconnect: returns at once, finishes when the proxies are restored.
        const qint64 pid = service.xrayProcessId();
        QVERIFY(pid > 0);
        rig.tool.clearCalls();
        rig.states.clear();
        log.clear();
        service.disconnect();
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnecting());
        QVERIFY(!QFileInfo::exists(rig.configPath()));
        QVERIFY(service.configFilePath().isEmpty());
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
        QCOMPARE(rig.states, (QList{VPNConnectionState::disconnecting(), VPNConnectionState::disconnected()}));
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::servicesKey));
        QCOMPARE(service.serverName(), u"Not Connected"_s);
        QCOMPARE(service.connectedServerId(), std::nullopt);
        QCOMPARE(service.connectedServerIP(), std::nullopt);
        QVERIFY(rig.monitors.latest() == nullptr || rig.monitors.latest()->cancelled);
        QVERIFY(FakeXray::waitUntilGone(pid));
        // The stopped child's exit is only logged.
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(log.lines().mid(0, 2), (QStringList{u"🔮 Xray: Disconnect requested"_s, u"✅ Xray: Process terminated"_s}));
        QVERIFY(log.contains(u"✅ Xray: Disconnected"_s));
        // The user's credential appeared in no log line.
        for (const QString &line : Log::recentLines())
            QVERIFY2(!line.contains(kUuid), qPrintable(line));
    }

    void connectWithoutServerIdAsksForTheDefault()
    {
        Rig rig;
        XrayService &service = rig.make();
        Log::Capture log;
        service.connect(std::nullopt, std::nullopt);
        QVERIFY(rig.waitForState(VPNConnectionState::connected()));
        QCOMPARE(rig.server.requests()[0].query, QString());
        QVERIFY(log.contains(u"🔮 Xray: Connect requested → server_id: default"_s));
        QCOMPARE(service.connectedServerId(), std::nullopt);
    }

    void pipelineFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("logLine"); // the line the failure leaves (prefix)
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("requests");
        QJsonObject noFlow = configBody();
        noFlow.remove(u"flow"_s);
        const QByteArray good = QJsonDocument(configBody()).toJson();
        const QString fetch = XrayService::fetchFailedMessage;
        const QString start = XrayService::startFailedMessage;
        QTest::newRow("no token") << Setup::NoToken << u"sg-node-01"_s << 200 << good
                                  << u"❌ Xray: No auth token"_s << fetch << 0;
        QTest::newRow("server id with a blank") << Setup::Normal << u"sg node"_s << 200 << good << QString() << fetch << 0;
        QTest::newRow("401, no refresh") << Setup::Normal << u"sg-node-01"_s << 401 << QByteArray("{\"error\":\"expired\"}")
                                         << u"❌ Xray: Bad response"_s << fetch << 1;
        QTest::newRow("200 without a body") << Setup::Normal << u"sg-node-01"_s << 200 << QByteArray()
                                            << u"❌ Xray: Bad response"_s << fetch << 1;
        QTest::newRow("body without flow") << Setup::Normal << u"sg-node-01"_s << 200 << QJsonDocument(noFlow).toJson()
                                           << u"❌ Xray: Decode error: Missing key \"flow\""_s << fetch << 1;
        QTest::newRow("transport error") << Setup::ClosedApi << u"sg-node-01"_s << 200 << good
                                         << u"❌ Xray: API error: Connection refused"_s << fetch << 0;
        QTest::newRow("file not written") << Setup::Unwritable << u"sg-node-01"_s << 200 << good
                                          << u"❌ Xray: Failed to write config: "_s << XrayService::writeFailedMessage << 1;
        QTest::newRow("no executable") << Setup::NoExecutable << u"sg-node-01"_s << 200 << good
                                       << u"❌ Xray: Binary not found in app bundle"_s << start << 1;
        QTest::newRow("executable does not start") << Setup::NotExecutable << u"sg-node-01"_s << 200 << good
                                                   << u"❌ Xray: Failed to launch: "_s << start << 1;
    }

    void pipelineFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, serverId);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, logLine);
        QFETCH(QString, message);
        QFETCH(int, requests);
        Rig rig;
        rig.server.on("GET", u"/api/v1/xray/config"_s,
                      body.isEmpty() ? StubServer::Response::empty(status) : StubServer::Response::json(status, body));
        switch (setup) {
        case Setup::Normal:
            break;
        case Setup::NoToken:
            rig.keychain.deleteKey(KeychainManager::accessTokenKey);
            break;
        case Setup::ClosedApi:
            rig.options.endpoints = Endpoints::at(u"http://127.0.0.1:"_s + QString::number(StubServer::closedPort()));
            break;
        case Setup::Unwritable: {
            QFile file(rig.options.configDirectory);
            QVERIFY(file.open(QIODevice::WriteOnly)); // a file where the folder should be
            break;
        }
        case Setup::NoExecutable:
            rig.options.bundledXrayPaths = {rig.work.filePath(u"missing/xray"_s)};
            break;
        case Setup::NotExecutable: {
            const QString path = rig.work.filePath(u"xray"_s);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not a program");
            rig.options.bundledXrayPaths = {path};
            break;
        }
        }
        XrayService &service = rig.make();
        Log::Capture log;
        service.connect(u"203.0.113.10"_s, serverId);
        QVERIFY(rig.waitForState(VPNConnectionState::error(message)));
        QCOMPARE(rig.states.first(), VPNConnectionState::connecting());
        QCOMPARE(rig.server.requests().size(), requests);
        if (!logLine.isEmpty())
            QVERIFY2(!log.matching(logLine).isEmpty(), qPrintable(log.lines().join(u'\n')));
        // Nothing further: no proxies touched, no child, no restart.
        QTest::qWait(300);
        QCOMPARE(service.connectionState(), VPNConnectionState::error(message));
        QVERIFY(rig.tool.calls().isEmpty());
        QCOMPARE(service.xrayProcessId(), 0);
        QCOMPARE(service.reconnectAttempts(), 0);
        QVERIFY(rig.xray.launches().isEmpty());
    }

    void portNotOpenAfterOneSecondLeavesTheChildForDisconnect()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_DELAY_MS"_s, u"1500"_s);
        XrayService &service = rig.make();
        Log::Capture log;
        service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::startFailedMessage)));
        QVERIFY(log.contains(u"❌ Xray: Process running but SOCKS port not open"_s));
        QVERIFY(rig.tool.calls().isEmpty());
        const qint64 pid = service.xrayProcessId();
        QVERIFY(FakeXray::isAlive(pid));
        // The child opens its port later; still no connection is claimed.
        QVERIFY(spinUntil([&] { return XrayService::isPortOpen(rig.socksPort); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::error(XrayService::startFailedMessage));

        service.disconnect();
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
        QVERIFY(FakeXray::waitUntilGone(pid));
    }

    void aNewConnectStopsTheChildAnEarlierOneLeftRunning()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_DELAY_MS"_s, u"1500"_s);
        XrayService &service = rig.make();
        service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::startFailedMessage)));
        const qint64 first = service.xrayProcessId();
        // The first child takes the ports; unless it is stopped before the
        // second starts, the second cannot listen and the connect fails.
        QVERIFY(spinUntil([&] { return XrayService::isPortOpen(rig.socksPort); }));
        qputenv("FAKE_XRAY_DELAY_MS", "0");
        QVERIFY(rig.connectNow());
        QVERIFY(!FakeXray::isAlive(first));
        QCOMPARE(rig.xray.launches().size(), 2);
        QVERIFY(getThroughSocks(rig.socksPort, rig.server.port()).endsWith("hello through the proxy"));
    }

    void aChattyChildDoesNotStall()
    {
        Rig rig;
        // Far more than a pipe holds: a child writing into an undrained pipe
        // would block before it ever listens.
        rig.xray.set(u"FAKE_XRAY_CHATTY"_s, u"2097152"_s);
        rig.make();
        QVERIFY(rig.connectNow());
    }

    void locatesTheExecutable()
    {
        Rig rig;
        const QString bundled = rig.work.filePath(u"bundle/xray"_s);
        const QString development = rig.work.filePath(u"dev-xray"_s);
        rig.options.bundledXrayPaths = {rig.work.filePath(u"elsewhere/xray"_s), bundled};
        rig.options.developmentXrayPath = development;
        XrayService &service = rig.make();
        Log::Capture log;
        QCOMPARE(service.locateXrayBinary(), std::nullopt);
        QCOMPARE(log.lines(), QStringList{u"❌ Xray: Binary not found in app bundle"_s});

        QFile(development).open(QIODevice::WriteOnly);
        log.clear();
        QCOMPARE(service.locateXrayBinary(), development);
        QCOMPARE(log.lines(), (QStringList{u"❌ Xray: Binary not found in app bundle"_s,
                                           u"⚠️ Xray: Using development binary at "_s + development}));

        QDir().mkpath(rig.work.filePath(u"bundle"_s));
        QFile(bundled).open(QIODevice::WriteOnly);
        log.clear();
        QCOMPARE(service.locateXrayBinary(), bundled);
        QVERIFY(log.lines().isEmpty());
    }

    void aChildThatDiesIsRestarted()
    {
        Rig rig;
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        Log::Capture log;
        rig.killChild();
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::connectionLostMessage)));
        QCOMPARE(log.lines().mid(0, 3),
                 (QStringList{u"⚠️ Xray: Process terminated with code 9"_s,
                              u"🛡️ Xray: Kill switch active — proxy stays set, attempting reconnect..."_s,
                              u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s}));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        QVERIFY2(clock.elapsed() >= 2900, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(log.contains(u"✅ Xray: Reconnected successfully"_s));
        QCOMPARE(service.reconnectAttempts(), 0);
        // The proxies stayed set: no tool call at all; the rest is kept.
        QVERIFY(rig.tool.calls().isEmpty());
        QCOMPARE(service.serverName(), u"Singapore"_s);
        QCOMPARE(service.connectedServerIP(), u"203.0.113.10"_s);
        QCOMPARE(rig.monitors.created.size(), 1);
        QCOMPARE(rig.xray.launches().size(), 2);
        QVERIFY(getThroughSocks(rig.socksPort, rig.server.port()).endsWith("hello through the proxy"));
    }

    void aRestartSucceedsOnTheSecondAttempt()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"2"_s); // the first restart never listens
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        Log::Capture log;
        rig.killChild();
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::connectionLostMessage)));
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 12000));
        QCOMPARE(log.matching(u"Xray: Reconnect attempt"_s),
                 (QStringList{u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s, u"🔄 Xray: Reconnect attempt 2/3 in 4.0s..."_s}));
        QCOMPARE(log.matching(u"❌ Xray: Process running but SOCKS port not open"_s).size(), 1);
        const QList<qint64> launches = rig.xray.launches();
        QCOMPARE(launches.size(), 3);
        QVERIFY(!FakeXray::isAlive(launches[1])); // the silent one was stopped before the next start
        QCOMPARE(service.reconnectAttempts(), 0);

        // A later exit starts again at attempt 1.
        log.clear();
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s); }));
        service.disconnect();
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
    }

    void disconnectCancelsAPendingRestart()
    {
        Rig rig;
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        Log::Capture log;
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s); }));
        service.disconnect();
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
        QTest::qWait(3500);
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(rig.xray.launches().size(), 1);
        QCOMPARE(service.reconnectAttempts(), 0);
        QVERIFY(!XrayService::isPortOpen(rig.socksPort));
    }

    void networkLossKeepsTheChildAndItsReturnIsTested()
    {
        Rig rig;
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        FakePathMonitor *monitor = rig.monitors.latest();
        const qint64 pid = service.xrayProcessId();
        rig.tool.clearCalls();
        Log::Capture log;

        // A satisfied path while connected changes nothing.
        monitor->report(PathMonitor::Status::Satisfied);
        QTest::qWait(100);
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());

        monitor->report(PathMonitor::Status::Unsatisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::networkUnavailableMessage)));
        QVERIFY(log.contains(u"🌐 Xray: Network lost"_s));
        QVERIFY(FakeXray::isAlive(pid));
        QVERIFY(rig.tool.calls().isEmpty());

        // Back, and the child still answers: connected again.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::connected()));
        QCOMPARE(service.xrayProcessId(), pid);

        // Lost again, and the child dies meanwhile (only logged) ...
        monitor->report(PathMonitor::Status::Unsatisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::networkUnavailableMessage)));
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 9"_s); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::error(XrayService::networkUnavailableMessage));
        // ... so its return finds the port closed and restarts it.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::connectionLostMessage)));
        QVERIFY(log.contains(u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s));
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        QVERIFY(rig.tool.calls().isEmpty());
    }

    void networkReturnDuringRestartsResetsTheCounter()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"2"_s);
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        Log::Capture log;
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"🔄 Xray: Reconnect attempt 2/3 in 4.0s..."_s); }, 6000));
        QCOMPARE(service.reconnectAttempts(), 2);
        log.clear();
        rig.monitors.latest()->report(PathMonitor::Status::Satisfied);
        QVERIFY(spinUntil([&] { return log.contains(u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s); }));
        QCOMPARE(log.lines().first(), u"🌐 Xray: Network restored — triggering reconnect"_s);
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        // The replaced restart did not run as well: one restart after the reset.
        QTest::qWait(2500);
        QCOMPARE(rig.xray.launches().size(), 3);
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());
    }

    void quittingWhileConnectedRestoresAndStopsEverything()
    {
        Rig rig;
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        const qint64 pid = service.xrayProcessId();
        rig.tool.clearCalls();
        Log::Capture log;
        service.handleAppTermination();
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(log.lines().mid(0, 2), (QStringList{u"🛡️ Xray: Kill switch deactivated"_s,
                                                     u"⚠️ Xray: App terminating — cleaning up proxy"_s}));
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QCOMPARE(rig.defaults.standard().stringList(SystemProxy::servicesKey), (QStringList{u"Wi-Fi"_s, u"Ethernet"_s}));
        QVERIFY(FakeXray::waitUntilGone(pid));
        QVERIFY(!QFileInfo::exists(rig.configPath()));
        // Its exit starts no restart.
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
        QTest::qWait(100);
        QVERIFY(log.matching(u"attempting reconnect"_s).isEmpty());
        QCOMPARE(service.reconnectAttempts(), 0);

        // The next run's service finds nothing owed.
        rig.tool.clearCalls();
        rig.defaults.restart();
        XrayService next(rig.keychain, rig.defaults.standard(), rig.options);
        bool done = false;
        next.runLaunchCleanup([&] { done = true; });
        QVERIFY(spinUntil([&] { return done; }));
        QVERIFY(rig.tool.calls().isEmpty());
    }

    void theTerminationSignalIsHandledOnAWorkerThenQuits()
    {
        Rig rig;
        rig.tool.setDelayMs(100); // every tool call takes a while
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        int quits = 0;
        service.installTerminationHooks(true, [&] { ++quits; });
        rig.tool.clearCalls();

        // The main thread keeps running while the six calls take their time.
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] { ++ticks; });
        ticker.start(20);
        QElapsedTimer clock;
        clock.start();
        ::raise(SIGTERM);
        QVERIFY(spinUntil([&] { return quits == 1; }));
        QVERIFY(clock.elapsed() >= 600);
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::servicesKey));

        // The application then quits normally: the child stops, nothing is restored twice.
        const qint64 pid = service.xrayProcessId();
        rig.tool.clearCalls();
        Log::Capture log;
        service.handleAppTermination();
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(FakeXray::waitUntilGone(pid));
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
    }
};

QTEST_GUILESS_MAIN(TestXrayService)
#include "tst_xrayservice.moc"
