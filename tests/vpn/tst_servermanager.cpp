#include "support/TempDefaults.h"
#include "vpn/ServerManager.h"

#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const ServerLocation &row(const QString &id)
{
    return *ServerLocation::find(id);
}

QStringList ids(const QList<ServerLocation> &servers)
{
    QStringList result;
    for (const auto &s : servers)
        result.append(s.id);
    return result;
}

// Two active rows are not enough to test the limit of three, so tests use
// active copies of offline rows.
ServerLocation active(const QString &id)
{
    ServerLocation server = row(id);
    server.isActive = true;
    return server;
}
} // namespace

class TestServerManager : public QObject
{
    Q_OBJECT

private slots:
    // de-node-01 is offline and cannot be selected; a server chosen again
    // moves to the front, and the list keeps three.
    void selectionAndRecents()
    {
        TempDefaults defaults;
        {
            ServerManager manager(defaults.standard());
            QCOMPARE(manager.mapRegion(), (MapRegion{20.0, 60.0, 120.0, 120.0}));
            QSignalSpy selected(&manager, &ServerManager::selectedServerChanged);
            manager.selectServer(row(u"us-west-01"_s));
            QCOMPARE(selected.size(), 1);
            manager.selectServer(row(u"de-node-01"_s));
            QCOMPARE(manager.selectedServer().id, u"us-west-01"_s);
            QCOMPARE(selected.size(), 1);
            manager.selectServer(row(u"sg-node-01"_s));
        }
        defaults.restart();
        ServerManager restored(defaults.standard());
        QCOMPARE(restored.selectedServer().id, u"sg-node-01"_s);
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(defaults.standard().stringList(u"recent_server_ids"_s),
                 std::optional(QStringList{u"sg-node-01"_s, u"us-west-01"_s}));

        restored.selectServer(row(u"us-west-01"_s));
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"us-west-01"_s, u"sg-node-01"_s}));
        restored.selectServer(active(u"uk-node-01"_s));
        restored.selectServer(active(u"ie-node-01"_s));
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"ie-node-01"_s, u"uk-node-01"_s, u"us-west-01"_s}));
    }

    void storedValuesAreRestoredAsTheyAre_data()
    {
        QTest::addColumn<QVariant>("selected");
        QTest::addColumn<QVariant>("recents");
        QTest::addColumn<QString>("expectedSelected");
        QTest::addColumn<QStringList>("expectedRecents");
        QTest::newRow("first launch") << QVariant() << QVariant() << u"sg-node-01"_s << QStringList{};
        // An offline row is restored although selectServer would refuse it.
        QTest::newRow("inactive stored") << QVariant(u"uk-node-01"_s) << QVariant() << u"uk-node-01"_s << QStringList{};
        QTest::newRow("unknown id") << QVariant(u"xx-node-99"_s) << QVariant() << u"sg-node-01"_s << QStringList{};
        QTest::newRow("not a text") << QVariant(7) << QVariant() << u"sg-node-01"_s << QStringList{};
        QTest::newRow("unknown recents dropped")
            << QVariant() << QVariant(QStringList{u"us-west-01"_s, u"nope"_s, u"sg-node-01"_s}) << u"sg-node-01"_s
            << QStringList{u"us-west-01"_s, u"sg-node-01"_s};
        QTest::newRow("number among recents") << QVariant() << QVariant(QVariantList{u"us-west-01"_s, 3})
                                              << u"sg-node-01"_s << QStringList{};
        // Loading neither de-duplicates nor cuts the list.
        QTest::newRow("long list kept") << QVariant()
                                        << QVariant(QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s,
                                                                u"uk-node-01"_s})
                                        << u"sg-node-01"_s
                                        << QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s, u"uk-node-01"_s};
    }

    void storedValuesAreRestoredAsTheyAre()
    {
        QFETCH(QVariant, selected);
        QFETCH(QVariant, recents);
        QFETCH(QString, expectedSelected);
        QFETCH(QStringList, expectedRecents);
        TempDefaults defaults;
        if (selected.isValid())
            defaults.standard().set(u"selected_server_id"_s, selected);
        if (recents.isValid())
            defaults.standard().set(u"recent_server_ids"_s, recents);
        defaults.restart();
        ServerManager manager(defaults.standard());
        QCOMPARE(manager.selectedServer().id, expectedSelected);
        QCOMPARE(ids(manager.recentServers()), expectedRecents);
    }
};

QTEST_GUILESS_MAIN(TestServerManager)
#include "tst_servermanager.moc"
