#include "model/NotificationNames.h"
#include "shell/ShellFixture.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/window/MainWindowView.h"

#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct Fixture : ShellFixture
{
    std::unique_ptr<MainWindowView> window;

    MainWindowView &open(MainWindowScreens screens = {})
    {
        window = std::make_unique<MainWindowView>(account.auth, servers, vpn, account.center, std::move(screens));
        window->resize(800, 560);
        window->show();
        (void)QTest::qWaitForWindowExposed(window.get());
        return *window;
    }

    void post(const QString &name) { account.center.post(name); }

    QStringList sidebarTexts() const
    {
        QStringList texts;
        for (int row = 0; row < window->sidebar()->count(); ++row)
            texts.append(window->sidebar()->item(row)->text());
        return texts;
    }
    QString selectedRow() const
    {
        const QListWidgetItem *item = window->sidebar()->currentItem();
        return item ? item->text() : QString();
    }
    QString detailName() const
    {
        QWidget *detail = window->currentDetail();
        // The settings sit in a page of their own that centres them.
        if (detail && detail->objectName() == u"settingsPage"_s)
            detail = detail->findChild<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        return detail ? detail->objectName() : QString();
    }
    void clickRow(const QString &text)
    {
        QListWidget *list = window->sidebar();
        const QListWidgetItem *item = list->findItems(text, Qt::MatchExactly).value(0);
        QVERIFY(item);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void signInThenSplitView()
    {
        Fixture f;
        MainWindowView &window = f.open();
        QVERIFY(window.isShowingSignIn());
        QVERIFY(!window.sidebar());
        QVERIFY(window.findChild<QWidget *>(u"signInPlaceholder"_s)->isVisible());
        QVERIFY(saveGrab(&window, u"mainwindow-signedout"_s, true));

        QVERIFY(f.signIn());
        QVERIFY(!window.isShowingSignIn());
        QTRY_VERIFY(!window.findChild<QWidget *>(u"signInPage"_s)); // dropped, not kept hidden
        QCOMPARE(f.sidebarTexts(), (QStringList{u"Connection"_s, u"Account"_s, u"My Account"_s, u"Devices"_s,
                                                u"Settings"_s}));
        QCOMPARE(window.sidebar()->item(1)->flags(), Qt::NoItemFlags); // the section title
        for (int row : {0, 2, 3, 4})
            QVERIFY(!window.sidebar()->item(row)->icon().isNull());
        QCOMPARE(f.selectedRow(), u"Connection"_s);
        auto *connection = qobject_cast<ConnectionDetailView *>(window.currentDetail());
        QVERIFY(connection && connection->isVisible());

        auto *emblem = connection->findChild<StatusEmblem *>();
        f.ikev2.setState(VPNConnectionState::connected());
        QTRY_VERIFY(emblem->isPulsing());
        QVERIFY(saveGrab(&window, u"mainwindow-connected"_s, true));
        f.post(NotificationNames::showSettings);
        QVERIFY(!emblem->isPulsing());
        f.clickRow(u"Connection"_s);
        QVERIFY(emblem->isPulsing());

        f.account.auth.signOut();
        QVERIFY(window.isShowingSignIn());
        QVERIFY(!window.sidebar());
        QTRY_VERIFY(!window.findChild<QWidget *>(u"splitView"_s));
        QVERIFY(window.findChild<QWidget *>(u"signInPlaceholder"_s)->isVisible());
    }

    // Sent while signed out, a notification shows only after sign-in.
    void notifications()
    {
        Fixture f;
        MainWindowView &window = f.open();
        f.post(NotificationNames::showDevices);
        QVERIFY(window.isShowingSignIn());
        QVERIFY(f.signIn());
        const struct
        {
            QString name;
            QString row;
            QString detail;
        } cases[] = {
            {NotificationNames::showDevices, u"Devices"_s, u"devicesPlaceholder"_s},
            {NotificationNames::showAccount, u"My Account"_s, u"accountPlaceholder"_s},
            {NotificationNames::showSettings, u"Settings"_s, u"settingsPlaceholder"_s},
        };
        for (const auto &c : cases) {
            if (c.name != NotificationNames::showDevices) // that one came while signed out
                f.post(c.name);
            QCOMPARE((QStringList{f.selectedRow(), f.detailName()}), (QStringList{c.row, c.detail}));
            QVERIFY(window.currentDetail()->isVisible());
        }
        f.post(NotificationNames::authStatusChanged);
        f.post(u"com.velorin.showConnection"_s);
        QCOMPARE(window.selectedTab(), SidebarTab::Settings);
    }

    // Each screen is built once, when first shown; a sign-out drops them,
    // here from a screen's own button (the window must drop it only after
    // the click has finished).
    void rowsAndScreens()
    {
        Fixture f;
        QHash<QString, int> built;
        AuthService &auth = f.account.auth;
        const auto counted = [&built, &auth](const QString &name) {
            return [&built, &auth, name](QWidget *parent) -> QWidget * {
                ++built[name];
                auto *button = new QPushButton(name, parent);
                button->setObjectName(name);
                QObject::connect(button, &QPushButton::clicked, button, [&auth] { auth.signOut(); });
                return button;
            };
        };
        MainWindowScreens screens;
        screens.signIn = counted(u"customSignIn"_s);
        screens.settings = counted(u"customSettings"_s);
        screens.account = counted(u"customAccount"_s);

        MainWindowView &window = f.open(screens);
        QVERIFY(window.findChild<QWidget *>(u"customSignIn"_s)->isVisible());
        QVERIFY(f.signIn());
        QVERIFY(built.value(u"customSettings"_s) == 0);

        f.clickRow(u"Settings"_s);
        QCOMPARE(f.detailName(), u"customSettings"_s);
        QWidget *settings = window.findChild<QWidget *>(u"customSettings"_s);
        QTRY_VERIFY((settings->geometry().center() - settings->parentWidget()->rect().center()).manhattanLength() <= 2);
        f.clickRow(u"Account"_s); // the section title
        QCOMPARE(window.selectedTab(), SidebarTab::Settings);
        f.clickRow(u"Devices"_s);
        QCOMPARE(f.detailName(), u"devicesPlaceholder"_s);
        f.clickRow(u"Connection"_s);
        QVERIFY(qobject_cast<ConnectionDetailView *>(window.currentDetail()));
        f.clickRow(u"Settings"_s);
        f.clickRow(u"My Account"_s);
        QCOMPARE(built, (QHash<QString, int>{{u"customSignIn"_s, 1}, {u"customSettings"_s, 1}, {u"customAccount"_s, 1}}));

        QPointer<QWidget> signOut = window.findChild<QWidget *>(u"customAccount"_s);
        QTest::mouseClick(signOut, Qt::LeftButton);
        QVERIFY(window.isShowingSignIn());
        QTRY_VERIFY(!signOut);
        QCOMPARE(built.value(u"customSignIn"_s), 2);
        QVERIFY(f.signIn());
        QCOMPARE(f.selectedRow(), u"My Account"_s);
        QCOMPARE(f.detailName(), u"customAccount"_s);
        QCOMPARE(built.value(u"customAccount"_s), 2);
        QCOMPARE(built.value(u"customSettings"_s), 1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
