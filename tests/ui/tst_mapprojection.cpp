#include "ui/map/LandShapes.h"
#include "ui/map/MapProjection.h"

#include <QtEndian>
#include <QtTest>

#include <cmath>

using namespace Qt::StringLiterals;
using MapProjection::maxLatitude;

namespace {
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

class TestMapProjection : public QObject
{
    Q_OBJECT

private slots:
    // Points come back from the world square as they went in; latitudes
    // beyond the Mercator limit clamp, longitudes wrap, non-numbers land at 0.
    void roundTrip_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("expectedLatitude");
        QTest::addColumn<double>("expectedLongitude");
        const double m = maxLatitude;
        const struct
        {
            const char *tag;
            double lat, lon, expectedLat, expectedLon;
        } rows[] = {
            {"origin", 0, 0, 0, 0},
            {"London", 51.5074, -0.1278, 51.5074, -0.1278},
            {"Sydney", -33.8688, 151.2093, -33.8688, 151.2093},
            {"near the north limit", 85, 179.9, 85, 179.9},
            {"south limit, west edge", -m, -180, -m, -180},
            {"north pole", 90, 10, m, 10},
            {"south pole", -90, 10, -m, 10},
            {"east edge wraps west", 0, 180, 0, -180},
            {"one and a half turns", 0, 540, 0, -180},
            {"just past west edge", 0, -190, 0, 170},
            {"not a number", qQNaN(), qQNaN(), 0, 0},
            {"infinite", qInf(), -qInf(), 0, 0},
        };
        for (const auto &r : rows)
            QTest::newRow(r.tag) << r.lat << r.lon << r.expectedLat << r.expectedLon;
    }
    void roundTrip()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, expectedLatitude);
        QFETCH(double, expectedLongitude);
        const QPointF world = MapProjection::toWorld(latitude, longitude);
        QVERIFY(world.x() >= -0.5 && world.x() < 0.5);
        QVERIFY(world.y() >= -0.5 - 1e-12 && world.y() <= 0.5 + 1e-12);
        const GeoCoordinate back = MapProjection::fromWorld(world);
        QVERIFY2(std::abs(back.latitude - expectedLatitude) < 1e-9, qPrintable(QString::number(back.latitude, 'g', 15)));
        QVERIFY2(std::abs(back.longitude - expectedLongitude) < 1e-9, qPrintable(QString::number(back.longitude, 'g', 15)));
    }

    // The region's centre is the widget's centre, the region's spans are
    // visible, and on the axis that limits the fit they fill the widget.
    void regionFitsWidget_data()
    {
        QTest::addColumn<MapRegion>("region");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("latitudeLimits");
        QTest::newRow("overview in the main window") << MapRegion::overview() << QSize(800, 560) << true;
        QTest::newRow("Singapore in the panel") << MapRegion::around(1.3521, 103.8198) << QSize(320, 130) << true;
        QTest::newRow("Sydney, tall widget") << MapRegion::around(-33.8688, 151.2093) << QSize(200, 600) << false;
        QTest::newRow("London in the main window") << MapRegion::around(51.5074, -0.1278) << QSize(800, 560) << true;
        QTest::newRow("across the antimeridian") << MapRegion{-17.7, 178.0, 20, 20} << QSize(400, 400) << true;
    }
    void regionFitsWidget()
    {
        QFETCH(MapRegion, region);
        QFETCH(QSize, size);
        QFETCH(bool, latitudeLimits);
        const auto view = MapProjection::viewport(region, size);
        const QPointF center = view.project(region.centerLatitude, region.centerLongitude);
        QVERIFY(std::abs(center.x() - size.width() / 2.0) < 1e-6);
        QVERIFY(std::abs(center.y() - size.height() / 2.0) < 1e-6);

        const double shownLatitude =
            view.unproject(QPointF(size.width() / 2.0, 0)).latitude
            - view.unproject(QPointF(size.width() / 2.0, size.height())).latitude;
        const double shownLongitude = size.width() / view.scale * 360;
        QVERIFY2(shownLatitude >= region.latitudeDelta - 1e-6, qPrintable(QString::number(shownLatitude)));
        QVERIFY2(shownLongitude >= region.longitudeDelta - 1e-6, qPrintable(QString::number(shownLongitude)));
        if (latitudeLimits)
            QVERIFY(std::abs(shownLatitude - region.latitudeDelta) < 1e-6);
        else
            QVERIFY(std::abs(shownLongitude - region.longitudeDelta) < 1e-6);
    }

    void pinsAcrossTheAntimeridianLandBesideTheCentre()
    {
        const auto view = MapProjection::viewport(MapRegion{-17.7, 178.0, 20, 20}, QSize(400, 400));
        const QPointF east = view.project(-17.7, -178.0); // 4 degrees east of the centre, across 180
        const QPointF west = view.project(-17.7, 174.0);
        QVERIFY(std::abs((east.x() - 200) - 4.0 / 360 * view.scale) < 1e-6);
        QVERIFY(std::abs((200 - west.x()) - 4.0 / 360 * view.scale) < 1e-6);
    }

    void zoomOutStopsAtOneWorld_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("the panel's strip") << QSize(320, 130);
        QTest::newRow("a tall widget") << QSize(130, 320);
    }
    void zoomOutStopsAtOneWorld()
    {
        QFETCH(QSize, size);
        // Far more than the world: the widget still shows at most one world
        // and no band beyond the Mercator limits.
        const auto view = MapProjection::viewport(MapRegion{80, 0, 170, 360}, size);
        QVERIFY(view.scale >= std::max(size.width(), size.height()) - 1e-9);
        QVERIFY(view.top() <= 0.5 + 1e-9);
        QVERIFY(view.bottom() >= -0.5 - 1e-9);
    }

    void degenerateInputStaysFinite()
    {
        for (const MapRegion &region : {MapRegion{}, MapRegion{qQNaN(), qInf(), -5, qQNaN()}}) {
            const auto view = MapProjection::viewport(region, QSize(0, 0));
            QVERIFY(std::isfinite(view.scale) && view.scale > 0);
            QVERIFY(std::isfinite(view.center.x()) && std::isfinite(view.center.y()));
        }
    }

    void interpolationTakesTheShortWayRound()
    {
        const MapRegion from{20, 170, 120, 120};
        const MapRegion to{0, -170, 30, 30};
        const MapRegion half = MapProjection::interpolate(from, to, 0.5);
        QCOMPARE(half.centerLatitude, 10.0);
        QVERIFY(std::abs(std::abs(half.centerLongitude) - 180) < 1e-9);
        QCOMPARE(half.latitudeDelta, 75.0);
        QCOMPARE(MapProjection::interpolate(from, to, 0), from);
        QCOMPARE(MapProjection::interpolate(from, to, 1), to);
        // Overview (60 E) to San Francisco (122 W) crosses the antimeridian.
        const MapRegion quarter = MapProjection::interpolate(MapRegion::overview(),
                                                             MapRegion::around(37.7749, -122.4194), 0.25);
        QVERIFY(quarter.centerLongitude > 60 && quarter.centerLongitude < 180);
    }

    // The pin's halo: 3 s out and back, eased in.
    void pulseCycle()
    {
        using MapProjection::pulseAt;
        QCOMPARE(pulseAt(0).scale, pulseAt(3000).scale);
        QVERIFY(std::abs(pulseAt(1500).scale - 1.8) < 1e-9 && std::abs(pulseAt(1500).opacity) < 1e-9);
        QVERIFY(std::abs(pulseAt(2250).scale - pulseAt(750).scale) < 1e-9); // reverses
        QVERIFY(pulseAt(150).scale - 1 < 0.8 * 0.1);
    }

    void landDecoding()
    {
        // Longitudes in 1/32767 of 360 degrees, latitudes of 90 degrees.
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
    }

    void damagedLandDataIsRefused_data()
    {
        const QByteArray good = landFile({{{0, 0}, {100, 0}, {100, 100}}});
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("other file") << QByteArray("PNG\x0d\x0a garbage garbage");
        QTest::newRow("cut short") << good.left(good.size() - 1);
        QTest::newRow("trailing bytes") << good + QByteArray("x");
        QTest::newRow("ring larger than the table") << landFile({{{0, 0}, {1, 1}, {2, 2}}}, 2).left(16 + 4 + 8);
        QByteArray version = good;
        version[4] = 3;
        QTest::newRow("newer version") << version;
        QByteArray huge = good;
        huge[8] = char(0xff), huge[9] = char(0xff), huge[10] = char(0xff), huge[11] = char(0xff);
        QTest::newRow("absurd ring count") << huge;
    }
    void damagedLandDataIsRefused()
    {
        QFETCH(QByteArray, data);
        QString error;
        QVERIFY(!LandShapes::decode(data, &error));
        QVERIFY(!error.isEmpty());
    }

    void builtInLandIsTheWorld()
    {
        const auto &rings = LandShapes::world();
        QVERIFY(rings.size() > 500);
        // Somewhere in central Australia, in the Sahara and in Siberia is land;
        // the middle of the Pacific is not.
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
};

QTEST_GUILESS_MAIN(TestMapProjection)
#include "tst_mapprojection.moc"
