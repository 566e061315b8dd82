#include "support/Screenshots.h"
#include "ui/map/MapProjection.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"

#include <QDir>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The catalogue's nine pins with the two active servers, Singapore
// connected.
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

QColor at(const QImage &image, QPoint p)
{
    return image.pixelColor(p);
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}
} // namespace

class TestWorldMap : public QObject
{
    Q_OBJECT

private slots:
    // The pins are drawn where the projection puts them: green for the
    // connected one, blue for the active one, and the land under a point in
    // the Sahara is land-coloured. The pulse changes only the halo.
    void overviewGrab()
    {
        WorldMap map;
        map.resize(320, 130);
        map.setRegion(MapRegion::overview());
        map.setAnnotations(cataloguePins());
        map.show();
        QVERIFY(QTest::qWaitForWindowExposed(&map));
        const QImage image = map.grab().toImage();
        QVERIFY(image.save(screenshotPath(u"worldmap-overview-320x130.png"_s)));

        const QColor green = at(image, pinPoint(map, u"sg-node-01"_s));
        QVERIFY2(green.green() > 150 && green.red() < 120 && green.blue() < 140, qPrintable(green.name()));
        const QColor blue = at(image, pinPoint(map, u"us-west-01"_s));
        QVERIFY2(blue.blue() > 180 && blue.red() < 80, qPrintable(blue.name()));
        const QColor grey = at(image, pinPoint(map, u"au-node-01"_s));
        QVERIFY2(std::abs(grey.red() - grey.blue()) < 40 && grey.red() > 60, qPrintable(grey.name()));

        const auto view = MapProjection::viewport(map.displayedRegion(), map.size());
        QVERIFY(near(at(image, view.project(23, 10).toPoint()), Style::mapLand(), 4));
        QVERIFY(near(at(image, view.project(-30, 80).toPoint()), Style::mapOcean(), 4)); // Indian Ocean

        // Two different phases of the halo differ only near the pin.
        const QImage &first = image;
        QTest::qWait(700);
        const QImage second = map.grab().toImage();
        const QPoint pin = pinPoint(map, u"sg-node-01"_s);
        int changed = 0;
        for (int y = 0; y < first.height(); ++y) {
            for (int x = 0; x < first.width(); ++x) {
                if (first.pixel(x, y) == second.pixel(x, y))
                    continue;
                ++changed;
                QVERIFY2(std::abs(x - pin.x()) <= 24 && std::abs(y - pin.y()) <= 24,
                         qPrintable(u"changed at %1,%2"_s.arg(x).arg(y)));
            }
        }
        QVERIFY(changed > 0);
    }

    // The timer wakes the process only while there is a halo to animate.
    void pulseRunsOnlyWhileAConnectedPinIsShown()
    {
        QWidget window;
        window.resize(320, 130);
        WorldMap &map = *new WorldMap(&window);
        map.resize(320, 130);
        map.setAnnotations(cataloguePins(false));
        QVERIFY(!map.isPulsing()); // never shown
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!map.isPulsing()); // nothing connected

        map.setAnnotations(cataloguePins(true));
        QVERIFY(map.isPulsing());

        // Hidden itself or with its window.
        map.hide();
        QVERIFY(!map.isPulsing());
        map.show();
        QVERIFY(map.isPulsing());
        window.hide();
        QVERIFY(!map.isPulsing());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(map.isPulsing());

        // The connected pin out of view: Singapore is far outside a close
        // view of San Francisco.
        map.setRegion(MapRegion::around(37.7749, -122.4194));
        QVERIFY(!map.isPulsing());
        map.setRegion(MapRegion::around(1.3521, 103.8198));
        QVERIFY(map.isPulsing());

        map.setAnnotations(cataloguePins(false));
        QVERIFY(!map.isPulsing());
    }


    // Shown, a new region is animated; hidden, the map jumps.
    void animatedRegionChange()
    {
        WorldMap map;
        map.setRegion(MapRegion::around(1.3521, 103.8198), true);
        QVERIFY(!map.isAnimatingRegion());
        map.setRegion(MapRegion::overview());
        map.resize(320, 130);
        map.show();
        QVERIFY(QTest::qWaitForWindowExposed(&map));
        const MapRegion target = MapRegion::around(37.7749, -122.4194);
        map.setRegion(target, true);
        QCOMPARE(map.region(), target);
        QVERIFY(map.isAnimatingRegion());
        // Sample the frames: they lie between the two regions and take the
        // short way from 60 E to 122 W, across the Pacific.
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

    void userCannotMoveTheMap()
    {
        WorldMap map;
        map.resize(320, 130);
        map.show();
        QVERIFY(QTest::qWaitForWindowExposed(&map));
        QTest::mousePress(&map, Qt::LeftButton, {}, QPoint(100, 60));
        QTest::mouseRelease(&map, Qt::LeftButton, {}, QPoint(200, 90));
        QWheelEvent wheel(QPointF(160, 65), map.mapToGlobal(QPointF(160, 65)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&map, &wheel);
        QCOMPARE(map.displayedRegion(), MapRegion::overview());
        QCOMPARE(map.focusPolicy(), Qt::NoFocus);
    }
};

QTEST_MAIN(TestWorldMap)
#include "tst_worldmap.moc"
