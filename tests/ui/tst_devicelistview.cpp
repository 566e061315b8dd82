#include "AccountScreensSupport.h"
#include "shell/DisplayText.h"
#include "ui/account/DateText.h"
#include "ui/account/DeviceListView.h"
#include "ui/common/Style.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Content = DeviceListText::Content;

namespace {

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

struct Fixture : StubAccount
{
    DeviceManager &manager = app.devices;
    std::unique_ptr<DeviceListView> view;

    explicit Fixture(const StubServer::Response &list = StubServer::Response::json(200, kThreeDevices))
    {
        app.tokens.save(u"AT-1"_s, u"access_token"_s);
        app.tokens.save(kThisMac, u"device_id"_s);
        server.on("GET", u"/api/v1/devices"_s, list);
        view = std::make_unique<DeviceListView>(manager);
        view->resize(520, 480);
    }

    ~Fixture() { QTRY_VERIFY(!manager.isLoading()); }

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

class TestDeviceListView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

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
        Fixture f(StubServer::Response::json(200, devices));
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
        Fixture f(StubServer::Response::json(500, "{\"detail\":\"boom\"}"));
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
        Fixture f;
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

QTEST_MAIN(TestDeviceListView)
#include "tst_devicelistview.moc"
