// The Xray service end to end with real child processes: the stub VPN API,
// the fake xray executable (which really proxies) and the recording fake
// proxy tool.
#include "XrayRig.h"

#include "vpn/xray/XrayBinary.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>

using namespace Qt::StringLiterals;
using namespace XrayTest;

namespace {
enum class Setup { Normal, NoToken, ClosedApi, Unwritable, NoExecutable, NotExecutable };
}
Q_DECLARE_METATYPE(Setup)

class TestXrayService : public QObject
{
    Q_OBJECT

private slots:
    void connectsCarriesTrafficAndDisconnects()
    {
        Rig rig;
        XrayService &service = rig.make();
        Log::Capture log;
        QVERIFY(rig.connectNow());

        const auto requests = rig.server.requests("GET", u"/api/v1/xray/config"_s);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].query, u"server_id=sg-node-01"_s);
        QCOMPARE(requests[0].header("Authorization"), QByteArray("Bearer vat_test-token"));
        QCOMPARE(rig.states, (QList{VPNConnectionState::connecting(), VPNConnectionState::connected()}));
        QCOMPARE(service.serverName(), u"Singapore"_s);
        QCOMPARE(service.connectedServerId(), u"sg-node-01"_s);
        QCOMPARE(service.connectedServerIP(), u"203.0.113.10"_s);
        QCOMPARE(service.configFilePath(), rig.configPath());
        QVERIFY(rig.monitors.latest() && rig.monitors.latest()->started);
        // The proxies of both services point at the child.
        QCOMPARE(rig.tool.calls(), QStringList({u"-listallnetworkservices"_s, u"-getinfo Wi-Fi"_s, u"-getinfo Ethernet"_s})
                                       + proxyOnCalls(u"Wi-Fi"_s, rig.socksPort, rig.httpPort)
                                       + proxyOnCalls(u"Ethernet"_s, rig.socksPort, rig.httpPort));
        QStringList lines = log.matching(u" Xray: "_s);
        QCOMPARE(lines.takeAt(1), u"🔍 Xray: System proxy back-end: the proxy tool "_s + rig.tool.toolPath()
                                      + u" — the proxy tool is installed"_s);
        QCOMPARE(lines.mid(0, 4), (QStringList{u"🔮 Xray: Connect requested → server_id: sg-node-01"_s,
                                               u"🔄 Xray: Fetching config from API..."_s,
                                               u"✅ Xray: Config loaded — Server: 203.0.113.10"_s,
                                               u"✅ Xray: Config written to "_s + rig.configPath()}));
        QCOMPARE(lines[4], u"✅ Xray: Process running, SOCKS port open"_s);
        QCOMPARE(lines.mid(lines.size() - 2), (QStringList{u"🌐 Xray: Network monitor started"_s,
                                                           u"✅ Xray: Connected via 203.0.113.10:443"_s}));

        // Real traffic through both local ports of the child.
        const quint16 target = rig.server.port();
        QVERIFY(rig.trafficFlows());
        QVERIFY(ProxyClient::getThroughHttpProxy(rig.httpPort, target, false).endsWith("hello through the proxy"));
        QVERIFY(ProxyClient::getThroughHttpProxy(rig.httpPort, target, true).endsWith("hello through the proxy"));

        // Disconnect returns at once and finishes once the proxies are restored.
        const qint64 pid = service.xrayProcessId();
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
        QCOMPARE(service.serverName(), u"Not Connected"_s);
        QCOMPARE(service.connectedServerIP(), std::nullopt);
        QVERIFY(!rig.monitors.latest());
        QVERIFY(FakeXray::waitUntilGone(pid));
        // The stopped child's exit is only logged.
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(log.lines().mid(0, 2), (QStringList{u"🔮 Xray: Disconnect requested"_s, u"✅ Xray: Process terminated"_s}));
        QVERIFY(log.contains(u"✅ Xray: Disconnected"_s));
        for (const QString &line : Log::recentLines())
            QVERIFY2(!line.contains(kUuid), qPrintable(line));
    }

    void connectWithoutServerIdAsksForTheDefault()
    {
        Rig rig;
        Log::Capture log;
        rig.make().connect(std::nullopt, std::nullopt);
        QVERIFY(rig.waitForState(VPNConnectionState::connected()));
        QVERIFY(log.contains(u"🔮 Xray: Connect requested → server_id: default"_s));
        QCOMPARE(rig.server.requests()[0].query, QString());
        QCOMPARE(rig.service->connectedServerId(), std::nullopt);
    }

    void pipelineFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("logLine"); // the start of the line the failure leaves
        QTest::addColumn<QString>("message");
        QJsonObject noFlow = configBody();
        noFlow.remove(u"flow"_s);
        const QByteArray good = QJsonDocument(configBody()).toJson();
        const QString fetch = XrayService::fetchFailedMessage;
        const QString id = u"sg-node-01"_s;
        QTest::newRow("no token") << Setup::NoToken << id << 200 << good << u"❌ Xray: No auth token"_s << fetch;
        QTest::newRow("server id with a blank") << Setup::Normal << u"sg node"_s << 200 << good << QString() << fetch;
        QTest::newRow("401, no refresh") << Setup::Normal << id << 401 << QByteArray("{}") << u"❌ Xray: Bad response"_s << fetch;
        QTest::newRow("200 without a body") << Setup::Normal << id << 200 << QByteArray() << u"❌ Xray: Bad response"_s << fetch;
        QTest::newRow("body without flow") << Setup::Normal << id << 200 << QJsonDocument(noFlow).toJson()
                                           << u"❌ Xray: Decode error: Missing key \"flow\""_s << fetch;
        QTest::newRow("transport error") << Setup::ClosedApi << id << 200 << good
                                         << u"❌ Xray: API error: Connection refused"_s << fetch;
        QTest::newRow("file not written") << Setup::Unwritable << id << 200 << good
                                          << u"❌ Xray: Failed to write config: "_s << XrayService::writeFailedMessage;
        // Found missing before anything is asked for or changed.
        QTest::newRow("no executable") << Setup::NoExecutable << id << 200 << good
                                       << u"❌ Xray: Binary not found in app bundle"_s << XrayBinary::missingMessage();
        QTest::newRow("executable does not start") << Setup::NotExecutable << id << 200 << good
                                                   << u"❌ Xray: Failed to launch: "_s << u"The xray at "_s;
    }

    void pipelineFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, serverId);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, logLine);
        QFETCH(QString, message);
        Rig rig;
        rig.server.on("GET", u"/api/v1/xray/config"_s,
                      body.isEmpty() ? StubServer::Response::empty(status) : StubServer::Response::json(status, body));
        const QString file = rig.work.filePath(u"xray"_s);
        if (setup == Setup::NoToken)
            rig.keychain.deleteKey(KeychainManager::accessTokenKey);
        if (setup == Setup::ClosedApi)
            rig.options.endpoints = Endpoints::at(u"http://127.0.0.1:"_s + QString::number(StubServer::closedPort()));
        if (setup == Setup::Unwritable) // a file where the folder should be
            QFile(rig.options.configDirectory).open(QIODevice::WriteOnly);
        if (setup == Setup::NoExecutable)
            rig.options.bundledXrayPaths = {file};
        if (setup == Setup::NotExecutable) {
            QFile(file).open(QIODevice::WriteOnly);
            rig.options.bundledXrayPaths = {file};
        }
        XrayService &service = rig.make();
        Log::Capture log;
        service.connect(u"203.0.113.10"_s, serverId);
        QVERIFY(spinUntil([&] { return service.connectionState().errorMessage().startsWith(message); }));
        message = service.connectionState().errorMessage();
        QCOMPARE(rig.states.first(), VPNConnectionState::connecting());
        const bool asks = setup != Setup::NoToken && setup != Setup::ClosedApi && !serverId.contains(u' ')
            && setup != Setup::NoExecutable && setup != Setup::NotExecutable;
        QCOMPARE(rig.server.requests().size(), asks ? 1 : 0);
        if (!logLine.isEmpty())
            QVERIFY2(!log.matching(logLine).isEmpty(), qPrintable(log.lines().join(u'\n')));
        // Nothing further: no proxies touched, no child, no restart.
        QTest::qWait(300);
        QCOMPARE(service.connectionState(), VPNConnectionState::error(message));
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(rig.xray.launches().isEmpty());
        QCOMPARE(service.reconnectAttempts(), 0);
    }

    void aChildWhosePortStaysClosedIsStoppedLater()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_DELAY_MS"_s, u"1500"_s);
        XrayService &service = rig.make();
        Log::Capture log;
        for (int round = 0; round < 2; ++round) {
            rig.tool.clearCalls();
            service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
            QVERIFY(rig.waitForError(XrayService::startFailedMessage));
            QVERIFY(log.contains(u"❌ Xray: Process running but SOCKS port not open"_s));
            QVERIFY(rig.tool.calls().isEmpty());
            // The child is left running and opens its port later; no connection is claimed.
            QVERIFY(spinUntil([&] { return XrayService::isPortOpen(rig.socksPort); }));
            QCOMPARE(service.connectionState(), VPNConnectionState::error(XrayService::startFailedMessage));
            const qint64 pid = service.xrayProcessId();
            QVERIFY(FakeXray::isAlive(pid));
            if (round == 0) {
                // A disconnect stops it.
                service.disconnect();
                QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
                QVERIFY(FakeXray::waitUntilGone(pid));
            } else {
                // So does a new connect, before its own child starts: the new
                // child could not listen while the old one holds the ports.
                qputenv("FAKE_XRAY_DELAY_MS", "0");
                QVERIFY(rig.connectNow());
                QVERIFY(!FakeXray::isAlive(pid));
                QVERIFY(rig.trafficFlows());
            }
        }
    }

    // A desktop without a proxy store: the connect says so before anything
    // happens; proxy-only connects and leaves the settings alone.
    void withoutAProxyStore()
    {
        Rig rig;
        rig.options.proxyToolPath = rig.work.filePath(u"no-such-tool"_s);
        rig.options.currentDesktop = u"sway"_s;
        XrayService &service = rig.make();
        service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        const ProxyEndpoints ports{u"127.0.0.1"_s, rig.socksPort, rig.httpPort};
        QVERIFY(rig.waitForError(ProxyBackends::noStoreMessage(u"sway"_s, ports)));
        QVERIFY(rig.server.requests().isEmpty());
        QVERIFY(rig.xray.launches().isEmpty());

        service.setProxyOnly(true);
        QVERIFY(rig.connectNow());
        QVERIFY(rig.trafficFlows());
        service.disconnect();
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::activeKey));
    }

    // Another program on a local port: before the start it is named and
    // nothing starts; after it (the port answers, but not from our child)
    // the child is stopped and no proxy points at the stranger.
    void aStrangerOnThePorts_data()
    {
        QTest::addColumn<bool>("socks");
        QTest::addColumn<bool>("beforeTheStart");
        QTest::newRow("SOCKS port, before") << true << true;
        QTest::newRow("HTTP port, before") << false << true;
        QTest::newRow("SOCKS port, after the start") << true << false;
    }

    void aStrangerOnThePorts()
    {
        QFETCH(bool, socks);
        QFETCH(bool, beforeTheStart);
        Rig rig;
        const int port = socks ? rig.socksPort : rig.httpPort;
        QFile comm(u"/proc/self/comm"_s);
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString me = QString::fromUtf8(comm.readAll()).trimmed() + u" (process "_s
            + QString::number(QCoreApplication::applicationPid()) + u')';
        QTcpServer stranger;
        if (beforeTheStart)
            QVERIFY(stranger.listen(QHostAddress::LocalHost, quint16(port)));
        else
            rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"all"_s);
        XrayService &service = rig.make();
        service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        if (!beforeTheStart) {
            QVERIFY(spinUntil([&] { return rig.xray.launches().size() == 1; }));
            QVERIFY(stranger.listen(QHostAddress::LocalHost, quint16(port)));
        }
        QVERIFY(spinUntil([&] { return service.connectionState().isError(); }));
        const QString expected = beforeTheStart
            ? u"Port "_s + QString::number(port) + u" on 127.0.0.1, which xray needs, is already in use by "_s + me
            : u"Port "_s + QString::number(port) + u" answers, but not from xray: it belongs to "_s + me;
        QCOMPARE(service.connectionState().errorMessage(), expected + u". Quit that program, then connect again."_s);
        QCOMPARE(rig.xray.launches().size(), beforeTheStart ? 0 : 1);
        if (!beforeTheStart)
            QVERIFY(FakeXray::waitUntilGone(rig.xray.launches().first()));
        QVERIFY(rig.tool.calls().isEmpty());
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
        const QString bundled = rig.work.filePath(u"bundled-xray"_s);
        const QString system = rig.work.filePath(u"bin/xray"_s);
        const QString named = rig.work.filePath(u"named-xray"_s);
        rig.options.bundledXrayPaths = {rig.work.filePath(u"elsewhere/xray"_s), bundled};
        rig.options.systemXrayPaths = {rig.work.filePath(u"nowhere/xray"_s), system};
        XrayService &service = rig.make();
        QCOMPARE(service.locateXrayBinary(), std::nullopt);
        // On the system's paths only an executable counts.
        QDir().mkpath(rig.work.filePath(u"bin"_s));
        QFile(system).open(QIODevice::WriteOnly);
        QCOMPARE(service.locateXrayBinary(), std::nullopt);
        QFile(system).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(service.locateXrayBinary(), system);
        QFile(bundled).open(QIODevice::WriteOnly);
        QCOMPARE(service.locateXrayBinary(), bundled);
        // A named one wins and is never passed over for another.
        rig.defaults.standard().set(XrayService::xrayPathKey, named);
        QCOMPARE(service.locateXrayBinary(), std::nullopt);
        QFile(named).open(QIODevice::WriteOnly);
        QCOMPARE(service.locateXrayBinary(), named);
    }

    // `xray version` decides, before the API is asked or anything changes.
    void anXrayThatCannotDoRealityIsRefused_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // its start; empty: accepted
        QTest::newRow("1.8.0") << u"Xray 1.8.0 (Xray, Penetrates Everything.)"_s << 0 << QString();
        QTest::newRow("too old") << u"Xray 1.7.5 (Xray, Penetrates Everything.)"_s << 0
                                 << u"The xray at %1 is version 1.7.5, too old for VLESS with REALITY."_s;
        QTest::newRow("V2Ray") << u"V2Ray 5.4.1 (V2Fly, a community-driven edition of V2Ray.)"_s << 0
                               << u"%1 is V2Ray, which cannot connect with VLESS and REALITY."_s;
        QTest::newRow("no answer") << QString() << 2 << u"%1 did not answer “xray version” as Xray-core does"_s;
    }

    void anXrayThatCannotDoRealityIsRefused()
    {
        QFETCH(QString, answer);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_VERSION"_s, answer);
        rig.xray.set(u"FAKE_XRAY_VERSION_EXIT"_s, QString::number(exitCode));
        XrayService &service = rig.make();
        service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        if (message.isEmpty()) {
            QVERIFY(rig.waitForState(VPNConnectionState::connected(), 10000));
            return;
        }
        QVERIFY(spinUntil([&] { return service.connectionState().kind() == VPNConnectionState::Kind::Error; }));
        QVERIFY2(service.connectionState().errorMessage().startsWith(message.arg(rig.xray.executablePath())),
                 qPrintable(service.connectionState().errorMessage()));
        QVERIFY(service.connectionState().errorMessage().contains(u"Install Xray-core 1.8.0 or newer"_s));
        QVERIFY(rig.server.requests().isEmpty());
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(rig.xray.launches().isEmpty());
    }

    void aChildThatDiesIsRestarted()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"2"_s); // the first restart never listens
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        Log::Capture log;
        QElapsedTimer clock;
        clock.start();
        rig.killChild();
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
        QCOMPARE(log.lines().mid(0, 3),
                 (QStringList{u"⚠️ Xray: Process terminated with code 9"_s,
                              u"🛡️ Xray: Kill switch active — proxy stays set, attempting reconnect..."_s,
                              u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s}));
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 12000));
        // 2 s + 1 s test + 4 s + 1 s test.
        QVERIFY2(clock.elapsed() >= 7800, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(log.matching(u"Xray: Reconnect attempt"_s),
                 (QStringList{u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s, u"🔄 Xray: Reconnect attempt 2/3 in 4.0s..."_s}));
        QCOMPARE(log.lines().last(), u"✅ Xray: Reconnected successfully"_s);
        QCOMPARE(service.reconnectAttempts(), 0);
        const QList<qint64> launches = rig.xray.launches();
        QCOMPARE(launches.size(), 3);
        QVERIFY(!FakeXray::isAlive(launches[1])); // the silent one was stopped before the next start
        // The proxies stayed set: no tool call; the rest is kept.
        QVERIFY(rig.tool.calls().isEmpty());
        QCOMPARE(service.serverName(), u"Singapore"_s);
        QCOMPARE(rig.monitors.created.size(), 1);
        QVERIFY(rig.trafficFlows());

        // A later exit starts again at attempt 1.
        log.clear();
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s); }));
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
        const auto unavailable = VPNConnectionState::error(XrayService::networkUnavailableMessage);

        monitor->report(PathMonitor::Status::Satisfied); // while connected: nothing
        monitor->report(PathMonitor::Status::Unsatisfied);
        QVERIFY(rig.waitForState(unavailable));
        QCOMPARE(rig.states.mid(2), QList{unavailable});
        QCOMPARE(log.lines(), QStringList{u"🌐 Xray: Network lost"_s});
        // Back, and the child still answers: connected again, same child.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::connected()));
        QCOMPARE(service.xrayProcessId(), pid);

        // Lost again, and the child dies meanwhile (only logged) ...
        monitor->report(PathMonitor::Status::Unsatisfied);
        QVERIFY(rig.waitForState(unavailable));
        rig.killChild();
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 9"_s); }));
        QCOMPARE(service.connectionState(), unavailable);
        // ... so its return finds the port closed and restarts it.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
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
        log.clear();
        rig.monitors.latest()->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        QCOMPARE(log.lines().mid(0, 2), (QStringList{u"🌐 Xray: Network restored — triggering reconnect"_s,
                                                     u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s}));
        // The restart it replaced does not run as well.
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
        QCOMPARE(log.lines(), (QStringList{u"🛡️ Xray: Kill switch deactivated"_s,
                                           u"⚠️ Xray: App terminating — cleaning up proxy"_s}));
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QCOMPARE(rig.defaults.standard().stringList(SystemProxy::servicesKey), (QStringList{u"Wi-Fi"_s, u"Ethernet"_s}));
        QVERIFY(FakeXray::waitUntilGone(pid));
        QVERIFY(!QFileInfo::exists(rig.configPath()));
        // Its exit starts no restart.
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
        QVERIFY(log.matching(u"attempting reconnect"_s).isEmpty());

        // The next run's service finds nothing owed.
        rig.tool.clearCalls();
        rig.defaults.restart();
        XrayService next(rig.keychain, rig.defaults.standard(), rig.options);
        bool done = false;
        next.runLaunchCleanup([&] { done = true; });
        QVERIFY(spinUntil([&] { return done; }));
        QVERIFY(rig.tool.calls().isEmpty());
    }

    void theTerminationSignalIsHandledOnAWorkerThenQuits_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGQUIT") << int(SIGQUIT);
    }

    void theTerminationSignalIsHandledOnAWorkerThenQuits()
    {
        QFETCH(int, signal);
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
        ::raise(signal);
        QVERIFY(spinUntil([&] { return quits == 1; }));
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

    // A check after a wake or a network change: an xray that still answers
    // stays connected; one that hangs (running, not listening) is a lost
    // connection, restarted behind the kill switch.
    void aRecheckFindsAHungChild()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_HANG_AFTER_MS"_s, u"4000"_s);
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        Log::Capture log;
        service.recheckConnection();
        QVERIFY(spinUntil([&] { return log.contains(u"🌐 Xray: Connection checked — the local proxy answers"_s); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());

        QVERIFY(spinUntil([&] { return !XrayService::isPortOpen(rig.socksPort); }));
        rig.tool.clearCalls();
        service.recheckConnection();
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
        QVERIFY(service.isRecovering());
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 8000));
        QCOMPARE(rig.xray.launches().size(), 2);
        QVERIFY(rig.tool.calls().isEmpty()); // the proxies stayed set throughout
        QVERIFY(rig.trafficFlows());
    }
};

QTEST_GUILESS_MAIN(TestXrayService)
#include "tst_xrayservice.moc"
