#include "model/ServerLocation.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestServerLocation : public QObject
{
    Q_OBJECT

private slots:
    void catalogue()
    {
        const auto &all = ServerLocation::allServers();
        QStringList ids;
        for (const auto &s : all)
            ids.append(s.id);
        QCOMPARE(ids, (QStringList{u"sg-node-01"_s, u"us-west-01"_s, u"uk-node-01"_s, u"ie-node-01"_s, u"in-node-01"_s,
                                   u"au-node-01"_s, u"de-node-01"_s, u"jm-node-01"_s, u"it-node-01"_s}));
        QCOMPARE(ServerLocation::availableServers().size(), 2);
        QCOMPARE(ServerLocation::availableServers()[1].id, u"us-west-01"_s);
        for (const auto &s : all) {
            QCOMPARE(s.port, 500);
            QCOMPARE(s.isPremium, !s.isActive);
            // Active rows carry an address, offline rows none.
            QCOMPARE(QHostAddress(s.ipAddress).protocol() == QAbstractSocket::IPv4Protocol, s.isActive);
        }
    }

    void flags()
    {
        ServerLocation server = ServerLocation::allServers().first();
        QCOMPARE(server.flagEmoji(), u"🇸🇬"_s);
        server.countryCode = u"us"_s;
        QCOMPARE(server.flagEmoji(), u"🇺🇸"_s);
        server.countryCode = u"GB"_s;
        QCOMPARE(server.flagEmoji(), u"🇬🇧"_s);
        server.countryCode.clear();
        QCOMPARE(server.flagEmoji(), QString());
    }

    void equalityComparesEveryField()
    {
        const ServerLocation a = ServerLocation::allServers().first();
        ServerLocation b = a;
        QCOMPARE(a, b);
        b.latitude += 0.0001;
        QVERIFY(a != b);
        QCOMPARE(a.id, b.id);
    }

    void jsonRoundTripAndStrictKeys()
    {
        const ServerLocation original = ServerLocation::allServers()[1];
        const QByteArray body = QJsonDocument(original.toJson()).toJson();
        QCOMPARE(decodeBody<ServerLocation>(body), original);
        QCOMPARE(original.toJson().keys().size(), 11);
        QVERIFY(original.toJson().contains(u"countryCode"_s));

        QJsonObject missing = original.toJson();
        missing.remove(u"isPremium"_s);
        QString error;
        QVERIFY(!tryDecodeBody<ServerLocation>(QJsonDocument(missing).toJson(), &error));
        QCOMPARE(error, u"Missing key \"isPremium\""_s);

        QJsonObject snake = missing;
        snake.insert(u"is_premium"_s, true);
        QVERIFY(!tryDecodeBody<ServerLocation>(QJsonDocument(snake).toJson()));
    }
};

QTEST_GUILESS_MAIN(TestServerLocation)
#include "tst_serverlocation.moc"
