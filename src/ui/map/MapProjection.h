#pragma once

#include "model/MapRegion.h"

#include <QPointF>
#include <QSizeF>

// A point on the globe in degrees.
struct GeoCoordinate
{
    double latitude = 0;
    double longitude = 0;

    bool operator==(const GeoCoordinate &) const = default;
};

// Web Mercator maths for the world map. "World" coordinates cover the whole
// map as a unit square: x = longitude / 360 in [-0.5, 0.5), y grows to the
// north and spans [-0.5, 0.5] between the latitude limits. Everything here is
// pure so tests can call it directly.
namespace MapProjection {

// Latitude at which the Mercator square ends (y = +-0.5).
inline constexpr double maxLatitude = 85.0511287798066;

double clampLatitude(double latitude);
// Any longitude into [-180, 180).
double wrapLongitude(double longitude);
// Latitude is clamped to the Mercator limits first.
QPointF toWorld(double latitude, double longitude);
GeoCoordinate fromWorld(QPointF world);

// What a widget of a given size shows for a region.
struct Viewport
{
    QSizeF size; // widget size in logical pixels
    QPointF center; // world point at the widget centre
    double scale = 1; // logical pixels per world width (per 360 degrees)

    // Widget position of a world point, taking the copy of the world nearest
    // to the centre, so a point just across the antimeridian lands beside it.
    QPointF toScreen(QPointF world) const;
    QPointF project(double latitude, double longitude) const;
    GeoCoordinate unproject(QPointF screen) const;
    // The world rectangle the widget shows (x may reach beyond +-0.5 when
    // the view wraps; y grows to the north as in world coordinates).
    double left() const { return center.x() - size.width() / 2 / scale; }
    double right() const { return center.x() + size.width() / 2 / scale; }
    double bottom() const { return center.y() - size.height() / 2 / scale; }
    double top() const { return center.y() + size.height() / 2 / scale; }
};

// Fits a region into a widget the way a map view does: the region's centre
// is at the widget's centre and both spans are visible; on the axis that
// limits the fit the widget shows exactly the span (latitudeDelta degrees
// from the bottom edge to the top edge, or longitudeDelta across), the other
// axis shows more. Two limits: the map never zooms out past one world width
// or height across the widget, and when the Mercator square would end inside
// the widget the centre moves north or south to keep it filled.
Viewport viewport(const MapRegion &region, QSizeF size);

// A region between two regions at progress t in [0, 1]. The centre
// longitude travels the shorter way round (across the antimeridian when that
// is shorter) and comes back wrapped into [-180, 180).
MapRegion interpolate(const MapRegion &from, const MapRegion &to, double t);

// The ease-in-out timing curve used by the map's animations (the cubic
// Bezier 0.42, 0, 0.58, 1).
double easeInOut(double t);

// Halo of a connected pin at a time in milliseconds since the pulse began:
// ease-in-out over 1.5 s from (scale 1, opacity 0.6) to (1.8, 0), then back,
// forever.
struct Pulse
{
    double scale = 1;
    double opacity = 0.6;
};
Pulse pulseAt(qint64 elapsedMs);

} // namespace MapProjection
