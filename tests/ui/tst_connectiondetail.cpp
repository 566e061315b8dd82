#include "shell/ShellFixture.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/window/ServerPickerSheet.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;
using Action = ConnectionPresentation::ButtonAction;

namespace {

const ServerLocation &location(const QString &id)
{
    return *ServerLocation::find(id);
}

// The view over the application's services with test protocol services.
struct Fixture : ShellFixture
{
    ConnectionDetailView view{servers, vpn};

    explicit Fixture(bool show = true)
    {
        view.resize(600, 560);
        if (show) {
            view.show();
            (void)QTest::qWaitForWindowExposed(&view);
        }
    }

    // Publishes a state from the active service and waits until the manager mirrors it.
    bool setState(const VPNConnectionState &state)
    {
        static_cast<TestVpnService &>(vpn.activeService()).setState(state);
        return QTest::qWaitFor([&] { return vpn.connectionState() == state; }, 2000);
    }

    template<typename T = QWidget>
    T *child(const QString &name)
    {
        return view.findChild<T *>(name);
    }
    FilledButton *button() { return child<FilledButton>(u"connectButton"_s); }
    StatusEmblem *emblem() { return child<StatusEmblem>(u"statusEmblem"_s); }
    QString text(const QString &name) { return child<QLabel>(name)->text(); }
    bool shows(const QString &name) { return child(name)->isVisibleTo(&view); }

    // Opens the picker through the card and clicks a server's row.
    bool pick(const QString &id)
    {
        if (!view.serverPicker())
            QTest::mouseClick(child<QAbstractButton>(u"locationCard"_s), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return view.serverPicker() && view.serverPicker()->isVisible(); }))
            return false;
        auto *row = view.serverPicker()->findChild<QWidget *>(ServerPickerSheet::rowName(location(id)));
        if (!row)
            return false;
        QTest::mouseClick(row, Qt::LeftButton);
        return true;
    }
};

QColor white(qreal alpha)
{
    return Style::withAlpha(Qt::white, alpha);
}

QStringList ids(const QList<ServerLocation> &servers)
{
    QStringList result;
    for (const ServerLocation &server : servers)
        result.append(server.id);
    return result;
}

// The ids of the rows in a section, top to bottom.
QStringList rowIds(const QWidget *section, const QString &prefix)
{
    QStringList result;
    for (const QWidget *row : section->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (row->objectName().startsWith(prefix))
            result.append(row->objectName().mid(prefix.size()));
    }
    return result;
}

// The servers whose row shows the checkmark.
QStringList checked(const ServerPickerSheet &sheet)
{
    QStringList result;
    for (const ServerLocation &server : ServerLocation::allServers()) {
        const auto *row = sheet.findChild<QWidget *>(ServerPickerSheet::rowName(server));
        const auto *mark = row ? row->findChild<QWidget *>(u"checkmark"_s) : nullptr;
        if (mark && mark->isVisibleTo(&sheet))
            result.append(server.id);
    }
    return result;
}

struct Picker
{
    QList<ServerLocation> chosen;
    ServerPickerSheet sheet;

    explicit Picker(std::optional<QString> selectedId)
        : sheet(ServerLocation::allServers(), std::move(selectedId),
                [this](const ServerLocation &server) { chosen.append(server); })
    {
        sheet.show();
        if (!QTest::qWaitForWindowExposed(&sheet))
            qWarning("the sheet was not exposed");
    }

    QWidget *row(const QString &id)
    {
        return sheet.findChild<QWidget *>(ServerPickerSheet::rowName(*ServerLocation::find(id)));
    }
};

} // namespace

class TestConnectionDetail : public QObject
{
    Q_OBJECT

    struct Appearance
    {
        const char *tag;
        VPNConnectionState state;
        QString statusText;
        QColor dot; // invalid: the secondary text colour
        QString emblem;
        QColor emblemColor;
        QString buttonSymbol;
        QString buttonTitle;
        QColor buttonColor;
        Action action;
    };

    static QList<Appearance> appearances()
    {
        const QColor green = QColor::fromRgbF(0, 0.784f, 0.325f);
        const QColor red = QColor(255, 59, 48);
        const QColor orange = QColor(255, 149, 0);
        const QColor softRed = Style::withAlpha(red, 0.85);
        const QString busy = u"shield.lefthalf.filled"_s;
        return {
            {"disconnected", VPNConnectionState::disconnected(), u"Disconnected"_s, QColor(), u"shield.slash"_s,
             white(0.7), u"lock.shield"_s, u"Connect"_s, green, Action::Connect},
            {"connecting", VPNConnectionState::connecting(), u"Connecting…"_s, orange, busy, orange, u"hourglass"_s,
             u"Connecting…"_s, orange, Action::None},
            {"reconnecting shows as connecting", VPNConnectionState::reconnecting(), u"Connecting…"_s, orange, busy,
             orange, u"hourglass"_s, u"Connecting…"_s, orange, Action::None},
            {"connected", VPNConnectionState::connected(), u"Connected"_s, green, u"checkmark.shield.fill"_s, green,
             u"lock.open"_s, u"Disconnect"_s, softRed, Action::Disconnect},
            {"disconnecting", VPNConnectionState::disconnecting(), u"Disconnecting…"_s, orange, busy, white(0.7),
             u"hourglass"_s, u"Disconnecting…"_s, orange, Action::None},
            {"error", VPNConnectionState::error(u"Connection failed — please reconnect manually"_s), u"Error"_s, red,
             u"exclamationmark.shield"_s, white(0.7), u"lock.shield"_s, u"Connect"_s, green, Action::Connect},
        };
    }

private slots:
    // The one look of every connection state (ConnectionPresentation, used by
    // the panel, the window, the tray and the command line), its colours
    // from the palette, the window showing it, and what its button does:
    // Connect selects the catalogue's server again (recorded as recent) and
    // connects to it, Disconnect disconnects, a disabled button does nothing.
    void appearance_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < appearances().size(); ++i)
            QTest::newRow(appearances()[i].tag) << i;
    }
    void appearance()
    {
        QFETCH(int, row);
        const Appearance want = appearances()[row];
        const VPNDisplayStatus status = VPNDisplay::status(want.state);
        const bool connected = status == VPNDisplayStatus::Connected;

        // The status dot's tone, the one colour the view keeps to itself.
        const auto look = ConnectionPresentation::look(status);
        QWidget plain;
        QCOMPARE(Style::toneColor(look.tone, &plain), want.dot.isValid() ? want.dot : Style::secondaryText(&plain));

        Fixture f;
        QVERIFY(f.setState(want.state));
        QCOMPARE(f.view.status(), status);
        QCOMPARE(f.emblem()->symbol(), want.emblem);
        QCOMPARE(f.emblem()->symbolColor(), want.emblemColor);
        QCOMPARE(f.text(u"statusText"_s), want.statusText);
        // An error's reason under "Error".
        QCOMPARE(f.shows(u"statusReason"_s), want.state.isError());
        if (want.state.isError())
            QCOMPARE(f.text(u"statusReason"_s), want.state.errorMessage());
        QCOMPARE(f.button()->symbol(), want.buttonSymbol);
        QCOMPARE(f.button()->text(), want.buttonTitle);
        QCOMPARE(f.button()->color(), want.buttonColor);
        QCOMPARE(f.button()->isEnabled(), want.action != Action::None);
        // The pulse runs only while connected (and shown), on a green circle.
        QCOMPARE(f.emblem()->isPulsing(), connected);
        QCOMPARE(Style::emblemBackground(look.emblemTone),
                 connected ? Style::withAlpha(Style::green(), 0.2) : Style::withAlpha(Style::gray(), 0.15));
        // The pin of the selected server is the connected one only while connected.
        const auto pins = f.view.map()->annotations();
        QCOMPARE(pins.size(), 9);
        QCOMPARE(pins.first().isConnected, connected);

        f.ikev2.followCalls = false;
        QTest::mouseClick(f.button(), Qt::LeftButton);
        QCOMPARE(f.ikev2.connectCalls.size(), want.action == Action::Connect ? 1 : 0);
        QCOMPARE(f.ikev2.disconnectCalls, want.action == Action::Disconnect ? 1 : 0);
        QCOMPARE(f.servers.recentServers().size(), f.ikev2.connectCalls.size());
        if (!f.ikev2.connectCalls.isEmpty()) {
            QCOMPARE(f.ikev2.connectCalls.first().serverIP, u"203.0.113.10"_s);
            QCOMPARE(f.ikev2.connectCalls.first().serverId, u"sg-node-01"_s);
        }
    }

    // The location line only while connected, always ending in " (IKEv2)";
    // the address only while connected and known.
    void locationAndAddressLines()
    {
        Fixture f;
        QVERIFY(!f.shows(u"locationLine"_s));
        QVERIFY(!f.shows(u"addressLine"_s));
        QCOMPARE(f.text(u"cardLocation"_s), u"Singapore - Singapore"_s);

        // The IKEv2 service publishes no address.
        QVERIFY(f.setState(VPNConnectionState::connected()));
        QCOMPARE(f.text(u"locationLine"_s), u"Singapore - Singapore (IKEv2)"_s);
        QVERIFY(f.shows(u"locationLine"_s));
        QVERIFY(!f.shows(u"addressLine"_s));
        QVERIFY(f.setState(VPNConnectionState::disconnected()));

        // The proxy service does; the line still says IKEv2.
        f.servers.selectServer(location(u"us-west-01"_s));
        f.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        f.xray.setConnectedServer(u"us-west-01"_s, u"198.51.100.20"_s);
        QVERIFY(f.setState(VPNConnectionState::connected()));
        QTRY_VERIFY(f.shows(u"addressLine"_s)); // mirrored once a second
        QCOMPARE(f.text(u"addressLine"_s), u"198.51.100.20"_s);
        QCOMPARE(f.text(u"locationLine"_s), u"United States - San Francisco (IKEv2)"_s);

        // Any other state hides both, though the address is still known.
        for (const auto &state : {VPNConnectionState::disconnecting(), VPNConnectionState::error(u"x"_s),
                                  VPNConnectionState::connecting(), VPNConnectionState::disconnected()}) {
            QVERIFY(f.setState(state));
            QVERIFY2(!f.shows(u"locationLine"_s), qPrintable(state.description()));
            QVERIFY2(!f.shows(u"addressLine"_s), qPrintable(state.description()));
        }

        // Connected again: the address comes back; once it is gone, its line goes.
        QVERIFY(f.setState(VPNConnectionState::connected()));
        QVERIFY(f.shows(u"addressLine"_s));
        const std::optional<QString> none;
        f.xray.setConnectedServer(none, none);
        QTRY_VERIFY(!f.shows(u"addressLine"_s));
        QVERIFY(f.shows(u"locationLine"_s));
    }

    void pickWhileConnectedReconnects_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::newRow("the connected server again") << u"sg-node-01"_s;
        QTest::newRow("another server") << u"us-west-01"_s;
    }
    // Disconnects at once and connects to the chosen server 1.5 s later; the
    // sheet stays open with the mark on the choice.
    void pickWhileConnectedReconnects()
    {
        QFETCH(QString, chosen);
        Fixture f;
        QVERIFY(f.setState(VPNConnectionState::connected()));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(f.pick(chosen));
        QCOMPARE(f.ikev2.disconnectCalls, 1);
        QVERIFY(f.ikev2.connectCalls.isEmpty());
        QCOMPARE(f.servers.selectedServer().id, chosen);
        QCOMPARE(f.view.serverPicker()->selectedId(), chosen);
        QVERIFY(f.view.serverPicker()->isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(f.ikev2.connectCalls.size(), 1, 4000);
        QVERIFY2(clock.elapsed() >= 1450, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(f.ikev2.connectCalls.first().serverId, chosen);
        QCOMPARE(f.ikev2.connectCalls.first().serverIP, location(chosen).ipAddress);
        QCOMPARE(f.ikev2.disconnectCalls, 1);
    }

    // Not connected, a choice only selects; an inactive server changes
    // nothing, not even while connected.
    void choiceWithoutReconnect_data()
    {
        QTest::addColumn<VPNConnectionState>("state");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("selected");
        QTest::newRow("disconnected") << VPNConnectionState::disconnected() << u"us-west-01"_s << u"us-west-01"_s;
        QTest::newRow("error") << VPNConnectionState::error(u"x"_s) << u"us-west-01"_s << u"us-west-01"_s;
        QTest::newRow("inactive, connected") << VPNConnectionState::connected() << u"uk-node-01"_s << u"sg-node-01"_s;
    }
    void choiceWithoutReconnect()
    {
        QFETCH(VPNConnectionState, state);
        QFETCH(QString, chosen);
        QFETCH(QString, selected);
        Fixture f;
        QVERIFY(f.setState(state));
        f.view.chooseServer(location(chosen));
        QCOMPARE(f.servers.selectedServer().id, selected);
        QCOMPARE(f.text(u"cardLocation"_s), location(selected).countryAndCity());
        QTest::qWait(1700);
        QVERIFY(f.ikev2.connectCalls.isEmpty());
        QCOMPARE(f.ikev2.disconnectCalls, 0);
    }

    // The view's own region: overview at first (also when built while
    // connected), the selected server on a selection or on connected, the
    // overview on disconnected, unchanged otherwise. The catalogue's region
    // is left alone.
    void mapRegion()
    {
        Fixture f(false);
        QVERIFY(f.setState(VPNConnectionState::connected()));
        ConnectionDetailView view(f.servers, f.vpn);
        QCOMPARE(view.map()->region(), MapRegion::overview());

        const ServerLocation &sf = location(u"us-west-01"_s);
        const ServerLocation &sg = location(u"sg-node-01"_s);
        const MapRegion aroundSf = MapRegion::around(sf.latitude, sf.longitude);
        f.servers.selectServer(sf);
        QCOMPARE(view.map()->region(), aroundSf);

        const std::pair<VPNConnectionState, MapRegion> steps[] = {
            {VPNConnectionState::disconnected(), MapRegion::overview()},
            {VPNConnectionState::connecting(), MapRegion::overview()},
            {VPNConnectionState::connected(), aroundSf},
            {VPNConnectionState::disconnecting(), aroundSf},
            {VPNConnectionState::error(u"x"_s), aroundSf},
            {VPNConnectionState::disconnected(), MapRegion::overview()},
        };
        for (const auto &[state, region] : steps) {
            QVERIFY(f.setState(state));
            QVERIFY2(view.map()->region() == region, qPrintable(state.description()));
        }
        // The connect button selects the selected server again: the map
        // waits for the state.
        f.servers.selectServer(sf);
        QCOMPARE(view.map()->region(), MapRegion::overview());
        // A selection moves the map whatever the status.
        f.servers.selectServer(sg);
        QCOMPARE(view.map()->region(), MapRegion::around(sg.latitude, sg.longitude));
        QCOMPARE(f.servers.mapRegion(), MapRegion::overview());
    }

    // The pulse: a 4 s cycle out and back, eased; it runs only while the
    // view is shown and connected.
    void pulse()
    {
        using ConnectionDetail::pulseAt;
        QCOMPARE(pulseAt(0).scale, pulseAt(4000).scale);
        QVERIFY(qFuzzyCompare(pulseAt(2000).scale, 1.3) && qFuzzyIsNull(pulseAt(2000).opacity));
        QVERIFY(qFuzzyCompare(pulseAt(1000).scale, pulseAt(3000).scale));
        QVERIFY(pulseAt(500).scale < 1.075); // eased: slow at first

        Fixture f;
        QVERIFY(f.setState(VPNConnectionState::connected()));
        QVERIFY(f.emblem()->isPulsing());
        f.view.hide();
        QVERIFY(!f.emblem()->isPulsing());
        f.view.show();
        QVERIFY(f.emblem()->isPulsing());
    }

    // The picker sheet: available servers first, offline ones after, each in
    // catalogue order, under their section titles; offline rows are no
    // buttons and carry the badge instead of a checkmark.
    void layout()
    {
        const auto split = ServerPickerSheet::sections(ServerLocation::allServers());
        QCOMPARE(ids(split.available), (QStringList{u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(ids(split.offline), (QStringList{u"uk-node-01"_s, u"ie-node-01"_s, u"in-node-01"_s, u"au-node-01"_s,
                                                  u"de-node-01"_s, u"jm-node-01"_s, u"it-node-01"_s}));

        Picker picker(u"sg-node-01"_s);
        ServerPickerSheet &sheet = picker.sheet;
        QCOMPARE(sheet.windowModality(), Qt::WindowModal);
        const auto *available = sheet.findChild<QWidget *>(u"availableSection"_s);
        const auto *offline = sheet.findChild<QWidget *>(u"offlineSection"_s);
        QVERIFY(available->y() < offline->y());
        QCOMPARE(rowIds(available, u"serverRow:"_s), ids(split.available));
        QCOMPARE(rowIds(offline, u"offlineRow:"_s), ids(split.offline));

        const QWidget *singapore = picker.row(u"sg-node-01"_s);
        QCOMPARE(singapore->findChild<QLabel *>(u"title"_s)->text(), u"Singapore - Singapore"_s);
        // Drawn in the secondary colour, not the button text colour of the row.
        const QLabel *subtitle = singapore->findChild<QLabel *>(u"subtitle"_s);
        QCOMPARE(subtitle->palette().color(subtitle->foregroundRole()), Style::secondaryText(&sheet));
        for (const ServerLocation &server : split.offline) {
            const QWidget *row = picker.row(server.id);
            QVERIFY(!qobject_cast<const QAbstractButton *>(row));
            QVERIFY(row->findChild<QLabel *>(u"offlineBadge"_s));
            QVERIFY(!row->findChild<QWidget *>(u"checkmark"_s));
        }
        QVERIFY(sheet.grab().save(screenshotPath(u"serverpicker.png"_s)));
    }

    void checkmark_data()
    {
        QTest::addColumn<std::optional<QString>>("selectedId");
        QTest::addColumn<QStringList>("marked");
        QTest::newRow("Singapore") << std::optional(u"sg-node-01"_s) << QStringList{u"sg-node-01"_s};
        QTest::newRow("an offline server") << std::optional(u"uk-node-01"_s) << QStringList{};
        QTest::newRow("unknown id") << std::optional(u"mars-01"_s) << QStringList{};
        QTest::newRow("none") << std::optional<QString>() << QStringList{};
    }
    void checkmark()
    {
        QFETCH(std::optional<QString>, selectedId);
        QFETCH(QStringList, marked);
        Picker picker(selectedId);
        QCOMPARE(checked(picker.sheet), marked);
    }

    // Every click reports the server, the sheet stays open, and the mark
    // moves only when the presenter says so; offline rows ignore clicks;
    // Done and Escape close the sheet without a report.
    void clicksReportWithoutClosing()
    {
        Picker picker(u"sg-node-01"_s);
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(picker.row(u"sg-node-01"_s), Qt::LeftButton);
        QTest::mouseClick(picker.row(u"us-west-01"_s), Qt::LeftButton);
        QTest::mouseClick(picker.row(u"uk-node-01"_s), Qt::LeftButton);
        QCOMPARE(ids(picker.chosen), (QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(picker.chosen.last(), *ServerLocation::find(u"us-west-01"_s));
        QVERIFY(picker.sheet.isVisible());
        QCOMPARE(checked(picker.sheet), QStringList{u"sg-node-01"_s});
        picker.sheet.setSelectedId(u"us-west-01"_s);
        QCOMPARE(checked(picker.sheet), QStringList{u"us-west-01"_s});

        for (const bool escape : {false, true}) {
            Picker closing(u"sg-node-01"_s);
            if (escape)
                QTest::keyClick(&closing.sheet, Qt::Key_Escape);
            else
                QTest::mouseClick(closing.sheet.findChild<QPushButton *>(u"doneButton"_s), Qt::LeftButton);
            QVERIFY(!closing.sheet.isVisible());
            QVERIFY(closing.chosen.isEmpty());
        }
    }
};

QTEST_MAIN(TestConnectionDetail)
#include "tst_connectiondetail.moc"
