// The wake-from-sleep signal: systemd-logind's PrepareForSleep, played on a
// private bus that stands in for the system bus (see CMakeLists.txt).
#include "platform/ResumeMonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestResumeMonitor : public QObject
{
    Q_OBJECT

private slots:
    void logindsWakeIsReportedElseTheClockIsWatched()
    {
        if (!QDBusConnection::systemBus().isConnected())
            QSKIP("no bus to stand in for the system bus");
        QVERIFY(!LogindResumeMonitor::create()); // no logind yet

        QDBusConnection logind = QDBusConnection::connectToBus(QDBusConnection::SystemBus, u"fake-logind"_s);
        QVERIFY(logind.registerService(u"org.freedesktop.login1"_s));
        const std::unique_ptr<ResumeMonitor> monitor = ResumeMonitor::create();
        QVERIFY(dynamic_cast<LogindResumeMonitor *>(monitor.get()));
        QSignalSpy resumed(monitor.get(), &ResumeMonitor::resumed);
        for (const bool sleeping : {true, false}) {
            QDBusMessage signal = QDBusMessage::createSignal(u"/org/freedesktop/login1"_s,
                                                             u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s);
            signal << sleeping;
            QVERIFY(logind.send(signal));
        }
        QTRY_COMPARE(resumed.size(), 1); // going to sleep is not a wake
        QTest::qWait(100);
        QCOMPARE(resumed.size(), 1);

        logind.unregisterService(u"org.freedesktop.login1"_s);
        QTRY_VERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(u"org.freedesktop.login1"_s).value());
        QVERIFY(dynamic_cast<ClockJumpMonitor *>(ResumeMonitor::create().get()));
    }
};

QTEST_GUILESS_MAIN(TestResumeMonitor)
#include "tst_resumemonitor.moc"
