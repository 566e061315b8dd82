#include "support/AccountServices.h"
#include "support/StubServer.h"
#include "ui/account/DateText.h"
#include "ui/account/DeviceListView.h"
#include "ui/common/Style.h"
#include "AccountScreensSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Content = DeviceListText::Content;

namespace {

const QString kThisMac = u"11111111-AAAA-BBBB-CCCC-000000000001"_s;

// This computer (with fractional seconds), a phone without a version (without
// them) and a device without a platform whose date does not parse. The
// backend counts two active devices of three.
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

struct Fixture
{
    StubServer server;
    TempDefaults defaults;
    FakeKeychain keychain;
    AccountServices services{defaults, keychain, server.baseUrl()};
    DeviceManager &manager = services.devices;
    std::unique_ptr<DeviceListView> view;

    explicit Fixture(const StubServer::Response &list = StubServer::Response::json(200, kThreeDevices))
    {
        services.tokens.save(u"AT-1"_s, u"access_token"_s);
        services.tokens.save(kThisMac, u"device_id"_s);
        server.on("GET", u"/api/v1/devices"_s, list);
        view = std::make_unique<DeviceListView>(manager);
        view->resize(520, 480);
    }

    ~Fixture()
    {
        // No request may outlive the manager.
        QTRY_VERIFY(!manager.isLoading());
    }

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
    QString details(const QString &nickname) const
    {
        return row(nickname)->findChild<QLabel *>(u"detailText"_s)->text();
    }
};

} // namespace

class TestDeviceListView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

    void detailLine_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QStringList>("parts");
        const QByteArray common = "\"id\":1,\"device_id\":\"d\",\"nickname\":\"n\",\"is_active\":true,";
        QTest::newRow("whole seconds, offset")
            << common + "\"platform\":\"windows\",\"created_at\":\"2026-02-01T09:30:00+01:00\""
            << QStringList{u"WINDOWS"_s, u"Feb 1, 2026, 8:30 AM"_s};
        QTest::newRow("blank platform, empty version")
            << common + "\"platform\":\" \",\"created_at\":\"\",\"app_version\":\"\"" << QStringList{u"UNKNOWN"_s, QString()};
    }

    void detailLine()
    {
        QFETCH(QByteArray, device);
        QFETCH(QStringList, parts);
        const auto decoded = RegisteredDevice::decode(JsonReader(JsonReader::parseObject("{" + device + "}")));
        QCOMPARE(DeviceListText::detailParts(decoded), parts);
    }

    void mediumDateFormats_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << u"Jan 31, 2026"_s;
        QTest::newRow("en_GB") << QLocale(QLocale::English, QLocale::UnitedKingdom) << u"31 Jan 2026"_s;
        QTest::newRow("fr_FR") << QLocale(QLocale::French, QLocale::France) << u"31 janv. 2026"_s;
        QTest::newRow("ja_JP") << QLocale(QLocale::Japanese, QLocale::Japan) << u"2026年1月31日"_s;
    }

    void mediumDateFormats()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, expected);
        QCOMPARE(DateText::mediumDate(QDateTime(QDate(2026, 1, 31), QTime(12, 0), Qt::UTC), locale), expected);
    }

    // Showing the page fetches the list; the header and footer read the
    // backend's numbers; this computer's row has the badge, an accent icon
    // and no Remove button.
    void showsTheAccountsDevices()
    {
        Fixture f;
        QVERIFY(f.server.requests().isEmpty());
        f.showAndLoad();
        QCOMPARE(f.server.requests("GET", u"/api/v1/devices"_s).size(), 1);
        QCOMPARE(f.view->content(), Content::List);
        QCOMPARE(f.text("slotsText"), u"2 of 3 device slots used"_s);
        QCOMPARE(f.text("footerText"), u"Your subscription supports up to 3 devices."_s);
        QCOMPARE(f.text("footerHint"), u"Remove old devices to free up slots for new ones."_s);
        QVERIFY(!f.visible("errorBanner"));

        const auto rows = f.view->rows();
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0]->device().nickname, u"Studio Desk"_s);
        QCOMPARE(rows[2]->device().nickname, u"Old Box"_s);

        MacDeviceRow *mac = f.row(u"Studio Desk"_s);
        QVERIFY(mac->isCurrent());
        QVERIFY(mac->findChild<QLabel *>(u"thisMacBadge"_s));
        // The Mac's "This Mac", named for what this machine is.
        QCOMPARE(mac->findChild<QLabel *>(u"thisMacBadge"_s)->text(), u"This Computer"_s);
        QVERIFY(!mac->removeButton());
        QVERIFY(!mac->findChild<QAbstractButton *>());
        auto *macIcon = mac->findChild<SymbolView *>(u"platformIcon"_s);
        QCOMPARE(macIcon->symbol(), u"laptopcomputer"_s);
        QCOMPARE(macIcon->color(), Style::accent());
        QCOMPARE(f.details(u"Studio Desk"_s), u"MACOS  ·  v2.5  ·  Jan 31, 2026, 12:00 PM"_s);

        MacDeviceRow *phone = f.row(u"Ada's Phone"_s);
        QVERIFY(!phone->isCurrent());
        QVERIFY(!phone->findChild<QLabel *>(u"thisMacBadge"_s));
        QVERIFY(phone->removeButton() && phone->removeButton()->isVisible());
        auto *phoneIcon = phone->findChild<SymbolView *>(u"platformIcon"_s);
        QCOMPARE(phoneIcon->symbol(), u"iphone"_s);
        QCOMPARE(phoneIcon->color(), Style::secondaryText(phone));
        QCOMPARE(f.details(u"Ada's Phone"_s), u"IOS  ·  Feb 1, 2026, 8:30 AM"_s);

        QCOMPARE(f.row(u"Old Box"_s)->findChild<SymbolView *>(u"platformIcon"_s)->symbol(), u"questionmark.circle"_s);
        QCOMPARE(f.details(u"Old Box"_s), u"UNKNOWN  ·  v1.9  ·  last Tuesday"_s);
        QVERIFY(saveGrab(f.view.get(), u"devices-list"_s));

        DarkPalette dark;
        QCOMPARE(f.row(u"Ada's Phone"_s)->findChild<SymbolView *>(u"platformIcon"_s)->color(),
                 Style::secondaryText(f.row(u"Ada's Phone"_s)));
        QVERIFY(saveGrab(f.view.get(), u"devices-list-dark"_s));
    }

    // While the first load runs the loading text shows, not the empty state;
    // a refresh while rows are shown keeps them.
    void loadingThenEmptyAndRefreshKeepsRows()
    {
        Fixture f(StubServer::Response::json(200, kNoDevices).after(400ms));
        f.view->show();
        QTRY_VERIFY(f.manager.isLoading());
        QCOMPARE(f.view->content(), Content::Loading);
        QVERIFY(f.visible("loadingState"));
        QCOMPARE(f.text("loadingText"), u"Loading devices…"_s);
        QVERIFY(!f.visible("emptyState"));
        QVERIFY(saveGrab(f.view.get(), u"devices-loading"_s));

        QTRY_VERIFY(!f.manager.isLoading());
        QCOMPARE(f.view->content(), Content::Empty);
        QVERIFY(f.visible("emptyState"));
        QVERIFY(!f.visible("loadingState"));
        QCOMPARE(f.text("emptyTitle"), u"No Registered Devices"_s);
        QCOMPARE(f.text("emptyText"), u"Devices will appear here after connecting to VPN."_s);
        QCOMPARE(f.text("slotsText"), u"0 of 5 device slots used"_s);
        QVERIFY(saveGrab(f.view.get(), u"devices-empty"_s));

        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kThreeDevices));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_COMPARE(f.view->rows().size(), 3);

        // The same list again: the very same rows, the focus where it was.
        const QList<MacDeviceRow *> rows = f.view->rows();
        f.row(u"Old Box"_s)->removeButton()->setFocus();
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kThreeDevices).after(400ms));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_VERIFY(f.manager.isLoading());
        QCOMPARE(f.view->content(), Content::List);
        QCOMPARE(f.view->rows().size(), 3);
        QVERIFY(!f.visible("loadingState"));
        QTRY_VERIFY(!f.manager.isLoading());
        QCOMPARE(f.server.requests("GET", u"/api/v1/devices"_s).size(), 3);
        QCOMPARE(f.view->rows(), rows);
        f.row(u"Old Box"_s)->removeButton()->setFocus();

        // A changed list: made anew, the focus back on the same device.
        QByteArray renamed = kThreeDevices;
        renamed.replace("Ada's Phone", "Ada's New Phone");
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, renamed));
        QTest::mouseClick(f.view->findChild<QAbstractButton *>(u"refreshButton"_s), Qt::LeftButton);
        QTRY_VERIFY(f.row(u"Ada's New Phone"_s));
        QCOMPARE(f.view->focusWidget(), f.row(u"Old Box"_s)->removeButton());
    }

    void errorBannerWithRetry()
    {
        Fixture f(StubServer::Response::json(500, "{\"detail\":\"boom\"}"));
        f.showAndLoad();
        QVERIFY(f.visible("errorBanner"));
        QCOMPARE(f.text("errorText"), u"Failed to load devices"_s);
        QCOMPARE(f.view->content(), Content::Empty);
        QVERIFY(saveGrab(f.view.get(), u"devices-error"_s));

        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, kThreeDevices));
        QTest::mouseClick(f.view->findChild<QPushButton *>(u"retryButton"_s), Qt::LeftButton);
        QTRY_COMPARE(f.view->rows().size(), 3);
        QVERIFY(!f.visible("errorBanner"));
    }

    // The confirmation names the device; Cancel sends nothing, Remove revokes it.
    void removeAfterConfirmation()
    {
        Fixture f;
        f.server.on("POST", u"/api/v1/devices/revoke"_s,
                    StubServer::Response::json(200, "{\"status\":\"ok\",\"message\":\"Device revoked\"}"));
        f.showAndLoad();

        QTest::mouseClick(f.row(u"Ada's Phone"_s)->removeButton(), Qt::LeftButton);
        QMessageBox *box = f.view->removeConfirmation();
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(f.view->deviceToRevoke()->nickname, u"Ada's Phone"_s);
        QCOMPARE(box->windowTitle(), u"Remove Device"_s);
        QCOMPARE(box->text(), u"Remove \"Ada's Phone\"? This device will no longer be able to use Velorin VPN."_s);
        QAbstractButton *cancel = buttonWithRole(box, QMessageBox::RejectRole);
        QVERIFY(cancel);
        QCOMPARE(buttonWithRole(box, QMessageBox::DestructiveRole)->text(), u"Remove"_s);
        QVERIFY(saveGrab(box, u"devices-remove-confirmation"_s));

        QTest::mouseClick(cancel, Qt::LeftButton);
        QTRY_VERIFY(!f.view->removeConfirmation());
        QVERIFY(!f.view->deviceToRevoke());
        QTest::qWait(100);
        QVERIFY(f.server.requests("POST", u"/api/v1/devices/revoke"_s).isEmpty());
        QCOMPARE(f.view->rows().size(), 3);

        QTest::mouseClick(f.row(u"Ada's Phone"_s)->removeButton(), Qt::LeftButton);
        QTRY_VERIFY(f.view->removeConfirmation() && f.view->removeConfirmation()->isVisible());
        QTest::mouseClick(buttonWithRole(f.view->removeConfirmation(), QMessageBox::DestructiveRole), Qt::LeftButton);
        QTRY_COMPARE(f.view->rows().size(), 2);
        const auto revokes = f.server.requests("POST", u"/api/v1/devices/revoke"_s);
        QCOMPARE(revokes.size(), 1);
        QCOMPARE(revokes[0].json().value(u"device_id"_s).toString(), u"22222222-AAAA-BBBB-CCCC-000000000002"_s);
        QVERIFY(!f.row(u"Ada's Phone"_s));
        QCOMPARE(f.text("slotsText"), u"1 of 3 device slots used"_s);
    }

    // The Remove button's red background is stronger while the pointer is over the row.
    void removeTintFollowsHover()
    {
        Fixture f;
        f.showAndLoad();
        MacDeviceRow *row = f.row(u"Old Box"_s);
        QTest::mouseMove(f.view.get(), QPoint(1, 1));
        QTRY_VERIFY(!row->isHovering());
        QCOMPARE(row->removeButton()->backgroundColor(), Style::withAlpha(Style::red(), 0.08));
        QTest::mouseMove(row, row->rect().center());
        QTRY_VERIFY(row->isHovering());
        QCOMPARE(row->removeButton()->backgroundColor(), Style::withAlpha(Style::red(), 0.15));
        QVERIFY(saveGrab(f.view.get(), u"devices-row-hover"_s));
        QTest::mouseMove(f.view.get(), QPoint(1, 1));
        QTRY_VERIFY(!row->isHovering());
    }
};

QTEST_MAIN(TestDeviceListView)
#include "tst_devicelistview.moc"
