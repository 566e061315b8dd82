// The tray icon as a StatusNotifierItem, on a private session bus where this
// test plays the host (with-tray.sh with VELORIN_TRAY_HOST=none).
#include "shell/ShellFixture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString watcherName = u"org.kde.StatusNotifierWatcher"_s;

// The host's watcher. It lives on a thread of its own: Qt's tray asks it
// with blocking calls from the main thread.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QDBusConnection bus{u"unset"_s};
    QStringList items; // guarded by the thread hand-over below

public slots:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        items.append(service.startsWith(u'/') ? message.service() : service);
    }
    void RegisterStatusNotifierHost(const QString &) {}
    void start()
    {
        bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s);
        bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
        bus.registerService(watcherName);
    }
    void leave() { bus.unregisterService(watcherName); }
};

// One call from the main thread without blocking it (the item answers from here).
QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
                  const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    QDBusPendingCallWatcher pending(QDBusConnection::sessionBus().asyncCall(message));
    QSignalSpy done(&pending, &QDBusPendingCallWatcher::finished);
    done.wait(5000);
    return pending.reply();
}

} // namespace

class TestTraySni : public QObject
{
    Q_OBJECT

    QThread m_thread;
    Watcher *m_watcher = nullptr;

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus");
        m_watcher = new Watcher;
        m_watcher->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(m_watcher, &Watcher::start, Qt::BlockingQueuedConnection);
    }

    void cleanupTestCase()
    {
        if (!m_watcher)
            return;
        QMetaObject::invokeMethod(m_watcher, &QObject::deleteLater);
        m_thread.quit();
        m_thread.wait();
    }

    void theHostShowsTheMenuAndALeftClickOpensThePanel()
    {
        ShellFixture shell;
        shell.surface.reset();
        AppViews views;
        views.panel = [](AppDelegate &) -> QWidget * { return new QWidget; };
        AppDelegate &delegate = shell.launch(views);
        QVERIFY(delegate.surface().menuOnIcon);
        QVERIFY(!delegate.mainWindow());

        QString item;
        QVERIFY(QTest::qWaitFor([&] {
            QMetaObject::invokeMethod(m_watcher, [&] { item = m_watcher->items.value(0); }, Qt::BlockingQueuedConnection);
            return !item.isEmpty();
        }, 5000));
        const QDBusMessage menuPath = call(item, u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s,
                                           u"Get"_s, {u"org.kde.StatusNotifierItem"_s, u"Menu"_s});
        const auto path = menuPath.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>();
        QCOMPARE(path.path(), u"/MenuBar"_s);
        const QDBusMessage layout = call(item, path.path(), u"com.canonical.dbusmenu"_s, u"GetLayout"_s,
                                         {0, -1, QStringList{u"label"_s}});
        QCOMPARE(layout.type(), QDBusMessage::ReplyMessage);

        call(item, u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s, {0, 0});
        QTRY_VERIFY(delegate.popover()->isVisible());

        QMetaObject::invokeMethod(m_watcher, &Watcher::leave, Qt::BlockingQueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(delegate.mainWindow() && delegate.mainWindow()->isVisible(),
                                 TrayHostWatch::graceMs + 3000);
        QSignalSpy quit(&delegate, &AppDelegate::quitRequested);
        delegate.mainWindow()->close();
        QCOMPARE(quit.size(), 1);
    }
};

QTEST_MAIN(TestTraySni)
#include "tst_traysni.moc"
