// The world map: projection and viewport, land outlines, and the widget
// that draws them with the server pins.
#include "support/Screenshots.h"
#include "ui/common/Style.h"
#include "ui/map/LandShapes.h"
#include "ui/map/MapProjection.h"
#include "ui/map/WorldMap.h"

#include <QtTest>

#include <array>
#include <cmath>

using namespace Qt::StringLiterals;
using MapProjection::maxLatitude;

namespace {

QList<ServerAnnotation> cataloguePins(bool connected = true)
{
    return ServerAnnotation::forServers(ServerLocation::allServers(), u"sg-node-01"_s, connected);
}

QPoint pinPoint(const WorldMap &map, const QString &id)
{
    const auto view = MapProjection::viewport(map.displayedRegion(), map.size());
    const ServerLocation *server = ServerLocation::find(id);
    return view.project(server->latitude, server->longitude).toPoint();
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

class TestWorldMap : public QObject
{
    Q_OBJECT

private slots:
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
    void pulseCycle()
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

QTEST_MAIN(TestWorldMap)
#include "tst_worldmap.moc"
