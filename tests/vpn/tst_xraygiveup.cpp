// The three-attempt give-up takes about 15 seconds of real time (three
// delays of 2, 4 and 6 s plus three 1-second port tests); it has a CTest
// label of its own so a quick run can skip it.
#include "XrayRig.h"

#include <QElapsedTimer>

using namespace Qt::StringLiterals;
using namespace XrayTest;

class TestXrayGiveUp : public QObject
{
    Q_OBJECT

private slots:
    void givesUpAfterThreeFailedRestarts()
    {
        Rig rig;
        rig.xray.set(u"FAKE_XRAY_NO_LISTEN"_s, u"2,3,4"_s); // no restart ever listens
        XrayService &service = rig.make();
        QVERIFY(rig.connectNow());
        rig.tool.clearCalls();
        Log::Capture log;
        QElapsedTimer clock;
        clock.start();
        rig.killChild();
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::connectionLostMessage)));
        QVERIFY(rig.waitForState(VPNConnectionState::error(XrayService::gaveUpMessage), 20000));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 14500 && elapsed < 17500, qPrintable(QString::number(elapsed)));

        QCOMPARE(log.matching(u"Xray: Reconnect attempt"_s),
                 (QStringList{u"🔄 Xray: Reconnect attempt 1/3 in 2.0s..."_s,
                              u"🔄 Xray: Reconnect attempt 2/3 in 4.0s..."_s,
                              u"🔄 Xray: Reconnect attempt 3/3 in 6.0s..."_s}));
        QCOMPARE(log.matching(u"❌ Xray: Process running but SOCKS port not open"_s).size(), 3);
        QVERIFY(log.contains(u"❌ Xray: Max reconnect attempts (3) reached — giving up"_s));
        QCOMPARE(service.reconnectAttempts(), 0);
        // The proxies are switched off, with the kill switch's last line after them.
        // (restoreSystemProxy writes it first, giving up again when done).
        QVERIFY(spinUntil([&] { return log.matching(u"🛡️ Xray: Kill switch deactivated"_s).size() == 2; }));
        QVERIFY(log.lines().indexOf(u"✅ Xray: System proxy restored on 2 service(s)"_s)
                < log.lines().lastIndexOf(u"🛡️ Xray: Kill switch deactivated"_s));
        QCOMPARE(rig.tool.calls(), restoreCalls());
        QCOMPARE(rig.defaults.standard().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!rig.defaults.standard().contains(SystemProxy::servicesKey));
        // Every restart stopped the silent child before it, and giving up
        // stopped the last one: no child is left holding the ports.
        const QList<qint64> launches = rig.xray.launches();
        QCOMPARE(launches.size(), 4);
        QVERIFY(!FakeXray::isAlive(launches[1]));
        QVERIFY(!FakeXray::isAlive(launches[2]));
        QVERIFY(FakeXray::waitUntilGone(launches[3]));
        QCOMPARE(service.xrayProcessId(), 0);
        // Its exit is only logged.
        QVERIFY(spinUntil([&] { return log.contains(u"⚠️ Xray: Process terminated with code 15"_s); }));
        QCOMPARE(service.connectionState(), VPNConnectionState::error(XrayService::gaveUpMessage));

        // A connect from here starts afresh.
        qputenv("FAKE_XRAY_NO_LISTEN", "");
        QVERIFY(rig.connectNow());
        QCOMPARE(rig.xray.launches().size(), 5);
    }
};

QTEST_GUILESS_MAIN(TestXrayGiveUp)
#include "tst_xraygiveup.moc"
