// The shell around the screens: tray icon, panel and windows on each kind of
// desktop, and what a quit and the next start keep.
#include "model/NotificationNames.h"
#include "shell/ActivationPolicy.h"
#include "shell/AppDelegate.h"
#include "shell/PopoverPanel.h"
#include "shell/ShellFixture.h"
#include "support/FakeSystemVpn.h"
#include "ui/panel/MenuBarView.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QtTest>

using namespace Qt::StringLiterals;
using Status = SystemVpn::Status;

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
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
