// The xray child crashing in a loop: the restarts are bounded, the proxies
// are restored at the end and no child is left running.
#include "support/XrayRig.h"

#include <QElapsedTimer>

using namespace Qt::StringLiterals;
using namespace XrayTest;

class TestXrayCrashLoop : public QObject
{
    Q_OBJECT

    static void verifyGaveUp(Rig &rig, Log::Capture &log)
    {
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::error(XrayService::gaveUpMessage));
        QVERIFY(spinUntil([&] { return log.matching(u"🛡️ Xray: Kill switch deactivated"_s).size() == 2; }));
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::servicesKey));
        const QList<qint64> launches = rig.xray.launches();
        for (const qint64 pid : launches)
            QVERIFY2(FakeXray::waitUntilGone(pid), qPrintable(QString::number(pid)));
        QCOMPARE(rig.service->xrayProcessId(), 0);
        QTest::qWait(2500);
        QCOMPARE(rig.xray.launches().size(), launches.size());
    }

private slots:
    // No restart comes up: the first dies before its port is tested, the
    // others never listen. Three attempts, then the end; a new connect works.
    void everyRestartFails()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_EXIT_AFTER_MS"_s, u"300"_s);
        rig.xray.set(u"FAKE_XRAY_EXIT_LAUNCHES"_s, u"2"_s);
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"3,4"_s);
        rig.make();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        Log::Capture log;
        rig.killChild();
        QVERIFY(rig.waitForError(XrayService::gaveUpMessage, 20000));
        QCOMPARE(rig.service->reconnectAttempts(), 0);
        QCOMPARE(rig.xray.launches().size(), 4);
        verifyGaveUp(rig, log);

        rig.xray.variables.clear();
        rig.xray.apply();
        QVERIFY(rig.connectNow());
    }

    // The first child dies while the (slow) proxy calls are still running,
    // before the connection is up; once it is, the loss is handled as any
    // other: a restart, and the connection holds.
    void aChildDyingWhileTheProxiesAreSetIsRestarted()
    {
        Rig rig;
        rig.tool.setDelayMs(400);
        rig.xray.set(u"FAKE_XRAY_EXIT_AFTER_MS"_s, u"3000"_s);
        rig.xray.set(u"FAKE_XRAY_EXIT_LAUNCHES"_s, u"1"_s);
        rig.make();
        Log::Capture log;
        rig.service->connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QVERIFY(spinUntil([&] { return log.contains(u"✅ Xray: Reconnected successfully"_s); }, 40000));
        const QStringList lines = log.lines();
        QVERIFY(lines.indexOf(u"⚠️ Xray: Process terminated with code 1"_s)
                < lines.indexOf(u"✅ Xray: Connected via 203.0.113.10:443"_s));
        QVERIFY(log.contains(u"🛡️ Xray: Kill switch active — proxy stays set, attempting reconnect..."_s));
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::connected());
        QCOMPARE(rig.xray.launches().size(), 2);
        QVERIFY(rig.trafficFlows());
    }

    // Every child dies a moment after answering: each restart "succeeds" and
    // resets the attempts, so only the losses within the window end the loop.
    void everyChildDiesSoonAfterAnswering()
    {
        Rig rig;
        // Long enough after the port test (at one second) even on a busy machine.
        rig.xray.set(u"FAKE_XRAY_EXIT_AFTER_MS"_s, u"2500"_s);
        rig.make();
        Log::Capture log;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        QVERIFY(rig.waitForError(XrayService::gaveUpMessage, 90000));
        qInfo("gave up after %lld ms", qint64(clock.elapsed()));
        QCOMPARE(log.matching(u"Reconnected successfully"_s).size(), XrayService::maxLossesInWindow - 1);
        QCOMPARE(rig.xray.launches().size(), XrayService::maxLossesInWindow);
        // Checks too that the restarts did not set the proxies again.
        verifyGaveUp(rig, log);

        // A new connect starts with a clean count of losses.
        rig.xray.variables.clear();
        rig.xray.apply();
        QVERIFY(rig.connectNow());
        rig.killChild();
        QVERIFY(rig.waitForState(VPNConnectionState::connected(), 8000));
    }
};

QTEST_GUILESS_MAIN(TestXrayCrashLoop)
#include "tst_xray_crashloop.moc"
