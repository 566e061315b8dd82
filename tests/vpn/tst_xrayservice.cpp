// The Xray service with real child processes: the stub VPN API, the fake
// xray (which really proxies) and the recording fake proxy tool.
#include "support/XrayRig.h"

#include "vpn/xray/XrayBinary.h"
#include "vpn/xray/XrayRestartPolicy.h"

#include <QFileInfo>
#include <QTcpServer>

using namespace Qt::StringLiterals;
using namespace XrayTest;

namespace {
enum class Setup { Normal, NoToken, NoExecutable, NotExecutable, OldXray, V2Ray, SilentXray };
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
        QCOMPARE(rig.tool.calls(), QStringList({u"-listallnetworkservices"_s, u"-getinfo Wi-Fi"_s, u"-getinfo Ethernet"_s})
                                       + proxyOnCalls(u"Wi-Fi"_s, rig.socksPort, rig.httpPort)
                                       + proxyOnCalls(u"Ethernet"_s, rig.socksPort, rig.httpPort));

        QVERIFY(rig.trafficFlows());

        // Disconnect returns at once and finishes once the proxies are restored.
        const qint64 pid = service.xrayProcessId();
        rig.tool.clearCalls();
        rig.states.clear();
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
        // The stopped child's exit changes nothing.
        QVERIFY(spinUntil([&] { return !log.matching(u"Process terminated with code 15"_s).isEmpty(); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnected());

        // The application quits while connected: the child's exit starts no restart.
        QVERIFY(rig.connectNow());
        const qint64 second = service.xrayProcessId();
        rig.tool.clearCalls();
        log.clear();
        service.handleAppTermination();
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QVERIFY(FakeXray::waitUntilGone(second));
        QVERIFY(!QFileInfo::exists(rig.configPath()));
        QVERIFY(spinUntil([&] { return !log.matching(u"Process terminated with code 15"_s).isEmpty(); }));
        QCOMPARE(service.reconnectAttempts(), 0);
    }

    // The xray found and `xray version` decide before the API is asked.
    void pipelineFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<QString>("message"); // its start; %1: the xray's path
        const QString fetch = XrayService::fetchFailedMessage;
        const QString id = u"sg-node-01"_s;
        QTest::newRow("no token") << Setup::NoToken << id << fetch;
        QTest::newRow("server id with a blank") << Setup::Normal << u"sg node"_s << fetch;
        QTest::newRow("no executable") << Setup::NoExecutable << id << XrayBinary::missingMessage();
        QTest::newRow("executable does not start") << Setup::NotExecutable << id << u"The xray at "_s;
        QTest::newRow("too old") << Setup::OldXray << id
                                 << u"The xray at %1 is version 1.7.5, too old for VLESS with REALITY."_s;
        QTest::newRow("V2Ray") << Setup::V2Ray << id << u"%1 is V2Ray, which cannot connect with VLESS and REALITY."_s;
        QTest::newRow("no version answer") << Setup::SilentXray << id
                                           << u"%1 did not answer “xray version” as Xray-core does"_s;
    }

    void pipelineFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, serverId);
        QFETCH(QString, message);
        Rig rig;
        const QString file = rig.work.filePath(u"xray"_s);
        if (setup == Setup::NoToken)
            rig.keychain.deleteKey(KeychainManager::accessTokenKey);
        if (setup == Setup::NotExecutable)
            QFile(file).open(QIODevice::WriteOnly);
        if (setup == Setup::NoExecutable || setup == Setup::NotExecutable)
            rig.options.bundledXrayPaths = {file};
        if (setup == Setup::OldXray)
            rig.xray.set(u"FAKE_XRAY_VERSION"_s, u"Xray 1.7.5 (Xray, Penetrates Everything.)"_s);
        if (setup == Setup::V2Ray)
            rig.xray.set(u"FAKE_XRAY_VERSION"_s, u"V2Ray 5.4.1 (V2Fly, a community-driven edition of V2Ray.)"_s);
        if (setup == Setup::SilentXray) {
            rig.xray.set(u"FAKE_XRAY_VERSION"_s, QString());
            rig.xray.set(u"FAKE_XRAY_VERSION_EXIT"_s, u"2"_s);
        }
        if (message.contains(u"%1"_s))
            message = message.arg(rig.xray.executablePath());
        XrayService &service = rig.make();
        service.connect(u"203.0.113.10"_s, serverId);
        QVERIFY(spinUntil([&] { return service.connectionState().errorMessage().startsWith(message); }));
        message = service.connectionState().errorMessage();
        if (setup >= Setup::OldXray)
            QVERIFY2(message.contains(u"Install Xray-core 1.8.0 or newer"_s), qPrintable(message));
        QCOMPARE(rig.states.first(), VPNConnectionState::connecting());
        QVERIFY(rig.server.requests().isEmpty());
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
        for (int round = 0; round < 2; ++round) {
            rig.tool.clearCalls();
            service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
            QVERIFY(rig.waitForError(XrayService::startFailedMessage));
            QVERIFY(rig.tool.calls().isEmpty());
            // The child is left running and opens its port later; no connection is claimed.
            QVERIFY(spinUntil([&] { return XrayChild::isPortOpen(rig.socksPort); }));
            QCOMPARE(service.connectionState(), VPNConnectionState::error(XrayService::startFailedMessage));
            const qint64 pid = service.xrayProcessId();
            QVERIFY(FakeXray::isAlive(pid));
            if (round == 0) {
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

    // Another program on a local port, before the start or after it (the
    // port answers, but not from our child).
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

    void theRestartPolicy()
    {
        XrayRestartPolicy policy;
        QList<std::optional<int>> delays;
        for (int i = 0; i < 4; ++i)
            delays.append(policy.nextRestartDelayMs());
        QCOMPARE(delays, (QList<std::optional<int>>{2000, 4000, 6000, std::nullopt}));
        policy.resetAttempts();
        QCOMPARE(policy.nextRestartDelayMs(), 2000);
        // The fifth loss within the window is a crash loop; older ones drop out.
        const qint64 window = XrayRestartPolicy::windowMs;
        for (const qint64 at : {0LL, 10LL, 20LL, 30LL})
            QVERIFY(!policy.recordLoss(at));
        QVERIFY(!policy.recordLoss(window + 5));
        QCOMPARE(policy.lossesInWindow(), 4);
        QVERIFY(policy.recordLoss(window + 6));
    }

    // The first restart never listens and is stopped before the next. A
    // network return starts a new chain that replaces the pending restart.
    void aChildThatDiesIsRestarted()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"2"_s);
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        rig.killChild();
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
        QVERIFY(spinUntil([&] { return service.reconnectAttempts() == 2; }, 6000));
        rig.monitors.latest()->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        QCOMPARE(service.reconnectAttempts(), 0);
        const QList<qint64> launches = rig.xray.launches();
        QCOMPARE(launches.size(), 3);
        QVERIFY(!FakeXray::isAlive(launches[1]));
        QVERIFY(rig.tool.calls().isEmpty());
        QCOMPARE(service.serverName(), u"Singapore"_s);
        QCOMPARE(rig.monitors.created.size(), 1);
        QVERIFY(rig.trafficFlows());
        // The restart the network return replaced does not run as well.
        QTest::qWait(2500);
        QCOMPARE(rig.xray.launches().size(), 3);
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());

        rig.killChild();
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
        QCOMPARE(service.reconnectAttempts(), 1);
        service.disconnect();
        QVERIFY(rig.waitForState(VPNConnectionState::disconnected()));
        QTest::qWait(2500);
        QCOMPARE(service.connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(rig.xray.launches().size(), 3);
        QCOMPARE(service.reconnectAttempts(), 0);
    }

    void networkLossKeepsTheChildAndItsReturnIsTested()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_VERSION"_s, u"Xray 1.8.0 (Xray, Penetrates Everything.)"_s); // the oldest accepted
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
        // Back, and the child still answers: connected again, same child.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForState(VPNConnectionState::connected()));
        QCOMPARE(service.xrayProcessId(), pid);

        // Lost again, and the child dies meanwhile (only logged) ...
        monitor->report(PathMonitor::Status::Unsatisfied);
        QVERIFY(rig.waitForState(unavailable));
        rig.killChild();
        QVERIFY(spinUntil([&] { return !log.matching(u"Process terminated with code 9"_s).isEmpty(); }));
        QCOMPARE(service.connectionState(), unavailable);
        // ... so its return finds the port closed and restarts it.
        monitor->report(PathMonitor::Status::Satisfied);
        QVERIFY(rig.waitForError(XrayService::connectionLostMessage));
        QCOMPARE(service.reconnectAttempts(), 1);
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 6000));
        QVERIFY(rig.tool.calls().isEmpty());
    }

    // The restore runs on a worker while the main thread goes on.
    void theTerminationSignalsAreHandledOnAWorkerThenQuit()
    {
        Rig rig;
        rig.tool.setDelayMs(100); // every tool call takes a while
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        int quits = 0;
        service.installTerminationHooks(true, [&] { ++quits; });
        rig.tool.clearCalls();
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] { ++ticks; });
        ticker.start(20);
        ::raise(SIGTERM);
        QVERIFY(spinUntil([&] { return quits == 1; }));
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::servicesKey));
        ::raise(SIGHUP);
        QVERIFY(spinUntil([&] { return quits == 2; }));
        ::raise(SIGQUIT);
        QVERIFY(spinUntil([&] { return quits == 3; }));

        // The application then quits normally: the child stops, nothing is restored twice.
        const qint64 pid = service.xrayProcessId();
        rig.tool.clearCalls();
        service.handleAppTermination();
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(FakeXray::waitUntilGone(pid));
    }

    // A hung child (running, not listening) is a lost connection. A child
    // writing into an undrained pipe would block before it listens.
    void aRecheckFindsAHungChild()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_HANG_AFTER_MS"_s, u"4000"_s);
        rig.xray.set(u"FAKE_XRAY_CHATTY"_s, u"2097152"_s);
        XrayService &service = rig.make();
        service.connect(std::nullopt, std::nullopt);
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 10000));
        QCOMPARE(rig.server.requests()[0].query, QString());
        QCOMPARE(service.connectedServerId(), std::nullopt);
        Log::Capture log;
        service.recheckConnection();
        QVERIFY(spinUntil([&] { return !log.matching(u"Connection checked"_s).isEmpty(); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::connected());

        QVERIFY(spinUntil([&] { return !XrayChild::isPortOpen(rig.socksPort); }));
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
