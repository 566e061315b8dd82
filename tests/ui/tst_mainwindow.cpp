// The main window, the account and settings screens it shows, and the icon set
// the screens draw from.
#include "AccountScreensSupport.h"
#include "model/ConnectionPresentation.h"
#include "model/NotificationNames.h"
#include "platform/AppInfo.h"
#include "shell/DisplayText.h"
#include "shell/ShellFixture.h"
#include "ui/account/DateText.h"
#include "ui/account/DeviceListView.h"
#include "ui/account/MacAccountView.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/common/Website.h"
#include "ui/settings/SettingsView.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/window/MainWindowView.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSvgRenderer>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using AccountPlan::StatusTone;
using Content = DeviceListText::Content;

namespace {

struct Fixture : ShellFixture
{
    std::unique_ptr<MainWindowView> window;

    std::unique_ptr<SettingsView> makeView()
    {
        auto view = std::make_unique<SettingsView>(defaults.standard(), vpn);
        view->show();
        return view;
    }

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

// The connection stays as the test sets it.
struct AccountFixture : ShellFixture
{
    MacAccountView view{account.auth, account.entitlements, account.center, vpn};

    AccountFixture()
    {
        ikev2.followCalls = false;
        view.resize(520, 560);
        view.show();
    }

    void signIn()
    {
        server.on("GET", u"/api/v1/subscriptions/status"_s,
                  StubServer::Response::json(200, "{\"status\":\"active\",\"plan\":\"personal_yearly\","
                                                  "\"expires_at\":\"2099-03-01T00:00:00Z\",\"is_trial\":false}"));
        QVERIFY(ShellFixture::signIn());
    }

    QString text(const char *name) const { return child<QLabel>(&view, name)->text(); }
    QStringList texts() const
    {
        QStringList shown{text("emailText"), text("planText"), text("statusText")};
        if (child(&view, "expiresRow")->isVisible())
            shown << text("expiresText");
        return shown;
    }
    void click(const char *name) { ::click(child(&view, name)); }
};

const QStringList kKeys{u"launchAtLogin"_s, u"showInDock"_s, u"autoConnect"_s,
                        u"killSwitch"_s,    u"allowLAN"_s,   u"enableLogging"_s};

QCheckBox *toggle(const SettingsView &view, const QString &key)
{
    return view.findChild<QCheckBox *>(key + u"Toggle"_s);
}

QRadioButton *radio(const SettingsView &view, VPNProtocolType type)
{
    return view.findChild<QRadioButton *>(u"protocol"_s + VPNProtocol::rawValue(type));
}

void clickButton(QAbstractButton *button)
{
    QTRY_VERIFY(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

struct Ink
{
    int pixels = 0; // pixels with any coverage
    int offColour = 0; // covered pixels whose colour is not the requested one
};

Ink inkOf(const QImage &source, const QColor &color)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    Ink ink;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor px = image.pixelColor(x, y);
            if (px.alpha() < 24)
                continue;
            ++ink.pixels;
            // Faint edge pixels lose colour precision in premultiplied form.
            const int tolerance = 2 + 255 / px.alpha();
            if (std::abs(px.red() - color.red()) > tolerance || std::abs(px.green() - color.green()) > tolerance
                || std::abs(px.blue() - color.blue()) > tolerance)
                ++ink.offColour;
        }
    }
    return ink;
}

const QString kThisMac = u"11111111-AAAA-BBBB-CCCC-000000000001"_s;

// This computer (fractional seconds), a phone without a version and a device
// without a platform whose date does not parse; the backend counts two active.
const QByteArray kThreeDevices =
    "{\"devices\":["
    "{\"id\":1,\"device_id\":\"11111111-AAAA-BBBB-CCCC-000000000001\",\"nickname\":\"Studio Desk\","
    "\"platform\":\"macos\",\"is_active\":true,\"last_seen_at\":null,"
    "\"created_at\":\"2026-01-31T12:00:00.123Z\",\"app_version\":\"2.5\"},"
    "{\"id\":2,\"device_id\":\"22222222-AAAA-BBBB-CCCC-000000000002\",\"nickname\":\"Ada's Phone\","
    "\"platform\":\"iOS\",\"is_active\":true,\"last_seen_at\":null,"
    "\"created_at\":\"2026-02-01T08:30:00Z\",\"app_version\":null},"
    "{\"id\":3,\"device_id\":\"33333333-AAAA-BBBB-CCCC-000000000003\",\"nickname\":\"Old Box\","
    "\"is_active\":true,\"created_at\":\"last Tuesday\",\"app_version\":\"1.9\"}"
    "],\"device_limit\":3,\"active_count\":2,\"can_add_more\":true}";
const QByteArray kNoDevices = "{\"devices\":[],\"device_limit\":5,\"active_count\":0,\"can_add_more\":true}";

struct DeviceListFixture : StubAccount
{
    DeviceManager &manager = app.devices;
    std::unique_ptr<DeviceListView> view;

    explicit DeviceListFixture(const StubServer::Response &list = StubServer::Response::json(200, kThreeDevices))
    {
        app.tokens.save(u"AT-1"_s, u"access_token"_s);
        app.tokens.save(kThisMac, u"device_id"_s);
        server.on("GET", u"/api/v1/devices"_s, list);
        view = std::make_unique<DeviceListView>(manager);
        view->resize(520, 480);
    }

    ~DeviceListFixture() { QTRY_VERIFY(!manager.isLoading()); }

    void showAndLoad()
    {
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        QTRY_VERIFY(!manager.isLoading());
    }

    QString text(const char *name) const { return view->findChild<QLabel *>(QString::fromLatin1(name))->text(); }
    bool visible(const char *name) const { return view->findChild<QWidget *>(QString::fromLatin1(name))->isVisible(); }
    MacDeviceRow *row(const QString &nickname) const
    {
        for (MacDeviceRow *row : view->rows())
            if (row->device().nickname == nickname)
                return row;
        return nullptr;
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

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

    void planDisplayName()
    {
        const std::pair<QString, QString> cases[] = {
            {u"  personal_yearly  "_s, u"Personal Yearly"_s},
            {u"STRIPE"_s, u"Premium (Stripe)"_s},
            {u"gold"_s, u"Gold"_s}, // no rule: each word capitalised
            {u"GOLD plus"_s, u"Gold Plus"_s},
            {u"Yearly"_s, u"Yearly Plan"_s},
            {u"personal_monthly"_s, u"Personal Monthly"_s},
            {u"family-yearly"_s, u"Family Yearly"_s},
            {u"FamilyMonth"_s, u"Family Monthly"_s},
            {u"personal_trial"_s, u"Personal"_s}, // "personal" is checked before "trial"
            {u"yearly_trial"_s, u"Free Trial"_s},
            {u"app_review"_s, u"Review Account"_s},
            {u"apple_iap"_s, u"Premium (App Store)"_s},
            {u"stripe_gold"_s, u"Stripe_gold"_s}, // Stripe only when the whole name
            {u"Unknown"_s, u"Premium"_s},
            {QString(), u"Premium"_s},
        };
        for (const auto &[provider, expected] : cases)
            QCOMPARE(AccountPlan::displayName(provider), expected);
    }

    // Active while the record says so, with 48 hours of grace after the expiry.
    void statusFollowsRecordAndGrace()
    {
        const qint64 day = 86400;
        const struct
        {
            bool isActive;
            qint64 expirySecondsFromNow;
            bool shownActive;
        } cases[] = {{true, 30 * day, true}, {true, -(2 * day - 1), true}, {true, -2 * day, false}, {false, 365 * day, false}};
        const QDateTime now(QDate(2026, 3, 10), QTime(9, 30), Qt::UTC);
        for (const auto &c : cases) {
            const EntitlementCache record{c.isActive, now.addSecs(c.expirySecondsFromNow), now, u"stripe"_s};
            const AccountPlan::Info info = AccountPlan::info(record, now);
            QCOMPARE(info.status, c.shownActive ? u"Active"_s : u"Expired"_s);
            QCOMPARE(info.tone, c.shownActive ? StatusTone::Green : StatusTone::Red);
        }
    }

    void pageFollowsTheCachedRecord()
    {
        AccountFixture f;
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"No Subscription"_s, u"Inactive"_s}));

        const QDateTime now = QDateTime::currentDateTimeUtc();
        f.account.entitlements.saveEntitlement(true, now.addDays(-1), u"  personal_yearly  "_s);
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"Personal Yearly"_s, u"Active"_s,
                                         QLocale().toString(now.addDays(-1).date(), u"MMM d, yyyy"_s)}));
        QCOMPARE(f.view.findChild<QLabel *>(u"statusText"_s)->palette().color(QPalette::WindowText), Style::green());

        f.account.entitlements.saveEntitlement(true, now.addDays(-3), u"gold"_s);
        QCOMPARE(f.texts().mid(1, 2), (QStringList{u"Gold"_s, u"Expired"_s}));
        QCOMPARE(f.view.findChild<QLabel *>(u"statusText"_s)->palette().color(QPalette::WindowText), Style::red());
    }

    // (What a sign-out removes is the auth service's test.)
    void signOutAfterConfirmation()
    {
        AccountFixture f;
        f.signIn();
        QCOMPARE(f.texts(), (QStringList{u"ada@example.com"_s, u"Personal Yearly"_s, u"Active"_s, u"Mar 1, 2099"_s}));
        QVERIFY(saveGrab(&f.view, u"account-active"_s));

        f.click("signOutButton");
        QMessageBox *box = f.view.signOutConfirmation();
        QVERIFY(box);
        QCOMPARE(box->text(), u"Are you sure you want to sign out? You'll need to log in again to use VPN."_s);
        QCOMPARE(box->buttons().size(), 2);
        QVERIFY(answer(box, QMessageBox::RejectRole));
        QTRY_VERIFY(!f.view.signOutConfirmation());
        QVERIFY(f.account.auth.authState().isAuthenticated());

        f.click("signOutButton");
        QVERIFY(answer(f.view.signOutConfirmation(), QMessageBox::DestructiveRole));
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"No Subscription"_s, u"Inactive"_s}));
    }

    // The sign-out waits for the stop; a connection that does not stop
    // leaves the user signed in, told why.
    void signOutWhileConnectedStopsFirst()
    {
        AccountFixture f;
        for (const bool stops : {true, false}) {
            f.view.setSignOutStopLimit(300);
            f.signIn();
            f.ikev2.setState(VPNConnectionState::connected());
            QTRY_VERIFY(f.vpn.connectionState().is(VPNConnectionState::Kind::Connected));
            f.click("signOutButton");
            QTRY_VERIFY(f.view.signOutConfirmation());
            QVERIFY(f.view.signOutConfirmation()->text().contains(u"disconnects it first"_s));
            QVERIFY(answer(f.view.signOutConfirmation(), QMessageBox::DestructiveRole));
            QVERIFY(f.account.auth.authState().isAuthenticated());
            if (stops)
                f.ikev2.setState(VPNConnectionState::disconnected());
            QTRY_COMPARE(f.account.auth.authState().isAuthenticated(), !stops);
            QTRY_COMPARE(f.view.findChild<QWidget *>(u"signOutError"_s)->isVisible(), !stops);
        }
        QCOMPARE(f.ikev2.disconnectCalls, 2);
    }

    void actionsPostAndOpenPages()
    {
        AccountFixture f;
        OpenedUrls opened;
        QSignalSpy posted(&f.account.center, &NotificationCenter::posted);
        f.click("manageDevicesButton");
        QCOMPARE(posted.size(), 1);
        QCOMPARE(posted[0][0].toString(), u"com.velorin.showDevices"_s);

        f.click("manageSubscriptionLink");
        f.click("helpSupportButton");
        QCOMPARE(opened.urls, (QList<QUrl>{QUrl(u"https://velorin.example/vpn/"_s), QUrl(u"https://velorin.example/support"_s)}));
    }

    void linksWithoutAddressAreLeftOut()
    {
        qputenv("VELORIN_WEBSITE_URL", "not a web address");
        AccountFixture f;
        qunsetenv("VELORIN_WEBSITE_URL");
        QVERIFY(!f.view.findChild<QAbstractButton *>(u"manageSubscriptionLink"_s));
        QVERIFY(!f.view.findChild<QAbstractButton *>(u"helpSupportButton"_s));
        QVERIFY(f.view.findChild<QAbstractButton *>(u"manageDevicesButton"_s));
        QVERIFY(f.view.findChild<QAbstractButton *>(u"signOutButton"_s));
    }

    void websitePages()
    {
        const std::pair<QString, QString> cases[] = {
            {u"https://velorin.example"_s, u"https://velorin.example/vpn/"_s},
            {u"http://127.0.0.1:8080"_s, u"http://127.0.0.1:8080/vpn/"_s},
            {QString(), QString()}, // an empty expectation: no valid page
            {u"velorin.example"_s, QString()},
            {u"ftp://velorin.example"_s, QString()},
            {u"https://velorin example"_s, QString()},
        };
        for (const auto &[base, expected] : cases) {
            const QUrl url = Website::page(base, u"/vpn/"_s);
            QCOMPARE(url.isValid() ? url.toString() : QString(), expected);
        }
    }

    void defaultsAreNotWrittenAndResetIsLimitedToTheSwitches()
    {
        Fixture f;
        UserDefaults &store = f.defaults.standard();
        SettingsModel model(store, f.vpn);
        for (const QString &key : kKeys) {
            QCOMPARE(model.value(key), key == u"allowLAN");
            QVERIFY(!store.contains(key));
            model.setValue(key, key != u"allowLAN");
        }
        store.set(u"selected_server_id"_s, u"sg-node-01"_s);
        store.set(u"xrayKillSwitchActive"_s, true);
        const QString storedProtocol = store.string(u"vpnProtocol"_s).value_or(QString());
        model.resetAll();
        for (const QString &key : kKeys) {
            QVERIFY(!store.contains(key));
            QCOMPARE(model.value(key), key == u"allowLAN");
        }
        QCOMPARE(store.string(u"selected_server_id"_s), std::optional<QString>(u"sg-node-01"_s));
        QCOMPARE(store.boolValue(u"xrayKillSwitchActive"_s), std::optional<bool>(true));
        QCOMPARE(store.string(u"vpnProtocol"_s).value_or(QString()), storedProtocol);
    }

    void diagnosticsExport()
    {
        QCOMPARE(QFileInfo(SettingsModel::suggestedDiagnosticsPath(QDate(2026, 1, 31))).fileName(),
                 u"velorin-diagnostics-2026-01-31.txt"_s);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"out.txt"_s);
        const QStringList lines{u"🔍 SettingsTest: first line"_s, u"🔍 SettingsTest: second line"_s};
        const SettingsModel::ExportResult saved = SettingsModel::exportDiagnostics(path, lines);
        QVERIFY(!saved.failed);
        QVERIFY(saved.status.startsWith(u"Saved 2 log lines to "_s));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList written = QString::fromUtf8(file.readAll()).split(u'\n');
        QVERIFY(written[0].startsWith(u"Velorin VPN "_s));
        QCOMPARE(written.mid(1, 2), lines);
        QCOMPARE(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                                       | QFileDevice::WriteOther),
                 QFileDevice::Permissions());

        const SettingsModel::ExportResult failed =
            SettingsModel::exportDiagnostics(dir.filePath(u"missing/out.txt"_s), lines);
        QVERIFY(failed.failed);
        QVERIFY(failed.status.startsWith(u"Could not save the diagnostic logs: "_s));
    }

    // Only LAN access is on by default; every appearance starts on General.
    void switchesInTwoViews()
    {
        Fixture f;
        f.defaults.standard().set(u"killSwitch"_s, true);
        auto view = f.makeView();
        auto window = f.makeView();
        for (const QString &key : kKeys)
            QCOMPARE(toggle(*view, key)->isChecked(), key == u"allowLAN" || key == u"killSwitch");
        QVERIFY(saveGrab(view.get(), u"settings-general"_s));

        clickButton(toggle(*view, u"autoConnect"_s));
        QCOMPARE(f.defaults.standard().boolValue(u"autoConnect"_s), std::optional<bool>(true));
        QVERIFY(toggle(*window, u"autoConnect"_s)->isChecked());
        window->setSelectedSettingsTab(SettingsTab::Connection);
        clickButton(toggle(*window, u"allowLAN"_s));
        QVERIFY(!toggle(*view, u"allowLAN"_s)->isChecked());
        QCOMPARE(f.defaults.standard().boolValue(u"allowLAN"_s), std::optional<bool>(false));

        view->setSelectedSettingsTab(SettingsTab::Advanced);
        auto *reset = view->findChild<QPushButton *>(u"resetSettingsButton"_s);
        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(answer(view->advancedPane()->resetConfirmation(), QMessageBox::RejectRole));
        QTRY_VERIFY(!view->advancedPane()->resetConfirmation());
        QCOMPARE(f.defaults.standard().boolValue(u"autoConnect"_s), std::optional<bool>(true));
        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(answer(view->advancedPane()->resetConfirmation(), QMessageBox::DestructiveRole));
        QVERIFY(!f.defaults.standard().contains(u"autoConnect"_s));
        QVERIFY(!toggle(*window, u"autoConnect"_s)->isChecked());

        view->hide();
        view->show();
        QCOMPARE(view->selectedSettingsTab(), SettingsTab::General);
    }

    // The picker shows the manager's choice: Xray Reality and WireGuard are
    // not available, so it stays on IKEv2.
    void protocolPickerFollowsTheManager()
    {
        Fixture f;
        auto view = f.makeView();
        auto other = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Connection);
        auto checked = [](const SettingsView &v) { return v.findChild<ConnectionSettingsView *>()->checkedProtocol(); };
        QCOMPARE(checked(*view), VPNProtocolType::IKEv2);
        QVERIFY(saveGrab(view.get(), u"settings-connection"_s));
        for (VPNProtocolType unavailable : {VPNProtocolType::XrayReality, VPNProtocolType::WireGuard}) {
            clickButton(radio(*view, unavailable));
            QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
            QCOMPARE(checked(*view), VPNProtocolType::IKEv2);
        }

        const QString description = view->findChild<ConnectionSettingsView *>()->descriptionText();
        f.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        QCOMPARE(checked(*view), VPNProtocolType::XrayReality);
        QCOMPARE(checked(*other), VPNProtocolType::XrayReality);
        QVERIFY(view->findChild<ConnectionSettingsView *>()->descriptionText() != description);
        clickButton(radio(*view, VPNProtocolType::IKEv2));
        QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(checked(*other), VPNProtocolType::IKEv2);
    }

    // The save dialog must not block (a failure's text: the model's test).
    void exportFromTheAdvancedPane()
    {
        Fixture f;
        auto view = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Advanced);
        QTemporaryDir dir;
        auto *button = view->findChild<QPushButton *>(u"exportLogsButton"_s);
        QTest::mouseClick(button, Qt::LeftButton);
        QFileDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = view->findChild<QFileDialog *>(u"exportDialog"_s)) && dialog->isVisible());
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        emit dialog->fileSelected(dir.filePath(u"chosen.txt"_s));
        dialog->close();
        QVERIFY(QFile::exists(dir.filePath(u"chosen.txt"_s)));
        QVERIFY(view->advancedPane()->statusText().startsWith(u"Saved "_s));
    }

    // Without a build number the version shows the fallback "(1)".
    void aboutPane()
    {
        AppInfo::setCurrent(AppInfo(u"2.5"_s, std::nullopt));
        Fixture f;
        auto view = f.makeView();
        AppInfo::setCurrent(AppInfo::fromBuild());
        view->setSelectedSettingsTab(SettingsTab::About);
        QCOMPARE(view->findChild<QLabel *>(u"appNameText"_s)->text(), u"Velorin VPN"_s);
        QCOMPARE(view->findChild<QLabel *>(u"versionText"_s)->text(), u"Version 2.5 (1)"_s);

        OpenedUrls opened;
        for (const char *name : {"websiteLink", "privacyLink", "termsLink"})
            QTest::mouseClick(view->findChild<QAbstractButton *>(QString::fromLatin1(name)), Qt::LeftButton);
        QCOMPARE(opened.urls, (QList<QUrl>{QUrl(u"https://velorin.example/"_s), QUrl(u"https://velorin.example/privacy"_s),
                                           QUrl(u"https://velorin.example/terms"_s)}));

        qputenv("VELORIN_WEBSITE_URL", "::");
        AboutView withoutLinks;
        qunsetenv("VELORIN_WEBSITE_URL");
        QVERIFY(withoutLinks.findChildren<QAbstractButton *>().isEmpty());
    }

    void everyStatusSymbolIsInTheSet()
    {
        for (const auto status : {VPNDisplayStatus::Disconnected, VPNDisplayStatus::Connecting,
                                  VPNDisplayStatus::Connected, VPNDisplayStatus::Disconnecting, VPNDisplayStatus::Error}) {
            const auto look = ConnectionPresentation::look(status);
            for (const QString &symbol : {look.traySymbol, look.emblemSymbol, look.buttonSymbol})
                QVERIFY2(Icons::has(symbol), qPrintable(symbol));
        }
        QVERIFY(Icons::has(u"MenuBarIcon"_s));
    }

    void everyIconIsAValidDrawing_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString &name : Icons::names())
            if (name != u"AppIcon")
                QTest::newRow(qPrintable(name)) << name;
    }
    void everyIconIsAValidDrawing()
    {
        QFETCH(QString, name);
        QVERIFY(Icons::has(name));
        QSvgRenderer renderer(Icons::resourcePath(name));
        QVERIFY(renderer.isValid());
        QCOMPARE(renderer.viewBoxF(), QRectF(0, 0, 24, 24));

        for (const QColor &color : {QColor(Qt::white), QColor(0, 200, 83)}) {
            const QImage image = Icons::pixmap(name, color, 24, 1).toImage();
            QCOMPARE(image.size(), QSize(24, 24));
            const Ink ink = inkOf(image, color);
            QVERIFY2(ink.pixels > 24, qPrintable(u"%1 covers %2 pixels"_s.arg(name).arg(ink.pixels)));
            QCOMPARE(ink.offColour, 0);
        }
        QVERIFY(inkOf(Icons::pixmap(name, Qt::black, 18, 1).toImage(), Qt::black).pixels > 18);
    }

    void whiteInkIsACutOut()
    {
        // The check inside the filled shield (a point on its stroke, 11, 14.75
        // in the 24-grid) is transparent; the shield body beside it is coloured.
        const QImage image = Icons::pixmap(u"checkmark.shield.fill"_s, Qt::red, 48, 1).toImage();
        QVERIFY(qAlpha(image.pixel(22, 29)) < 40);
        QCOMPARE(qAlpha(image.pixel(24, 16)), 255);
    }

    void pixelRatioAndCache()
    {
        const QPixmap sharp = Icons::pixmap(u"lock"_s, Qt::white, 18, 2);
        QCOMPARE(sharp.size(), QSize(36, 36));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QVERIFY(Icons::pixmap(u"lock"_s, Qt::black, 18, 2).cacheKey() != sharp.cacheKey());

        const QIcon icon = Icons::icon(u"lock"_s, Qt::white, 18);
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(18, 18)});
        QCOMPARE(icon.pixmap(QSize(18, 18), 2.0).size(), QSize(36, 36));
        const QImage disabled = icon.pixmap(QSize(24, 24), 1.0, QIcon::Disabled).toImage();
        int strongest = 0;
        for (int y = 0; y < disabled.height(); ++y)
            for (int x = 0; x < disabled.width(); ++x)
                strongest = std::max(strongest, qAlpha(disabled.pixel(x, y)));
        QVERIFY(strongest > 0 && strongest <= 110);
    }

    void unknownNameGivesAPlaceholder()
    {
        QVERIFY(!Icons::has(u"no.such.symbol"_s));
        QVERIFY(!Icons::has(QString()));
        QVERIFY(!Icons::has(u"../icons/shield"_s));
        QVERIFY(inkOf(Icons::pixmap(u"no.such.symbol"_s, Qt::white, 24, 1).toImage(), Qt::white).pixels > 24);
        QVERIFY(!Icons::icon(QString(), Qt::white).pixmap(16, 16).isNull());
        QVERIFY(Icons::pixmap(u"shield"_s, Qt::white, 0).isNull());
    }

    void appIconIsInColour()
    {
        const QIcon icon = Icons::appIcon();
        QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
        const QColor corner = icon.pixmap(64, 64).toImage().pixelColor(20, 8);
        QVERIFY(corner.alpha() == 255 && corner.saturation() > 100);
        // Drawn at each size, not scaled from another.
        QCOMPARE(icon.pixmap(40, 40).size(), QSize(40, 40));
        QVERIFY(icon.pixmap(40, 40).toImage().pixelColor(12, 5).saturation() > 100);
    }

    // An offset date reads in local time.
    void detailPartsAndDates()
    {
        const QByteArray common = "{\"id\":1,\"device_id\":\"d\",\"nickname\":\"n\",\"is_active\":true,";
        const std::pair<QByteArray, QStringList> devices[] = {
            {common + "\"platform\":\"windows\",\"created_at\":\"2026-02-01T09:30:00+01:00\"}",
             {u"WINDOWS"_s, u"Feb 1, 2026, 8:30 AM"_s}},
            {common + "\"platform\":\" \",\"created_at\":\"\",\"app_version\":\"\"}", {u"UNKNOWN"_s, QString()}},
        };
        for (const auto &[device, parts] : devices)
            QCOMPARE(DeviceListText::detailParts(RegisteredDevice::decode(JsonReader(JsonReader::parseObject(device)))),
                     parts);

        const std::pair<QLocale, QString> dates[] = {
            {QLocale(QLocale::English, QLocale::UnitedStates), u"Jan 31, 2026"_s},
            {QLocale(QLocale::English, QLocale::UnitedKingdom), u"31 Jan 2026"_s},
            {QLocale(QLocale::French, QLocale::France), u"31 janv. 2026"_s},
            {QLocale(QLocale::Japanese, QLocale::Japan), u"2026年1月31日"_s},
        };
        for (const auto &[locale, expected] : dates)
            QCOMPARE(DateText::mediumDate(QDateTime(QDate(2026, 1, 31), QTime(12, 0), Qt::UTC), locale), expected);
    }

    // Showing the page fetches the list; a cut name has the whole name as tooltip.
    void showsTheAccountsDevices()
    {
        QByteArray devices = kThreeDevices;
        const QString longName = u"Old Box "_s.repeated(20).trimmed();
        devices.replace("Old Box", longName.toUtf8());
        DeviceListFixture f(StubServer::Response::json(200, devices));
        QVERIFY(f.server.requests().isEmpty());
        f.showAndLoad();
        QCOMPARE(f.server.requests("GET", u"/api/v1/devices"_s).size(), 1);
        QCOMPARE(f.view->content(), Content::List);
        QCOMPARE(f.text("slotsText"), u"2 of 3 device slots used"_s);
        QCOMPARE(f.text("footerText"), u"Your subscription supports up to 3 devices."_s);
        QVERIFY(!f.visible("errorBanner"));

        const struct
        {
            QString name;
            bool current;
            QString symbol;
            QString details;
        } expected[] = {
            {u"Studio Desk"_s, true, u"laptopcomputer"_s, u"MACOS  ·  v2.5  ·  Jan 31, 2026, 12:00 PM"_s},
            {u"Ada's Phone"_s, false, u"iphone"_s, u"IOS  ·  Feb 1, 2026, 8:30 AM"_s},
            {longName, false, u"questionmark.circle"_s, u"UNKNOWN  ·  v1.9  ·  last Tuesday"_s},
        };
        const auto rows = f.view->rows();
        QCOMPARE(rows.size(), 3);
        for (int i = 0; i < 3; ++i) {
            MacDeviceRow *row = rows[i];
            const auto &want = expected[i];
            QCOMPARE(row->device().nickname, want.name);
            QCOMPARE(row->isCurrent(), want.current);
            QCOMPARE(child<QLabel>(row, "thisMacBadge") != nullptr, want.current);
            QCOMPARE(row->findChild<QAbstractButton *>() != nullptr, !want.current);
            const auto *icon = child<SymbolView>(row, "platformIcon");
            QCOMPARE(icon->symbol(), want.symbol);
            QCOMPARE(icon->color(), want.current ? Style::accent() : Style::secondaryText(row));
            QCOMPARE(child<QLabel>(row, "detailText")->text(), want.details);
            const auto *name = child<QLabel>(row, "nicknameText");
            QCOMPARE(name->toolTip(), name->text() == want.name ? QString() : DisplayText::toolTip(want.name));
        }
        QCOMPARE(child<QLabel>(rows[0], "thisMacBadge")->text(), u"This Computer"_s);
        QVERIFY(child<QLabel>(rows[2], "nicknameText")->text().endsWith(u"…"_s));
        QVERIFY(saveGrab(f.view.get(), u"devices-list"_s));
    }

    void loadingErrorAndRefresh()
    {
        DeviceListFixture f(StubServer::Response::json(500, "{\"detail\":\"boom\"}"));
        f.showAndLoad();
        QVERIFY(f.visible("errorBanner"));
        QCOMPARE(f.text("errorText"), u"Failed to load devices"_s);
        QVERIFY(f.visible("emptyState"));

        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kNoDevices).after(400ms));
        QTest::mouseClick(f.view->findChild<QPushButton *>(u"retryButton"_s), Qt::LeftButton);
        QTRY_VERIFY(f.manager.isLoading());
        QVERIFY(f.visible("loadingState"));
        QVERIFY(!f.visible("emptyState"));

        QTRY_VERIFY(!f.manager.isLoading());
        QVERIFY(f.visible("emptyState"));
        QVERIFY(!f.visible("loadingState") && !f.visible("errorBanner"));
        QCOMPARE(f.text("slotsText"), u"0 of 5 device slots used"_s);

        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kThreeDevices));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_COMPARE(f.view->rows().size(), 3);

        // The same list again keeps the very rows, and so the focus.
        const QList<MacDeviceRow *> rows = f.view->rows();
        f.row(u"Old Box"_s)->removeButton()->setFocus();
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kThreeDevices).after(400ms));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_VERIFY(f.manager.isLoading());
        QCOMPARE(f.view->rows().size(), 3);
        QVERIFY(!f.visible("loadingState"));
        QTRY_VERIFY(!f.manager.isLoading());
        QCOMPARE(f.server.requests("GET", u"/api/v1/devices"_s).size(), 4);
        QCOMPARE(f.view->rows(), rows);
        f.row(u"Old Box"_s)->removeButton()->setFocus();

        // A changed list is made anew, the focus back on the same device.
        QByteArray renamed = kThreeDevices;
        renamed.replace("Ada's Phone", "Ada's New Phone");
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, renamed));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_VERIFY(f.row(u"Ada's New Phone"_s));
        QCOMPARE(f.view->focusWidget(), f.row(u"Old Box"_s)->removeButton());
    }

    void removeAfterConfirmation()
    {
        DeviceListFixture f;
        f.server.on("POST", u"/api/v1/devices/revoke"_s,
                    StubServer::Response::json(200, "{\"status\":\"ok\",\"message\":\"Device revoked\"}"));
        f.showAndLoad();

        MacDeviceRow *row = f.row(u"Ada's Phone"_s);
        QTest::mouseMove(f.view.get(), QPoint(1, 1));
        QTRY_VERIFY(!row->isHovering());
        QCOMPARE(row->removeButton()->backgroundColor(), Style::withAlpha(Style::red(), 0.08));
        QTest::mouseMove(row, row->rect().center());
        QTRY_VERIFY(row->isHovering());
        QCOMPARE(row->removeButton()->backgroundColor(), Style::withAlpha(Style::red(), 0.15));

        QTest::mouseClick(row->removeButton(), Qt::LeftButton);
        QMessageBox *box = f.view->removeConfirmation();
        QVERIFY(box);
        QCOMPARE(box->text(), u"Remove \"Ada's Phone\"? This device will no longer be able to use Velorin VPN."_s);
        QVERIFY(answer(box, QMessageBox::RejectRole));
        QTRY_VERIFY(!f.view->removeConfirmation());
        QVERIFY(!f.view->deviceToRevoke());
        QTest::qWait(100);
        QVERIFY(f.server.requests("POST", u"/api/v1/devices/revoke"_s).isEmpty());
        QCOMPARE(f.view->rows().size(), 3);

        QTest::mouseClick(f.row(u"Ada's Phone"_s)->removeButton(), Qt::LeftButton);
        QVERIFY(answer(f.view->removeConfirmation(), QMessageBox::DestructiveRole));
        QTRY_COMPARE(f.view->rows().size(), 2);
        const auto revokes = f.server.requests("POST", u"/api/v1/devices/revoke"_s);
        QCOMPARE(revokes.size(), 1);
        QCOMPARE(revokes[0].json().value(u"device_id"_s).toString(), u"22222222-AAAA-BBBB-CCCC-000000000002"_s);
        QCOMPARE(f.text("slotsText"), u"1 of 3 device slots used"_s);
    }

};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
