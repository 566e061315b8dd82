// The tray icon on a real (virtual) display with a real tray host, clicked
// with real mouse events. Run through with-tray.sh: Xvfb, trayer, xdotool.
#include "shell/PopoverPanel.h"
#include "shell/ShellFixture.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QColor kIconColor(230, 30, 30);

QIcon redImage(const QString &)
{
    QPixmap pixmap(22, 22);
    pixmap.fill(kIconColor);
    return QIcon(pixmap);
}

QWidget *iconWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0 && widget->isVisible())
            return widget;
    }
    return nullptr;
}

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(u"xdotool"_s, arguments) == 0;
}

bool clickIcon(int button)
{
    QWidget *icon = iconWindow();
    if (!icon)
        return false;
    const QString id = QString::number(icon->winId());
    const int x = icon->width() / 2, y = icon->height() / 2;
    return xdotool({u"mousemove"_s, u"--window"_s, id, QString::number(x), QString::number(y), u"click"_s,
                    QString::number(button)});
}

QImage screen()
{
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

bool iconShownOnScreen()
{
    QWidget *icon = iconWindow();
    if (!icon)
        return false;
    const QImage image = screen();
    const QPoint centre = icon->mapToGlobal(icon->rect().center());
    const QColor seen = image.pixelColor(centre);
    return qAbs(seen.red() - kIconColor.red()) < 20 && seen.green() < 80 && seen.blue() < 80;
}

QMenu *openMenu()
{
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

} // namespace

class TestTrayDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs an X display with a tray host (run through with-tray.sh)");
    }

    // A left click on the icon while the panel is open only closes it.
    void clicksOnTheIcon()
    {
        ShellFixture f;
        AppViews views;
        views.panel = [](AppDelegate &) -> QWidget * { return new QLabel(u"panel"_s); };
        views.statusImage = redImage;
        AppDelegate &delegate = f.launch(views);
        PopoverPanel *panel = delegate.popover();

        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(iconShownOnScreen(), 10000);
        QVERIFY(screen().save(screenshotPath(u"tray-display-icon.png"_s)));

        QVERIFY(clickIcon(1));
        QTRY_VERIFY(panel->isVisible());
        // Under the icon, whether the tray told where it is or the click did.
        const QPoint iconCentre = iconWindow()->mapToGlobal(iconWindow()->rect().center());
        QVERIFY2(panel->geometry().top() > iconCentre.y(), "below the icon");
        QVERIFY2(qAbs(panel->geometry().top() - iconCentre.y()) < 40, "right below the icon");
        QTest::qWait(300);
        QVERIFY(screen().save(screenshotPath(u"tray-display-panel.png"_s)));

        QVERIFY(clickIcon(1));
        QTRY_VERIFY(!panel->isVisible());
        QTest::qWait(600);
        QVERIFY2(!panel->isVisible(), "the closing click must not open the panel again");
        QTest::qWait(AppDelegate::reopenGuardMs + 100);

        QVERIFY(clickIcon(3));
        QTRY_VERIFY(openMenu());
        QCOMPARE(openMenu(), delegate.contextMenu());
        QCOMPARE(openMenu()->actions().size(), 5);
        QVERIFY(!panel->isVisible());
        QTest::qWait(300);
        QVERIFY(screen().save(screenshotPath(u"tray-display-menu.png"_s)));
        QVERIFY(xdotool({u"key"_s, u"Escape"_s}));
        QTRY_VERIFY(!openMenu());
        QVERIFY(!panel->isVisible());

        QVERIFY(clickIcon(1));
        QTRY_VERIFY(panel->isVisible());
        QVERIFY(!openMenu());
    }

    // Last: the host is gone afterwards. (That closing the window then quits
    // is the StatusNotifierItem test's.)
    void aTrayThatGoesAwayLeavesTheMainWindow()
    {
        const qint64 trayer = qEnvironmentVariableIntValue("VELORIN_TEST_TRAYER_PID");
        if (trayer <= 0)
            QSKIP("the tray host's process is not known (run through with-tray.sh)");
        ShellFixture f;
        f.surface.reset();
        AppDelegate &delegate = f.launch();
        QTRY_VERIFY_WITH_TIMEOUT(iconWindow(), 10000);
        QVERIFY(!delegate.mainWindow());
        QVERIFY(::kill(pid_t(trayer), SIGTERM) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(delegate.mainWindow() && delegate.mainWindow()->isVisible(),
                                 TrayHostWatch::graceMs + 3000);
    }
};

QTEST_MAIN(TestTrayDisplay)
#include "tst_traydisplay.moc"
