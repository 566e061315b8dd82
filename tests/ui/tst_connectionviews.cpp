// The connection's two views: the detail view in the main window, with its
// server picker and map, and the menu-bar panel; the world map's projection,
// land outlines and drawing.
#include "shell/ShellFixture.h"
#include "ui/common/Style.h"
#include "ui/map/LandShapes.h"
#include "ui/map/MapProjection.h"
#include "ui/map/WorldMap.h"
#include "ui/panel/MenuBarView.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/window/ServerPickerSheet.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <array>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;
using Action = ConnectionPresentation::ButtonAction;
using MapProjection::maxLatitude;

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

    FilledButton *button() { return view.findChild<FilledButton *>(u"connectButton"_s); }
    StatusEmblem *emblem() { return view.findChild<StatusEmblem *>(u"statusEmblem"_s); }
    QString text(const QString &name) { return view.findChild<QLabel *>(name)->text(); }
    bool shows(const QString &name) { return view.findChild<QWidget *>(name)->isVisibleTo(&view); }

    bool pick(const QString &id)
    {
        if (!view.serverPicker())
            QTest::mouseClick(view.findChild<QAbstractButton *>(u"locationCard"_s), Qt::LeftButton);
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

QList<ServerAnnotation> cataloguePins(bool connected = true)
{
    return ServerAnnotation::forServers(ServerLocation::allServers(), u"sg-node-01"_s, connected);
}

QPoint pinPoint(const WorldMap &map, const QString &id)
{
    const auto view = MapProjection::viewport(map.displayedRegion(), map.size());
    return view.project(location(id).latitude, location(id).longitude).toPoint();
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

QByteArray landFile(const QList<QList<QPair<qint16, qint16>>> &rings, qint32 announcedPoints = -1)
{
    QByteArray data("VLND");
    auto put16 = [&data](quint16 v) { data.append(char(v & 0xff)).append(char(v >> 8)); };
    auto put32 = [&](quint32 v) { put16(quint16(v & 0xffff)), put16(quint16(v >> 16)); };
    qint32 total = 0;
    for (const auto &ring : rings)
        total += qint32(ring.size());
    put16(2);
    put16(0);
    put32(quint32(rings.size()));
    put32(quint32(announcedPoints < 0 ? total : announcedPoints));
    for (const auto &ring : rings)
        put32(quint32(ring.size()));
    for (const auto &ring : rings)
        for (const auto &[lon, lat] : ring)
            put16(quint16(lon)), put16(quint16(lat));
    return data;
}

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

    // Points round-trip through the world square (clamped, wrapped, NaN at
    // 0); a region is centred, fully visible, and fills the limiting axis.
    void projectionAndViewport()
    {
        const double m = maxLatitude, nan = qQNaN(), inf = qInf();
        const std::array<double, 4> points[] = {
            {0, 0, 0, 0}, {51.5074, -0.1278, 51.5074, -0.1278}, {-m, -180, -m, -180}, // London, south-west corner
            {90, 10, m, 10}, {-90, 10, -m, 10}, // the poles
            {0, 180, 0, -180}, {0, 540, 0, -180}, {0, -190, 0, 170}, // the edges wrap
            {nan, nan, 0, 0}, {inf, -inf, 0, 0},
        };
        for (const auto &[latitude, longitude, expectedLatitude, expectedLongitude] : points) {
            const QPointF world = MapProjection::toWorld(latitude, longitude);
            QVERIFY(world.x() >= -0.5 && world.x() < 0.5);
            QVERIFY(world.y() >= -0.5 - 1e-12 && world.y() <= 0.5 + 1e-12);
            const GeoCoordinate back = MapProjection::fromWorld(world);
            QVERIFY2(std::abs(back.latitude - expectedLatitude) < 1e-9 && std::abs(back.longitude - expectedLongitude) < 1e-9,
                     qPrintable(u"%1, %2"_s.arg(back.latitude, 0, 'g', 15).arg(back.longitude, 0, 'g', 15)));
        }

        const struct
        {
            MapRegion region;
            QSize size;
            bool latitudeLimits;
        } fits[] = {
            {MapRegion::overview(), {800, 560}, true}, // the main window
            {MapRegion::around(1.3521, 103.8198), {320, 130}, true}, // Singapore in the panel
            {MapRegion::around(-33.8688, 151.2093), {200, 600}, false}, // Sydney in a tall widget
            {MapRegion{-17.7, 178.0, 20, 20}, {400, 400}, true}, // across the antimeridian
        };
        for (const auto &[region, size, latitudeLimits] : fits) {
            const auto view = MapProjection::viewport(region, size);
            const QPointF center = view.project(region.centerLatitude, region.centerLongitude);
            QVERIFY(std::abs(center.x() - size.width() / 2.0) < 1e-6);
            QVERIFY(std::abs(center.y() - size.height() / 2.0) < 1e-6);
            const double shownLatitude = view.unproject(QPointF(size.width() / 2.0, 0)).latitude
                - view.unproject(QPointF(size.width() / 2.0, size.height())).latitude;
            const double shownLongitude = size.width() / view.scale * 360;
            QVERIFY2(shownLatitude >= region.latitudeDelta - 1e-6, qPrintable(QString::number(shownLatitude)));
            QVERIFY2(shownLongitude >= region.longitudeDelta - 1e-6, qPrintable(QString::number(shownLongitude)));
            QVERIFY(std::abs((latitudeLimits ? shownLatitude - region.latitudeDelta
                                             : shownLongitude - region.longitudeDelta)) < 1e-6);
        }
    }

    // At most one world, no band beyond the Mercator limits; degenerate input stays finite.
    void zoomOutStopsAtOneWorld()
    {
        for (const QSize size : {QSize(320, 130), QSize(130, 320)}) {
            const auto view = MapProjection::viewport(MapRegion{80, 0, 170, 360}, size);
            QVERIFY(view.scale >= std::max(size.width(), size.height()) - 1e-9);
            QVERIFY(view.top() <= 0.5 + 1e-9 && view.bottom() >= -0.5 - 1e-9);
        }
        for (const MapRegion &region : {MapRegion{}, MapRegion{qQNaN(), qInf(), -5, qQNaN()}}) {
            const auto view = MapProjection::viewport(region, QSize(0, 0));
            QVERIFY(std::isfinite(view.scale) && view.scale > 0);
            QVERIFY(std::isfinite(view.center.x()) && std::isfinite(view.center.y()));
        }
    }

    void acrossTheAntimeridian()
    {
        const auto view = MapProjection::viewport(MapRegion{-17.7, 178.0, 20, 20}, QSize(400, 400));
        const QPointF east = view.project(-17.7, -178.0); // 4 degrees east of the centre, across 180
        const QPointF west = view.project(-17.7, 174.0);
        QVERIFY(std::abs((east.x() - 200) - 4.0 / 360 * view.scale) < 1e-6);
        QVERIFY(std::abs((200 - west.x()) - 4.0 / 360 * view.scale) < 1e-6);

        const MapRegion from{20, 170, 120, 120};
        const MapRegion to{0, -170, 30, 30};
        const MapRegion half = MapProjection::interpolate(from, to, 0.5);
        QCOMPARE(half.centerLatitude, 10.0);
        QVERIFY(std::abs(std::abs(half.centerLongitude) - 180) < 1e-9);
        QCOMPARE(half.latitudeDelta, 75.0);
        QCOMPARE(MapProjection::interpolate(from, to, 0), from);
        QCOMPARE(MapProjection::interpolate(from, to, 1), to);
    }

    // The pin's halo: 3 s out and back, eased in, fading out at its widest.
    void pinHaloCycle()
    {
        using MapProjection::pulseAt;
        QCOMPARE(pulseAt(0).scale, pulseAt(3000).scale);
        QVERIFY(std::abs(pulseAt(2250).scale - pulseAt(750).scale) < 1e-9); // reverses
        QVERIFY(pulseAt(1500).scale > 1.5 && std::abs(pulseAt(1500).opacity) < 1e-9);
        QVERIFY(pulseAt(150).scale - 1 < 0.1 * (pulseAt(1500).scale - 1));
    }

    // Longitudes in 1/32767 of 360 degrees, latitudes of 90 degrees. Refused:
    // empty, another file, cut short, trailing bytes, a ring larger than the
    // table, a newer version, an absurd ring count.
    void landDecodingAndDamagedData()
    {
        const QByteArray good = landFile({{{0, 0}, {8192, 0}, {8192, 16384}}, {{-32767, -32767}, {17294, 0}, {0, 32767}}});
        QString error;
        const auto rings = LandShapes::decode(good, &error);
        QVERIFY2(rings, qPrintable(error));
        QCOMPARE(rings->size(), 2);
        QCOMPARE(rings->at(0).points.size(), 3);
        QVERIFY(std::abs(rings->at(0).points[1].x() - 0.25) < 1e-4); // 90 E
        QVERIFY(std::abs(rings->at(1).points[1].x() - 0.5278) < 1e-4); // 190 E stays east of the edge
        QCOMPARE(rings->at(1).points[0].y(), -0.5); // the south pole clamps to the square
        QVERIFY(rings->at(0).bounds.contains(QPointF(0.2, 0.1)));

        QByteArray version = good;
        version[4] = 3;
        QByteArray huge = good;
        huge[8] = char(0xff), huge[9] = char(0xff), huge[10] = char(0xff), huge[11] = char(0xff);
        for (const QByteArray &data : {QByteArray(), QByteArray("PNG\x0d\x0a garbage garbage"), good.left(good.size() - 1),
                                       QByteArray(good + "x"), landFile({{{0, 0}, {1, 1}, {2, 2}}}, 2).left(16 + 4 + 8),
                                       version, huge}) {
            error.clear();
            QVERIFY(!LandShapes::decode(data, &error));
            QVERIFY(!error.isEmpty());
        }
    }

    void builtInLandIsTheWorld()
    {
        const auto &rings = LandShapes::world();
        QVERIFY(rings.size() > 500);
        auto isLand = [&rings](double latitude, double longitude) {
            const QPointF p = MapProjection::toWorld(latitude, longitude);
            int crossings = 0;
            for (const auto &ring : rings) {
                if (!ring.bounds.contains(p))
                    continue;
                QPolygonF polygon(ring.points);
                if (polygon.containsPoint(p, Qt::OddEvenFill))
                    ++crossings;
            }
            return crossings % 2 == 1;
        };
        QVERIFY(isLand(-25, 134));
        QVERIFY(isLand(23, 10));
        QVERIFY(isLand(62, 100));
        QVERIFY(isLand(1.3521, 103.8198) || isLand(1.40, 103.80)); // Singapore island
        QVERIFY(!isLand(0, -150));
        QVERIFY(!isLand(42, 51)); // the Caspian Sea is a hole in the land
    }

    // The timer wakes the process only while a connected pin is shown and in view.
    void pulseRunsOnlyWhileAConnectedPinIsShown()
    {
        QWidget window;
        window.resize(320, 130);
        WorldMap &map = *new WorldMap(&window);
        map.resize(320, 130);
        map.setAnnotations(cataloguePins(true));
        QVERIFY(!map.isPulsing()); // never shown
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(map.isPulsing());
        map.hide();
        QVERIFY(!map.isPulsing());
        map.show();
        window.hide();
        QVERIFY(!map.isPulsing());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(map.isPulsing());

        // Singapore is far outside a close view of San Francisco.
        map.setRegion(MapRegion::around(37.7749, -122.4194));
        QVERIFY(!map.isPulsing());
        map.setRegion(MapRegion::around(1.3521, 103.8198));
        QVERIFY(map.isPulsing());
        map.setAnnotations(cataloguePins(false));
        QVERIFY(!map.isPulsing());
    }

    // Pins are drawn where the projection puts them; the pulse changes only
    // the halo; hidden, a new region is a jump. The user cannot move the map.
    void drawnMap()
    {
        WorldMap map;
        map.setRegion(MapRegion::around(1.3521, 103.8198), true);
        QVERIFY(!map.isAnimatingRegion());
        map.resize(320, 130);
        map.setRegion(MapRegion::overview());
        map.setAnnotations(cataloguePins());
        map.show();
        QVERIFY(QTest::qWaitForWindowExposed(&map));
        const QImage image = map.grab().toImage();
        QVERIFY(image.save(screenshotPath(u"worldmap-overview-320x130.png"_s)));

        const QColor green = image.pixelColor(pinPoint(map, u"sg-node-01"_s));
        QVERIFY2(green.green() > 150 && green.red() < 120 && green.blue() < 140, qPrintable(green.name()));
        const QColor blue = image.pixelColor(pinPoint(map, u"us-west-01"_s));
        QVERIFY2(blue.blue() > 180 && blue.red() < 80, qPrintable(blue.name()));
        const QColor grey = image.pixelColor(pinPoint(map, u"au-node-01"_s));
        QVERIFY2(std::abs(grey.red() - grey.blue()) < 40 && grey.red() > 60, qPrintable(grey.name()));

        const auto view = MapProjection::viewport(map.displayedRegion(), map.size());
        QVERIFY(near(image.pixelColor(view.project(23, 10).toPoint()), Style::mapLand(), 4));
        QVERIFY(near(image.pixelColor(view.project(-30, 80).toPoint()), Style::mapOcean(), 4)); // Indian Ocean

        // Two different phases of the halo differ only near the pin.
        const QImage &first = image;
        QTest::qWait(700);
        const QImage second = map.grab().toImage();
        QRect changed;
        for (int y = 0; y < first.height(); ++y)
            for (int x = 0; x < first.width(); ++x)
                if (first.pixel(x, y) != second.pixel(x, y))
                    changed |= QRect(x, y, 1, 1);
        const QPoint pin = pinPoint(map, u"sg-node-01"_s);
        QVERIFY(!changed.isEmpty());
        QCOMPARE(changed | QRect(pin - QPoint(24, 24), QSize(49, 49)), QRect(pin - QPoint(24, 24), QSize(49, 49)));

        QTest::mousePress(&map, Qt::LeftButton, {}, QPoint(100, 60));
        QTest::mouseRelease(&map, Qt::LeftButton, {}, QPoint(200, 90));
        QWheelEvent wheel(QPointF(160, 65), map.mapToGlobal(QPointF(160, 65)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&map, &wheel);
        QCOMPARE(map.displayedRegion(), MapRegion::overview());
        QCOMPARE(map.focusPolicy(), Qt::NoFocus);

        const MapRegion target = MapRegion::around(37.7749, -122.4194);
        map.setRegion(target, true);
        QCOMPARE(map.region(), target);
        QVERIFY(map.isAnimatingRegion());
        // The frames take the short way from 60 E to 122 W, across the Pacific.
        QList<MapRegion> frames;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &map, [&] { frames.append(map.displayedRegion()); });
        sampler.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(!map.isAnimatingRegion(), 3000);
        sampler.stop();
        frames.removeAll(target);
        QVERIFY(!frames.isEmpty());
        for (const MapRegion &frame : frames)
            QVERIFY2(frame.centerLongitude >= 60 || frame.centerLongitude < -122,
                     qPrintable(QString::number(frame.centerLongitude)));
        QCOMPARE(map.displayedRegion(), target);

        // A new region during an animation starts from where the map is.
        map.setRegion(MapRegion::overview(), true);
        QTest::qWait(100);
        map.setRegion(MapRegion::around(1.3521, 103.8198), true);
        QTRY_COMPARE_WITH_TIMEOUT(map.displayedRegion(), MapRegion::around(1.3521, 103.8198), 2000);
    }
};

QTEST_MAIN(TestConnectionViews)
#include "tst_connectionviews.moc"
