// Which drops are worth a desktop notification, and the notification
// service on a private session bus.
#include "shell/ConnectionText.h"
#include "shell/DesktopNotifier.h"
#include "shell/DisplayText.h"

#include <QDBusConnection>
#include <QtTest>

using namespace Qt::StringLiterals;
using State = VPNConnectionState;

class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities{u"body"_s, u"body-markup"_s};
    struct Shown
    {
        uint replaces;
        QString summary;
        QString body;
    };
    QList<Shown> shown;

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        shown.append({replacesId, summary, body});
        return uint(shown.size() + 40);
    }
};

class TestNotifications : public QObject
{
    Q_OBJECT

private slots:
    // Says it was cut even when all that was looked at was stripped away.
    void shortenedTextsEndCleanly()
    {
        QCOMPARE(DisplayText::clean(u"ab\U0001F511def", 4), u"ab\u2026"_s);
        QCOMPARE(DisplayText::clean(u"abc\U0001F511def", 4), u"abc\u2026"_s);
        QCOMPARE(DisplayText::clean(QString(QString(50, QChar(0x1b)) + u"hidden"_s), 10), u"\u2026"_s);
    }

    void dropNotices_data()
    {
        QTest::addColumn<QList<State>>("states");
        QTest::addColumn<QStringList>("titles");
        const State lost = State::error(u"Connection lost — reconnecting..."_s);
        QTest::newRow("the user's disconnect") << QList<State>{State::connecting(), State::connected(),
                                                               State::disconnecting(), State::disconnected()}
                                               << QStringList{};
        QTest::newRow("a first connect that fails")
            << QList<State>{State::connecting(), State::error(u"port 10808 is in use"_s)} << QStringList{};
        QTest::newRow("the tunnel drops") << QList<State>{State::connected(), State::reconnecting(), State::disconnected()}
                                          << QStringList{u"VPN disconnected"_s};
        QTest::newRow("lost, then recovered") << QList<State>{State::connected(), lost, State::connected()}
                                              << QStringList{u"VPN connection lost"_s};
        QTest::newRow("lost, then given up")
            << QList<State>{State::connected(), lost, State::error(u"Connection failed — please reconnect manually"_s)}
            << QStringList{u"VPN connection lost"_s, u"VPN could not reconnect"_s};
        QTest::newRow("a new connect after giving up fails quietly")
            << QList<State>{State::connected(), lost, State::connecting(), State::error(u"no route"_s)}
            << QStringList{u"VPN connection lost"_s};
    }

    void dropNotices()
    {
        QFETCH(QList<State>, states);
        QFETCH(QStringList, titles);
        ConnectionText::DropWatch watch;
        QStringList told;
        for (const State &state : states)
            if (const auto notice = watch.next(state))
                told.append(notice->title);
        QCOMPARE(told, titles);
    }

    void serviceOnTheBus()
    {
        QDBusConnection service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"service"_s);
        if (!service.isConnected())
            QSKIP("no session bus (run through dbus-run-session)");
        FakeNotifications fake;
        QVERIFY(service.registerObject(DesktopNotifier::objectPath, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(DesktopNotifier::serviceName));

        DesktopNotifier notifier(QDBusConnection::sessionBus());
        QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
        notifier.notify(u"VPN connection lost"_s, u"<img src=/dev/zero> & \x1B[2Jgone"_s);
        QVERIFY(delivered.wait());
        QCOMPARE(delivered.takeFirst().at(0).toString(), u"service"_s);
        QCOMPARE(fake.shown.size(), 1);
        QCOMPARE(fake.shown[0].summary, u"VPN connection lost"_s);
        QCOMPARE(fake.shown[0].body, u"&lt;img src=/dev/zero&gt; &amp; [2Jgone"_s);
        QCOMPARE(fake.shown[0].replaces, 0u);

        DesktopNotifier plain(QDBusConnection::sessionBus());
        QSignalSpy shown(&plain, &DesktopNotifier::delivered);
        fake.capabilities = {u"body"_s};
        plain.notify(u"VPN disconnected"_s, u"<b>x</b>"_s);
        QVERIFY(shown.wait());
        plain.notify(u"VPN disconnected"_s, u"again"_s);
        QTRY_COMPARE(fake.shown.size(), 3);
        QCOMPARE(fake.shown[1].body, u"<b>x</b>"_s);
        QCOMPARE(fake.shown[2].replaces, 42u);

        // Without the service (and without a tray here) nothing is shown.
        service.unregisterService(DesktopNotifier::serviceName);
        DesktopNotifier alone(QDBusConnection::sessionBus());
        QSignalSpy lonely(&alone, &DesktopNotifier::delivered);
        alone.notify(u"VPN disconnected"_s, u"x"_s);
        QVERIFY(lonely.wait());
        QCOMPARE(lonely.takeFirst().at(0).toString(), u"none"_s);
        QCOMPARE(fake.shown.size(), 3);
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
