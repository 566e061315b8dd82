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
        QList<ServerLocation> active;
        for (const auto &s : ServerLocation::allServers()) {
            QCOMPARE(s.port, 500);
            QCOMPARE(s.isPremium, !s.isActive);
            QCOMPARE(QHostAddress(s.ipAddress).protocol() == QAbstractSocket::IPv4Protocol, s.isActive);
            if (s.isActive)
                active.append(s);
        }
        QCOMPARE(ServerLocation::availableServers(), active);
        QCOMPARE(active.size(), 2);
        QCOMPARE(ServerLocation::allServers().size(), 9);
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

    void jsonRoundTripAndStrictKeys()
    {
        const ServerLocation original = ServerLocation::allServers()[1];
        const QByteArray body = QJsonDocument(original.toJson()).toJson();
        QCOMPARE(decodeBody<ServerLocation>(body), original);
        ServerLocation moved = original; // equality sees every field, so the round trip above means something
        moved.latitude += 0.0001;
        QVERIFY(moved != original);
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
