// The shell around the screens: tray icon, panel and windows on each kind of
// desktop, what a quit and the next start keep, the control socket driven by
// real local-socket clients, and desktop notifications (the service played on
// a private session bus).
#include "model/NotificationNames.h"
#include "shell/ActivationPolicy.h"
#include "shell/ConnectionText.h"
#include "shell/ControlServer.h"
#include "shell/DesktopNotifier.h"
#include "shell/DisplayText.h"
#include "shell/PopoverPanel.h"
#include "shell/ShellFixture.h"
#include "support/FakeSystemVpn.h"
#include "ui/panel/MenuBarView.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QLabel>
#include <QLocalSocket>
#include <QScreen>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Status = SystemVpn::Status;
using State = VPNConnectionState;

namespace {

// Names what each factory made after its count ("panelContent1", ...).
struct CountingViews
{
    int panels = 0;
    int mainContents = 0;
    int settingsContents = 0;

    AppViews views()
    {
        const auto counted = [](const QString &name, int *count) {
            return [name, count](AppDelegate &) -> QWidget * {
                auto *content = new QLabel(name);
                content->setObjectName(name + QString::number(++*count));
                return content;
            };
        };
        return {counted(u"panelContent"_s, &panels), counted(u"mainContent"_s, &mainContents),
                counted(u"settingsContent"_s, &settingsContents), {}};
    }
};

class TallContent : public QWidget
{
public:
    int wanted = 100;
    QSize sizeHint() const override { return {320, wanted}; }
};

QStringList menuTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << (action->isSeparator() ? u"---"_s : action->text() + u" ["_s + action->shortcut().toString() + u']');
    return texts;
}

// One run of the application; the system's (fake) VPN outlives it.
struct Run
{
    explicit Run(ShellFixture &f, FakeSystemVpn &system)
        : manager(system, f.keychain, f.account.tokens, Endpoints::at(f.server.baseUrl()))
        , service(manager)
        , vpn(f.defaults.standard(), [this](VPNProtocolType) -> VPNServiceProtocol & { return service; })
    {
        AppViews views;
        views.statusImage = &ShellFixture::image;
        views.panel = [&f, this](AppDelegate &shell) -> QWidget * {
            return new MenuBarView(f.account.auth, shell, f.servers, vpn);
        };
        delegate = std::make_unique<AppDelegate>(f.account.auth, vpn, f.account.center, f.defaults.standard(), views);
        delegate->applicationDidFinishLaunching();
    }

    QAbstractButton *button() const { return delegate->popover()->findChild<QAbstractButton *>(u"connectButton"_s); }

    IKEv2Manager manager;
    IKEv2Service service;
    VPNServiceManager vpn;
    std::unique_ptr<AppDelegate> delegate;
};

struct Client
{
    QLocalSocket socket;
    QByteArray buffer;
    QList<QJsonObject> lines;

    explicit Client(const QString &path)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, &socket, [this] {
            buffer += socket.readAll();
            for (qsizetype end; (end = buffer.indexOf('\n')) >= 0; buffer.remove(0, end + 1))
                lines.append(QJsonDocument::fromJson(buffer.left(end)).object());
        });
        socket.connectToServer(path);
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    bool waitFor(qsizetype count) { return QTest::qWaitFor([&] { return lines.size() >= count; }, 5000); }
    bool waitClosed()
    {
        return QTest::qWaitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000);
    }
    QStringList states() const
    {
        QStringList names;
        for (const QJsonObject &line : lines)
            if (line.contains(u"event"_s))
                names.append(line.value(u"state"_s).toString());
        return names;
    }
};

QByteArray request(const QString &command, QJsonObject fields = {})
{
    fields.insert(u"version"_s, 1);
    fields.insert(u"command"_s, command);
    return QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
}

// A control server listening in a folder of its own, over the shell's services;
// it records what it asks the application to do.
struct ControlRig : ShellFixture
{
    QTemporaryDir dir;
    QStringList activated;
    QList<bool> proxyOnly;
    ControlServer server{vpn, servers,
                         {[this](const QString &window) { activated.append(window); },
                          [this](bool on) { proxyOnly.append(on); }}};

    QString path() const { return dir.filePath(u"app.sock"_s); }
};

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

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

private slots:
    // "MenuBarIcon", then at once the icon of the current state; nothing connects.
    void launchSequence()
    {
        ShellFixture f;
        QVERIFY(f.account.tokens.save(u"RT-stored"_s, KeychainManager::refreshTokenKey));
        CountingViews counting;
        AppDelegate &delegate = f.makeDelegate(counting.views());
        QSignalSpy icons(&delegate, &AppDelegate::statusIconChanged);
        ActivationPolicy::set(ActivationPolicy::Policy::Regular);

        delegate.applicationDidFinishLaunching();
        QCOMPARE(icons.size(), 2);
        QCOMPARE(icons.at(0).at(0).toString(), u"MenuBarIcon"_s);
        QCOMPARE(icons.at(1), (QVariantList{u"shield.lefthalf.filled"_s, u"Velorin VPN — Disconnected"_s}));
        QCOMPARE(counting.panels, 1);
        QVERIFY(delegate.popover());
        QCOMPARE(delegate.popover()->content()->objectName(), u"panelContent1"_s);
        QVERIFY(!delegate.popover()->isVisible());
        QCOMPARE(ActivationPolicy::current(), ActivationPolicy::Policy::Accessory);
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed());

        QVERIFY(delegate.isRestoringSession());
        QSignalSpy restored(&delegate, &AppDelegate::sessionRestoreFinished);
        QVERIFY(restored.wait(5000));
        QVERIFY(f.account.auth.authState().isAuthenticated());
        QCOMPARE(f.server.requests("POST", u"/auth/refresh"_s).size(), 1);
        QVERIFY(f.ikev2.connectCalls.isEmpty());
        QCOMPARE(f.ikev2.disconnectCalls, 0);
    }

    // The tooltip's second line says why.
    void statusIcon()
    {
        const QString lost = u"Connection lost — reconnecting..."_s, busy = u"shield"_s, title = u"Velorin VPN — "_s;
        const struct
        {
            VPNConnectionState state;
            VPNDisplayStatus status;
            QString symbol, tooltip;
        } rows[] = {
            {VPNConnectionState::connecting(), VPNDisplayStatus::Connecting, busy, title + u"Connecting…"_s},
            {VPNConnectionState::connected(), VPNDisplayStatus::Connected, u"checkmark.shield.fill"_s, title + u"Connected"_s},
            {VPNConnectionState::disconnecting(), VPNDisplayStatus::Disconnecting, busy, title + u"Disconnecting…"_s},
            {VPNConnectionState::reconnecting(), VPNDisplayStatus::Connecting, busy, title + u"Connecting…"_s},
            {VPNConnectionState::error(lost), VPNDisplayStatus::Error, u"exclamationmark.shield"_s,
             title + u"Error\n"_s + lost},
            {VPNConnectionState::error({}), VPNDisplayStatus::Error, u"exclamationmark.shield"_s, title + u"Error"_s},
            {VPNConnectionState::disconnected(), VPNDisplayStatus::Disconnected, u"shield.lefthalf.filled"_s,
             title + u"Disconnected"_s},
        };
        ShellFixture f;
        AppDelegate &delegate = f.launch();
        QSignalSpy changes(&delegate, &AppDelegate::vpnStatusChanged);
        for (const auto &row : rows) {
            QVERIFY(f.publish(row.state));
            QCOMPARE(delegate.vpnStatus(), row.status);
            QCOMPARE((QStringList{delegate.statusSymbol(), delegate.statusItem()->toolTip(), delegate.statusDescription()}),
                     (QStringList{row.symbol, row.tooltip, row.tooltip.section(u'\n', 0, 0)}));
        }
        // None for a state that looks the same.
        QCOMPARE(changes.size(), 6);
    }

    // A click on the icon is outside the panel: the click that closes it must
    // not open it again at once. (A second click closing the panel is the
    // Wayland test's; the panel after the menu, the real tray's.)
    void clicksOnTheIcon()
    {
        ShellFixture f;
        CountingViews counting;
        AppDelegate &delegate = f.launch(counting.views());
        QSystemTrayIcon *tray = delegate.statusItem();
        PopoverPanel *panel = delegate.popover();

        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(panel->isVisible());
        QVERIFY(panel->windowFlags().testFlags(Qt::Popup | Qt::FramelessWindowHint));
        panel->hide(); // as a click outside closes it
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!panel->isVisible());
        QTest::qWait(AppDelegate::reopenGuardMs + 50);
        for (const auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick})
            emit tray->activated(reason);
        QVERIFY(panel->isVisible());
        QCOMPARE(counting.panels, 1);

        emit tray->activated(QSystemTrayIcon::Context);
        QMenu *menu = delegate.contextMenu();
        QVERIFY(menu && menu->isVisible());
        QVERIFY(!panel->isVisible());
        const QString ctrl = QKeySequence(Qt::CTRL).toString();
        QCOMPARE(menuTexts(menu), (QStringList{u"Open Velorin VPN ["_s + ctrl + u"O]"_s, u"---"_s,
                                               u"Preferences… ["_s + ctrl + u",]"_s, u"---"_s,
                                               u"Quit Velorin VPN ["_s + ctrl + u"Q]"_s}));

        QTest::keyClick(menu, Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY(delegate.mainWindow());
        QTRY_VERIFY(!delegate.contextMenu());
        delegate.mainWindow()->close();

        // "Preferences…" must make the window before it asks for the Settings tab.
        emit tray->activated(QSystemTrayIcon::Context);
        QVERIFY(delegate.contextMenu());
        QList<bool> windowShownAtPost;
        f.account.center.observe(NotificationNames::showSettings, &f.server, [&](const QVariantMap &) {
            windowShownAtPost << (delegate.mainWindow() && delegate.mainWindow()->isVisible());
        });
        delegate.contextMenu()->actions().at(2)->trigger();
        delegate.openPreferences();
        QCOMPARE(windowShownAtPost, (QList<bool>{true, true}));
        delegate.contextMenu()->close();
        QTRY_VERIFY(!delegate.contextMenu());
    }

    // Closing drops the window; the next open builds a new one in the old frame.
    void windows()
    {
        ShellFixture f;
        CountingViews counting;
        AppDelegate &delegate = f.launch(counting.views());
        QVERIFY(!f.defaults.standard().contains(AppDelegate::mainWindowFrameKey));

        delegate.openMainWindow();
        QPointer<QMainWindow> first = delegate.mainWindow();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QCOMPARE(first->windowTitle(), u"Velorin VPN"_s);
        QCOMPARE(first->size(), AppDelegate::mainWindowSize);
        QCOMPARE(first->minimumSize(), AppDelegate::mainWindowMinimumSize);
        QCOMPARE(first->centralWidget()->objectName(), u"mainContent1"_s);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY2(qAbs(first->geometry().center().x() - area.center().x()) <= 2, "centred");
        QCOMPARE(ActivationPolicy::current(), ActivationPolicy::Policy::Regular);

        delegate.openMainWindow();
        QCOMPARE(delegate.mainWindow(), first.data());
        QCOMPARE(counting.mainContents, 1);

        first->setGeometry(QRect(QPoint(60, 70), QSize(700, 500)));
        const QRect frame = first->geometry();
        first->close();
        QVERIFY(!delegate.mainWindow());
        QCOMPARE(ActivationPolicy::current(), ActivationPolicy::Policy::Accessory);
        QVERIFY(f.defaults.standard().data(AppDelegate::mainWindowFrameKey));
        QTRY_VERIFY(!first);

        delegate.openMainWindow();
        QMainWindow *second = delegate.mainWindow();
        QVERIFY(second);
        QCOMPARE(second->centralWidget()->objectName(), u"mainContent2"_s);
        QCOMPARE(second->geometry(), frame);
        second->close();

        // Ctrl+Shift+, opens the separate settings window; Ctrl+, is "Preferences…".
        delegate.openSettingsWindow();
        QPointer<QWidget> window = delegate.settingsWindow();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), u"Settings"_s);
        QVERIFY(window->findChild<QWidget *>(u"settingsContent1"_s));
        delegate.openSettingsWindow();
        QCOMPARE(delegate.settingsWindow(), window.data());
        window->close();
        QTRY_VERIFY(!window);

        delegate.togglePopover();
        QVERIFY(QTest::qWaitForWindowExposed(delegate.popover()));
        QTest::keyClick(delegate.popover(), Qt::Key_Comma, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(delegate.settingsWindow());
        QVERIFY(!delegate.popover()->isVisible());
        QVERIFY(delegate.settingsWindow()->findChild<QWidget *>(u"settingsContent2"_s));
        delegate.settingsWindow()->close();
        QTRY_VERIFY(!delegate.settingsWindow());

        delegate.openMainWindow();
        QVERIFY(QTest::qWaitForWindowActive(delegate.mainWindow()));
        QSignalSpy posted(&f.account.center, &NotificationCenter::posted);
        QTest::keyClick(delegate.mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(posted.size(), 1);
        QCOMPARE(posted[0][0].toString(), NotificationNames::showSettings);
        QVERIFY(!delegate.settingsWindow());
        QTest::keyClick(delegate.mainWindow(), Qt::Key_Comma, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(delegate.settingsWindow());
        QCOMPARE(counting.settingsContents, 3);
    }

    // At least 320 x 420 inside, growing with its content up to the screen.
    void popoverPlacementAndSize()
    {
        // On a 1280 x 800 screen, a panel of 322 x 422 (content plus outline), 4 from the anchor.
        const std::pair<QRect, QPoint> placements[] = {
            {QRect(1250, 2, 22, 22), QPoint(1280 - 322, 2 + 22 + 4)}, // top right tray
            {QRect(629, 0, 22, 22), QPoint(639 - 161, 22 + 4)}, // top middle
            {QRect(0, 0, 1, 1), QPoint(0, 1 + 4)}, // top left corner
            {QRect(1000, 776, 22, 22), QPoint(1010 - 161, 776 - 4 - 422)}, // bottom tray
            {QRect(20, 790, 1, 1), QPoint(0, 790 - 4 - 422)}, // bottom click point
        };
        for (const auto &[anchor, position] : placements)
            QCOMPARE(PopoverPanel::position(anchor, QSize(322, 422), QRect(0, 0, 1280, 800)), position);

        auto *content = new TallContent;
        PopoverPanel panel(content);
        const int screenHeight = QGuiApplication::primaryScreen()->availableGeometry().height();
        panel.showAt(QRect(10, 0, 1, 1));
        QCOMPARE(panel.size(), QSize(322, 422));
        const std::pair<int, int> heights[] = {{520, 522}, {screenHeight + 300, screenHeight}, {100, 422}};
        for (const auto &[wanted, height] : heights) {
            content->wanted = wanted;
            content->updateGeometry();
            QTRY_COMPARE(panel.height(), height);
        }
    }

    void decide_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("statusNotifierHost");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QList<bool>>("expected"); // trayIcon, windowIsApplication, panelAsWindow, menuOnIcon
        QTest::newRow("X11, XEmbed tray") << true << false << u"xcb"_s << QList<bool>{true, false, false, false};
        QTest::newRow("X11, SNI host (KDE)") << true << true << u"xcb"_s << QList<bool>{true, false, false, true};
        QTest::newRow("X11, no tray (GNOME)") << false << false << u"xcb"_s << QList<bool>{false, true, false, false};
        QTest::newRow("Wayland, SNI host") << true << true << u"wayland"_s << QList<bool>{true, false, true, true};
        QTest::newRow("Wayland, no tray") << false << false << u"wayland-egl"_s << QList<bool>{false, true, true, false};
    }

    void decide()
    {
        QFETCH(bool, tray);
        QFETCH(bool, statusNotifierHost);
        QFETCH(QString, platform);
        QFETCH(QList<bool>, expected);
        const ShellSurface surface = ShellSurface::decide(tray, statusNotifierHost, platform);
        QCOMPARE((QList<bool>{surface.trayIcon, surface.windowIsApplication, surface.panelAsWindow, surface.menuOnIcon}),
                 expected);
    }

    void withoutATrayTheMainWindowIsTheApplication()
    {
        ShellFixture shell;
        shell.surface.reset();
        AppDelegate &delegate = shell.launch();
        QVERIFY(delegate.surface().windowIsApplication);
        QVERIFY(delegate.mainWindow() && delegate.mainWindow()->isVisible());
        QSignalSpy quit(&delegate, &AppDelegate::quitRequested);
        delegate.mainWindow()->close();
        QCOMPARE(quit.size(), 1);
    }

    void onWaylandThePanelIsAWindowAndTheMenuIsOnTheIcon()
    {
        ShellFixture shell;
        shell.surface = ShellSurface::decide(true, true, u"wayland"_s);
        AppViews views;
        views.panel = [](AppDelegate &) -> QWidget * { return new QLabel(u"Velorin VPN panel"_s); };
        AppDelegate &delegate = shell.launch(views);
        QVERIFY(!delegate.mainWindow());
        QMenu *menu = delegate.statusItem()->contextMenu();
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 5);
        emit delegate.statusItem()->activated(QSystemTrayIcon::Context);
        QVERIFY(!delegate.contextMenu()); // the host shows the icon's own menu

        PopoverPanel *panel = delegate.popover();
        QVERIFY(panel->isPlacedByDesktop());
        QCOMPARE(panel->windowType(), Qt::Window);
        const QPoint before = panel->pos();
        emit delegate.statusItem()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(panel->isVisible());
        QCOMPARE(panel->pos(), before);
        QVERIFY(panel->grab().save(screenshotPath(u"panel-wayland-window.png"_s)));
        emit delegate.statusItem()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(!panel->isVisible());
    }

    // Quitting while an IKEv2 tunnel is up leaves it up (no disconnect is asked
    // for), and the next start shows it as connected, with a Disconnect that works.
    void tunnelOutlivesQuitAndIsShownAtNextStart()
    {
        ShellFixture f;
        QVERIFY(f.signIn());
        FakeSystemVpn system;
        {
            Run first(f, system);
            // The session restore (with the device registration) runs to its
            // end in each run, so nothing is still awaited when a run goes.
            QTRY_VERIFY(!first.delegate->isRestoringSession());
            system.emitStatus(Status::Connected);
            QTRY_COMPARE(first.delegate->vpnStatus(), VPNDisplayStatus::Connected);
            first.delegate->quitApp();
            QCoreApplication::processEvents();
        }
        QCOMPARE(system.stopCalls, 0);
        QCOMPARE(system.status(), Status::Connected);

        system.reportStatusOnLoad = true;
        Run next(f, system);
        QTRY_COMPARE(next.delegate->vpnStatus(), VPNDisplayStatus::Connected);
        next.delegate->togglePopover();
        QVERIFY(QTest::qWaitForWindowExposed(next.delegate->popover()));
        QCOMPARE(next.button()->text(), u"Disconnect"_s);
        QTest::mouseClick(next.button(), Qt::LeftButton);
        QCOMPARE(system.stopCalls, 1);
        QTRY_COMPARE(next.delegate->vpnStatus(), VPNDisplayStatus::Disconnected);
        QCOMPARE(next.button()->text(), u"Connect"_s);
        QTRY_VERIFY(!next.delegate->isRestoringSession());
    }

    // Both actions: a window brought forward, and the proxy-only switch, off again
    // after the disconnect. (Status and select: the single-instance test's.)
    void controlActivatesAndConnectsFollowingTheStates()
    {
        ControlRig rig;
        QCOMPARE(rig.server.listen(rig.path()), std::nullopt);
        Client activate(rig.path());
        activate.send(request(u"activate"_s, {{u"window"_s, u"settings"_s}}));
        QVERIFY(activate.waitFor(1));
        QCOMPARE(rig.activated, QStringList{u"settings"_s});

        Client client(rig.path());
        client.send(request(u"connect"_s, {{u"protocol"_s, u"XrayReality"_s}, {u"server"_s, u"sg-node-01"_s},
                                           {u"proxyOnly"_s, true}}));
        QVERIFY(client.waitFor(1));
        QVERIFY(client.lines.first().value(u"ok"_s).toBool());
        QCOMPARE(rig.vpn.selectedProtocol(), VPNProtocolType::XrayReality);
        QCOMPARE(rig.xray.connectCalls.size(), 1);
        QCOMPARE(rig.xray.connectCalls[0].serverId, std::optional(u"sg-node-01"_s));
        rig.xray.setConnectedServer(u"sg-node-01"_s, u"203.0.113.10"_s);
        rig.xray.setState(VPNConnectionState::connected());
        QVERIFY(client.waitFor(2));
        QCOMPARE(client.lines.last().value(u"address"_s).toString(), u"203.0.113.10"_s);

        Client same(rig.path()), elsewhere(rig.path());
        same.send(request(u"connect"_s, {{u"protocol"_s, u"XrayReality"_s}, {u"server"_s, u"sg-node-01"_s}}));
        elsewhere.send(request(u"connect"_s, {{u"protocol"_s, u"IKEv2"_s}}));
        QVERIFY(same.waitFor(2) && elsewhere.waitFor(1));
        QCOMPARE(same.states(), QStringList{u"connected"_s});
        QVERIFY(elsewhere.lines.first().value(u"error"_s).toString().contains(u"velorin disconnect"_s));
        QCOMPARE(rig.xray.connectCalls.size(), 1);

        client.send(request(u"disconnect"_s));
        QTRY_COMPARE(rig.xray.disconnectCalls, 1);
        rig.xray.setState(VPNConnectionState::disconnecting());
        rig.xray.setState(VPNConnectionState::disconnected());
        QTRY_COMPARE(client.states().last(), u"disconnected"_s);
        QCOMPARE(rig.proxyOnly, (QList<bool>{true, false}));
    }

    void badControlRequestsGetAnErrorAndNothingChanges_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("not json") << QByteArray("status please\n") << u"malformed request"_s;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\x01\n", 7) << u"malformed request"_s;
        QTest::newRow("array") << QByteArray("[1,2]\n") << u"malformed request"_s;
        QTest::newRow("no version") << QByteArray("{\"command\":\"status\"}\n") << u"malformed request"_s;
        QTest::newRow("other version") << request(u"status"_s).replace("\"version\":1", "\"version\":2")
                                       << u"unsupported protocol version 2"_s;
        QTest::newRow("unknown command") << request(u"shutdown"_s) << u"unknown command \"shutdown\""_s;
        QTest::newRow("wrong type") << request(u"select"_s, {{u"server"_s, 7}}) << u"malformed request"_s;
        QTest::newRow("odd server id") << request(u"select"_s, {{u"server"_s, u"../../x"_s}}) << u"not a server id"_s;
        QTest::newRow("unknown server") << request(u"select"_s, {{u"server"_s, u"xx-node-99"_s}})
                                        << u"unknown server"_s;
        QTest::newRow("proxy-only IKEv2") << request(u"connect"_s, {{u"protocol"_s, u"IKEv2"_s}, {u"proxyOnly"_s, true}})
                                          << u"proxy-only works with the Xray protocol only"_s;
        QTest::newRow("too long") << QByteArray(10 * 1024 * 1024, 'x') << u"request too long"_s;
    }

    void badControlRequestsGetAnErrorAndNothingChanges()
    {
        ControlRig rig;
        QCOMPARE(rig.server.listen(rig.path()), std::nullopt);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const QString selected = rig.servers.selectedServer().id;
        Client client(rig.path());
        client.send(bytes);
        QVERIFY(client.waitFor(1));
        QVERIFY(!client.lines.first().value(u"ok"_s).toBool(true));
        QVERIFY2(client.lines.first().value(u"error"_s).toString().startsWith(error),
                 qPrintable(client.lines.first().value(u"error"_s).toString()));
        QVERIFY(client.waitClosed());
        QVERIFY(rig.ikev2.connectCalls.isEmpty() && rig.xray.connectCalls.isEmpty());
        QCOMPARE(rig.servers.selectedServer().id, selected);
        Client next(rig.path());
        next.send(request(u"status"_s));
        QVERIFY(next.waitFor(1) && next.lines.first().value(u"ok"_s).toBool());
    }

    // Another user reaching the socket (its folder opened by mistake) is
    // refused before anything it sends is read.
    void aControlPeerOfAnotherUserIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a client as another user");
        ControlRig rig;
        QCOMPARE(rig.server.listen(rig.path()), std::nullopt);
        QVERIFY(QFile::setPermissions(rig.dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                        | QFileDevice::ExeOwner | QFileDevice::ExeOther));
        QVERIFY(::chmod(QFile::encodeName(rig.path()).constData(), 0777) == 0);
        const QByteArray socketPath = QFile::encodeName(rig.path());
        const QByteArray ask = request(u"disconnect"_s);
        const pid_t child = ::fork();
        if (child == 0) {
            // As nobody: exit 0 only when the answer is the refusal.
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            ::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                ::_exit(3);
            [[maybe_unused]] const ssize_t sent = ::write(fd, ask.constData(), size_t(ask.size()));
            char answer[512] = {};
            const ssize_t n = ::read(fd, answer, sizeof answer - 1);
            ::_exit(n > 0 && std::strstr(answer, "refused: this application belongs to another user") ? 0 : 4);
        }
        // The application answers from this thread's event loop.
        int status = -1;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5000));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(rig.ikev2.disconnectCalls, 0);
    }

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

    void notificationServiceOnTheBus()
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

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
