// How the application shows itself on each kind of desktop.
#include "shell/ShellFixture.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestSurface : public QObject
{
    Q_OBJECT

private slots:
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
};

QTEST_MAIN(TestSurface)
#include "tst_surface.moc"
