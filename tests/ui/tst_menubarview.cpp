#include "shell/ShellFixture.h"
#include "ui/panel/MenuBarView.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"

#include <QAbstractButton>
#include <QLabel>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

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

class TestMenuBarView : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_MAIN(TestMenuBarView)
#include "tst_menubarview.moc"
