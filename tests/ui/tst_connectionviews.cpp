// The connection's two views: the detail view in the main window, with its
// server picker and map, and the menu-bar panel.
#include "shell/ShellFixture.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"
#include "ui/panel/MenuBarView.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/window/ServerPickerSheet.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;
using Action = ConnectionPresentation::ButtonAction;

namespace {

const ServerLocation &location(const QString &id)
{
    return *ServerLocation::find(id);
}

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

    template<typename T = QWidget>
    T *child(const QString &name)
    {
        return view.findChild<T *>(name);
    }
    FilledButton *button() { return child<FilledButton>(u"connectButton"_s); }
    StatusEmblem *emblem() { return child<StatusEmblem>(u"statusEmblem"_s); }
    QString text(const QString &name) { return child<QLabel>(name)->text(); }
    bool shows(const QString &name) { return child(name)->isVisibleTo(&view); }

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

QStringList rowIds(const QWidget *section, const QString &prefix)
{
    QStringList result;
    for (const QWidget *row : section->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (row->objectName().startsWith(prefix))
            result.append(row->objectName().mid(prefix.size()));
    }
    return result;
}

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
    QStringList chosen;
    ServerPickerSheet sheet;

    explicit Picker(std::optional<QString> selectedId)
        : sheet(ServerLocation::allServers(), std::move(selectedId),
                [this](const ServerLocation &server) { chosen.append(server.id); })
    {
        sheet.show();
        (void)QTest::qWaitForWindowExposed(&sheet);
    }

    QWidget *row(const QString &id)
    {
        return sheet.findChild<QWidget *>(ServerPickerSheet::rowName(*ServerLocation::find(id)));
    }
};

const MapRegion kElsewhere{-10.0, 20.0, 50.0, 60.0};

struct Panel : ShellFixture
{
    std::unique_ptr<MenuBarView> view;

    explicit Panel(bool signedIn = true, bool create = true)
    {
        launch();
        if (signedIn)
            QVERIFY(signIn());
        if (create)
            createView();
    }

    void createView()
    {
        view = std::make_unique<MenuBarView>(account.auth, *delegate, servers, vpn);
        view->resize(MenuBarRules::panelWidth, 420);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    }

    template<typename T = QWidget>
    T *find(const QString &name) const
    {
        return view->findChild<T *>(name);
    }
    QString text(const QString &name) const { return find<QLabel>(name)->text(); }
    FilledButton *button() const { return find<FilledButton>(u"connectButton"_s); }
    QAbstractButton *row(const QString &id) const { return find<QAbstractButton>(u"serverRow_"_s + id); }

    void openList()
    {
        QTest::mouseClick(find<QAbstractButton>(u"serverHeader"_s), Qt::LeftButton);
        QVERIFY(view->showServerList());
        QTest::qWait(MenuBarRules::foldAnimationMs + 100);
    }

    void save(const QString &name) { QVERIFY(view->grab().save(screenshotPath(name))); }
};

} // namespace

class TestConnectionViews : public QObject
{
    Q_OBJECT

private slots:
    // One row per state of the look shared with panel, tray and command line;
    // Connect reselects the server (recorded as recent). The dot's colour is
    // private to the view, so it is checked on the look (invalid: secondary text).
    void appearance()
    {
        const QColor green = QColor::fromRgbF(0, 0.784f, 0.325f), red(255, 59, 48), orange(255, 149, 0);
        const QString busy = u"shield.lefthalf.filled"_s;
        const struct
        {
            VPNConnectionState state;
            QStringList texts; // status, emblem symbol, button title
            QColor dot, buttonColor;
            Action action;
        } rows[] = {
            {VPNConnectionState::disconnected(), {u"Disconnected"_s, u"shield.slash"_s, u"Connect"_s}, {}, green,
             Action::Connect},
            {VPNConnectionState::connecting(), {u"Connecting…"_s, busy, u"Connecting…"_s}, orange, orange, Action::None},
            {VPNConnectionState::reconnecting(), {u"Connecting…"_s, busy, u"Connecting…"_s}, orange, orange, Action::None},
            {VPNConnectionState::connected(), {u"Connected"_s, u"checkmark.shield.fill"_s, u"Disconnect"_s}, green,
             Style::withAlpha(red, 0.85), Action::Disconnect},
            {VPNConnectionState::disconnecting(), {u"Disconnecting…"_s, busy, u"Disconnecting…"_s}, orange, orange,
             Action::None},
            {VPNConnectionState::error(u"Connection failed — please reconnect manually"_s),
             {u"Error"_s, u"exclamationmark.shield"_s, u"Connect"_s}, red, green, Action::Connect},
        };
        Fixture f;
        f.ikev2.followCalls = false;
        QWidget plain;
        const auto flag = [](bool on) { return on ? u"yes"_s : u"no"_s; };
        for (const auto &row : rows) {
            const VPNDisplayStatus status = VPNDisplay::status(row.state);
            const bool connected = status == VPNDisplayStatus::Connected;
            QCOMPARE(Style::toneColor(ConnectionPresentation::look(status).tone, &plain),
                     row.dot.isValid() ? row.dot : Style::secondaryText(&plain));
            QVERIFY(f.publish(row.state));
            const QStringList shown{f.text(u"statusText"_s), f.emblem()->symbol(), f.button()->text(),
                                    f.shows(u"statusReason"_s) ? f.text(u"statusReason"_s) : QString(),
                                    f.button()->color().name(QColor::HexArgb), flag(f.button()->isEnabled()),
                                    flag(f.emblem()->isPulsing()), flag(f.view.map()->annotations().first().isConnected)};
            QCOMPARE(shown, (row.texts + QStringList{row.state.errorMessage(), row.buttonColor.name(QColor::HexArgb),
                                                     flag(row.action != Action::None), flag(connected), flag(connected)}));

            const auto calls = std::pair(f.ikev2.connectCalls.size(), f.ikev2.disconnectCalls);
            QTest::mouseClick(f.button(), Qt::LeftButton);
            QCOMPARE((std::pair(f.ikev2.connectCalls.size(), f.ikev2.disconnectCalls)),
                     (std::pair(calls.first + (row.action == Action::Connect), calls.second + (row.action == Action::Disconnect))));
            QCOMPARE(f.servers.recentServers().size(), f.ikev2.connectCalls.isEmpty() ? 0 : 1);
        }
        QCOMPARE(f.ikev2.connectCalls.first().serverId, u"sg-node-01"_s);
    }

    void locationAndAddressLines()
    {
        Fixture f;
        const auto lines = [&f] { return QList<bool>{f.shows(u"locationLine"_s), f.shows(u"addressLine"_s)}; };
        QCOMPARE(lines(), (QList<bool>{false, false}));
        QCOMPARE(f.text(u"cardLocation"_s), u"Singapore - Singapore"_s);

        // The IKEv2 service publishes no address.
        QVERIFY(f.publish(VPNConnectionState::connected()));
        QCOMPARE(f.text(u"locationLine"_s), u"Singapore - Singapore (IKEv2)"_s);
        QCOMPARE(lines(), (QList<bool>{true, false}));
        QVERIFY(f.publish(VPNConnectionState::disconnected()));

        // Not connected, a choice only selects.
        f.view.chooseServer(location(u"us-west-01"_s));
        QCOMPARE(f.text(u"cardLocation"_s), u"United States - San Francisco"_s);
        QVERIFY(f.ikev2.connectCalls.isEmpty() && f.ikev2.disconnectCalls == 0);

        // The proxy service does publish an address; the line still says IKEv2.
        f.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        f.xray.setConnectedServer(u"us-west-01"_s, u"198.51.100.20"_s);
        QVERIFY(f.publish(VPNConnectionState::connected()));
        QTRY_VERIFY(f.shows(u"addressLine"_s)); // mirrored once a second
        QCOMPARE(f.text(u"addressLine"_s), u"198.51.100.20"_s);
        QCOMPARE(f.text(u"locationLine"_s), u"United States - San Francisco (IKEv2)"_s);

        for (const auto &state : {VPNConnectionState::disconnecting(), VPNConnectionState::error(u"x"_s),
                                  VPNConnectionState::connecting(), VPNConnectionState::disconnected()}) {
            QVERIFY(f.publish(state));
            QCOMPARE(lines(), (QList<bool>{false, false}));
        }

        QVERIFY(f.publish(VPNConnectionState::connected()));
        QCOMPARE(lines(), (QList<bool>{true, true}));
        f.xray.setConnectedServer(std::nullopt, std::nullopt);
        QTRY_COMPARE(lines(), (QList<bool>{true, false}));
    }

    void pickWhileConnectedReconnects_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::newRow("the connected server again") << u"sg-node-01"_s;
        QTest::newRow("another server") << u"us-west-01"_s;
    }
    // Disconnects at once and connects 1.5 s later; the sheet stays open.
    void pickWhileConnectedReconnects()
    {
        QFETCH(QString, chosen);
        Fixture f;
        QVERIFY(f.publish(VPNConnectionState::connected()));

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

    // The view keeps its own region; the catalogue's is left alone.
    void mapRegion()
    {
        Fixture f(false);
        QVERIFY(f.publish(VPNConnectionState::connected()));
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
            QVERIFY(f.publish(state));
            QVERIFY2(view.map()->region() == region, qPrintable(state.description()));
        }
        // The connect button reselects the server: the map waits for the state.
        f.servers.selectServer(sf);
        QCOMPARE(view.map()->region(), MapRegion::overview());
        f.servers.selectServer(sg);
        QCOMPARE(view.map()->region(), MapRegion::around(sg.latitude, sg.longitude));
        QCOMPARE(f.servers.mapRegion(), MapRegion::overview());
    }

    // (That it runs only while connected and shown: appearance and the main window.)
    void pulse()
    {
        using ConnectionDetail::pulseAt;
        QCOMPARE(pulseAt(0).scale, pulseAt(4000).scale);
        QVERIFY(qFuzzyCompare(pulseAt(1000).scale, pulseAt(3000).scale));
        QVERIFY(pulseAt(500).scale - 1 < (pulseAt(2000).scale - 1) / 4); // eased: slow at first
    }

    // Available servers first, offline ones after, each in catalogue order.
    void layout()
    {
        const QStringList offlineIds{u"uk-node-01"_s, u"ie-node-01"_s, u"in-node-01"_s, u"au-node-01"_s,
                                     u"de-node-01"_s, u"jm-node-01"_s, u"it-node-01"_s};
        Picker picker(u"sg-node-01"_s);
        ServerPickerSheet &sheet = picker.sheet;
        QCOMPARE(sheet.windowModality(), Qt::WindowModal);
        const auto *available = sheet.findChild<QWidget *>(u"availableSection"_s);
        const auto *offline = sheet.findChild<QWidget *>(u"offlineSection"_s);
        QVERIFY(available->y() < offline->y());
        QCOMPARE(rowIds(available, u"serverRow:"_s), (QStringList{u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(rowIds(offline, u"offlineRow:"_s), offlineIds);

        QCOMPARE(picker.row(u"sg-node-01"_s)->findChild<QLabel *>(u"title"_s)->text(), u"Singapore - Singapore"_s);
        const QLabel *subtitle = picker.row(u"sg-node-01"_s)->findChild<QLabel *>(u"subtitle"_s);
        QCOMPARE(subtitle->palette().color(subtitle->foregroundRole()), Style::secondaryText(&sheet));
        for (const QString &id : offlineIds) {
            const QWidget *row = picker.row(id);
            QVERIFY(!qobject_cast<const QAbstractButton *>(row) && row->findChild<QLabel *>(u"offlineBadge"_s));
            QVERIFY(!row->findChild<QWidget *>(u"checkmark"_s));
        }
        QVERIFY(sheet.grab().save(screenshotPath(u"serverpicker.png"_s)));
    }

    // Every click reports, the sheet stays open, and the mark moves only when
    // the presenter says so; Done and Escape close without a report.
    void clicksReportWithoutClosing()
    {
        for (const std::optional<QString> &id : {std::optional(u"mars-01"_s), std::optional<QString>()})
            QCOMPARE(checked(Picker(id).sheet), QStringList());
        Picker picker(u"sg-node-01"_s);
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(picker.row(u"sg-node-01"_s), Qt::LeftButton);
        QTest::mouseClick(picker.row(u"us-west-01"_s), Qt::LeftButton);
        QTest::mouseClick(picker.row(u"uk-node-01"_s), Qt::LeftButton);
        QCOMPARE(picker.chosen, (QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s}));
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

    // The connection's one look (its table is the connection view's test);
    // a Connect stores the reselected server.
    void statusAndButton()
    {
        Panel p;
        QVERIFY(!p.defaults.standard().contains(ServerManager::selectedServerKey));
        for (const VPNConnectionState &state : {VPNConnectionState::connecting(), VPNConnectionState::error(u"Failed"_s),
                                                VPNConnectionState::connected(), VPNConnectionState::disconnected()}) {
            QVERIFY(p.publish(state));
            const auto look = ConnectionPresentation::look(state);
            const QString reason = p.find(u"statusReason"_s)->isVisible() ? p.text(u"statusReason"_s) : QString();
            QCOMPARE((QStringList{p.text(u"statusText"_s), p.button()->text(), reason}),
                     (QStringList{look.text, look.buttonTitle, state.errorMessage()}));
            QCOMPARE(p.find(u"statusDot"_s)->property("color").value<QColor>(), Style::toneColor(look.tone, p.view.get()));
            QCOMPARE(p.button()->isEnabled(), look.buttonEnabled());
            QTest::mouseClick(p.button(), Qt::LeftButton);
        }
        QCOMPARE(p.ikev2.connectCalls.size(), 2);
        QCOMPARE(p.ikev2.disconnectCalls, 1);
        QVERIFY(p.defaults.standard().contains(ServerManager::selectedServerKey));
    }

    // While connected a "Soon" row changes nothing; an active one folds the
    // list in and reconnects (the rest is the connection view's test).
    void serverTapWhileConnected()
    {
        Panel p;
        QVERIFY(p.publish(VPNConnectionState::connected()));
        p.openList();
        p.servers.setMapRegion(kElsewhere);
        QTest::mouseClick(p.row(u"uk-node-01"_s), Qt::LeftButton);
        QCOMPARE(p.servers.selectedServer().id, u"sg-node-01"_s);
        QVERIFY(p.view->showServerList());
        QCOMPARE(p.servers.mapRegion(), kElsewhere);
        QCOMPARE(p.ikev2.disconnectCalls, 0);

        QTest::mouseClick(p.row(u"us-west-01"_s), Qt::LeftButton);
        QCOMPARE(p.servers.selectedServer().id, u"us-west-01"_s);
        QVERIFY(!p.view->showServerList());
        QCOMPARE(p.text(u"serverName"_s), u"United States - San Francisco"_s);
        QCOMPARE(p.ikev2.disconnectCalls, 1);
    }

    // The detail line says IKEv2 whatever the protocol.
    void headerAndList()
    {
        Panel p;
        p.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        const ServerLocation &selected = p.servers.selectedServer();
        QCOMPARE(p.text(u"serverFlag"_s), selected.flagEmoji());
        QCOMPARE(p.text(u"serverName"_s), u"Singapore - Singapore"_s);
        QCOMPARE(p.text(u"serverDetail"_s), u"IKEv2 · Available"_s);
        QCOMPARE(p.find<SymbolView>(u"serverChevron"_s)->symbol(), u"chevron.down"_s);
        QVERIFY(!p.row(u"sg-node-01"_s)->isVisible());

        p.openList();
        QCOMPARE(p.find<SymbolView>(u"serverChevron"_s)->symbol(), u"chevron.up"_s);
        const QList<QAbstractButton *> rows =
            p.find(u"serverList"_s)->findChildren<QAbstractButton *>(Qt::FindDirectChildrenOnly);
        QCOMPARE(rows.size(), ServerLocation::allServers().size());
        for (int i = 0; i < rows.size(); ++i) {
            const ServerLocation &server = ServerLocation::allServers().at(i);
            QCOMPARE(rows[i]->objectName(), u"serverRow_"_s + server.id);
            QVERIFY(rows[i]->isVisible());
            QCOMPARE(rows[i]->findChild<QWidget *>(u"soonBadge"_s) != nullptr, !server.isActive);
            QCOMPARE(rows[i]->findChild<QWidget *>(u"checkmark"_s)->isVisible(), server.id == selected.id);
            const QColor name = rows[i]->findChild<QLabel *>(u"serverRowName"_s)->palette().color(QPalette::WindowText);
            QCOMPARE(name, server.isActive ? Style::primaryText(p.view.get()) : Style::secondaryText(p.view.get()));
        }
        // A row reached with the keyboard is outlined (look at the grab).
        p.row(u"us-west-01"_s)->setFocus(Qt::TabFocusReason);
        p.save(u"menubar-servers.png"_s);

        QCOMPARE(MenuBarRules::serverDetail(*ServerLocation::find(u"de-node-01"_s)), u"IKEv2 · Coming Soon"_s);
        QTest::mouseClick(p.find<QAbstractButton>(u"serverHeader"_s), Qt::LeftButton);
        QVERIFY(!p.view->showServerList());
        QTRY_VERIFY(!p.row(u"sg-node-01"_s)->isVisible());
    }

    // A session still being restored sees the invitation too.
    void signedOutAndLoading()
    {
        Panel p(false);
        QVERIFY(p.find(u"signedOutPanel"_s)->isVisible());
        QVERIFY(!p.find(u"signedInPanel"_s)->isVisible());
        QTest::mouseClick(p.find<QAbstractButton>(u"signInButton"_s), Qt::LeftButton);
        QVERIFY(p.delegate->mainWindow());
        p.delegate->mainWindow()->close();

        QVERIFY(p.account.tokens.save(u"RT-stored"_s, KeychainManager::refreshTokenKey));
        p.server.on("POST", u"/auth/refresh"_s, StubServer::Response::json(200, ShellFixture::tokens).after(
                                                   std::chrono::milliseconds(800)));
        auto restoring = p.account.auth.restoreSession();
        QCOMPARE(p.account.auth.authState().kind(), AuthState::Kind::Loading);
        QVERIFY(p.find(u"signedOutPanel"_s)->isVisible());
        QVERIFY(!p.find(u"signedInPanel"_s)->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(p.find(u"signedInPanel"_s)->isVisible(), 5000);
        QVERIFY(!p.find(u"signedOutPanel"_s)->isVisible());
        QCOMPARE(p.text(u"emailLabel"_s), u"ada@example.com"_s);
        QTRY_VERIFY(!p.account.auth.isCheckingSession());

        QTest::mouseClick(p.find<QAbstractButton>(u"openAppButton"_s), Qt::LeftButton);
        QVERIFY(p.delegate->mainWindow());
        p.account.auth.signOut();
        QVERIFY(p.find(u"signedOutPanel"_s)->isVisible());
    }

    // The panel moves the catalogue's region (the status rule is the
    // connection view's test); a pin is "connected" only for the selected
    // server while connected.
    void mapRegionAndPins()
    {
        Panel p(true, false);
        p.servers.setMapRegion(kElsewhere);
        p.createView();
        auto *map = p.find<WorldMap>(u"panelMap"_s);
        QCOMPARE(map->height(), MenuBarRules::mapHeight);
        QCOMPARE(map->annotations().size(), ServerLocation::allServers().size());
        const auto connectedPins = [map] {
            QStringList ids;
            for (const ServerAnnotation &pin : map->annotations())
                if (pin.isConnected)
                    ids << pin.id;
            return ids;
        };
        const auto around = [](const char *id) {
            const ServerLocation *server = ServerLocation::find(QString::fromLatin1(id));
            return MapRegion::around(server->latitude, server->longitude);
        };
        const auto regions = [&] { return QList<MapRegion>{p.servers.mapRegion(), map->region()}; };
        QCOMPARE(regions(), (QList<MapRegion>{kElsewhere, kElsewhere}));
        QCOMPARE(connectedPins(), QStringList());

        QVERIFY(p.publish(VPNConnectionState::connected()));
        QCOMPARE(regions(), (QList<MapRegion>{around("sg-node-01"), around("sg-node-01")}));
        QCOMPARE(connectedPins(), QStringList{u"sg-node-01"_s});
        QTRY_COMPARE(map->displayedRegion(), around("sg-node-01"));
        p.save(u"menubar-connected-map.png"_s);

        p.servers.selectServer(*ServerLocation::find(u"us-west-01"_s));
        QCOMPARE(regions(), (QList<MapRegion>{around("us-west-01"), around("us-west-01")}));
        QVERIFY(p.publish(VPNConnectionState::error(u"x"_s)));
        QCOMPARE(connectedPins(), QStringList());
        p.servers.setMapRegion(kElsewhere);
        p.servers.selectServer(*ServerLocation::find(u"us-west-01"_s));
        QCOMPARE(regions(), (QList<MapRegion>{kElsewhere, kElsewhere}));
        p.servers.selectServer(*ServerLocation::find(u"sg-node-01"_s));
        QCOMPARE(regions(), (QList<MapRegion>{MapRegion::overview(), MapRegion::overview()}));
        QTRY_COMPARE(map->displayedRegion(), MapRegion::overview());
    }
};

QTEST_MAIN(TestConnectionViews)
#include "tst_connectionviews.moc"
