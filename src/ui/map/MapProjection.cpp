#include "ui/map/MapProjection.h"

#include <QEasingCurve>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace MapProjection {

namespace {
constexpr double pi = std::numbers::pi;
constexpr double degrees = pi / 180;
// Spans below this are treated as this (a zero span would zoom infinitely).
constexpr double minimumSpan = 1e-6;

double finiteOr(double value, double fallback)
{
    return std::isfinite(value) ? value : fallback;
}

double mercatorY(double latitude)
{
    const double phi = clampLatitude(latitude) * degrees;
    return std::log(std::tan(pi / 4 + phi / 2)) / (2 * pi);
}
// The Mercator height of a latitude span centred (in Mercator terms) on a
// latitude: the band from b to b + delta whose middle is at y(center).
// Mercator stretches the poleward side, so b is found by bisection.
double spanHeight(double centerLatitude, double latitudeDelta)
{
    const double middle = mercatorY(centerLatitude);
    double low = centerLatitude - latitudeDelta;
    double high = centerLatitude;
    for (int i = 0; i < 60; ++i) {
        const double bottom = (low + high) / 2;
        if (mercatorY(bottom + latitudeDelta) + mercatorY(bottom) < 2 * middle)
            low = bottom;
        else
            high = bottom;
    }
    const double bottom = (low + high) / 2;
    return mercatorY(bottom + latitudeDelta) - mercatorY(bottom);
}

} // namespace

double clampLatitude(double latitude)
{
    return std::clamp(finiteOr(latitude, 0), -maxLatitude, maxLatitude);
}

double wrapLongitude(double longitude)
{
    longitude = finiteOr(longitude, 0);
    double wrapped = std::fmod(longitude + 180, 360);
    if (wrapped < 0)
        wrapped += 360;
    return wrapped - 180;
}

QPointF toWorld(double latitude, double longitude)
{
    return {wrapLongitude(longitude) / 360, mercatorY(latitude)};
}

GeoCoordinate fromWorld(QPointF world)
{
    const double latitude = (2 * std::atan(std::exp(world.y() * 2 * pi)) - pi / 2) / degrees;
    return {latitude, wrapLongitude(world.x() * 360)};
}

QPointF Viewport::toScreen(QPointF world) const
{
    double dx = world.x() - center.x();
    dx -= std::floor(dx + 0.5); // nearest copy of the world: dx in [-0.5, 0.5)
    const double dy = world.y() - center.y();
    return {size.width() / 2 + dx * scale, size.height() / 2 - dy * scale};
}

QPointF Viewport::project(double latitude, double longitude) const
{
    return toScreen(toWorld(latitude, longitude));
}

GeoCoordinate Viewport::unproject(QPointF screen) const
{
    const QPointF world(center.x() + (screen.x() - size.width() / 2) / scale,
                        center.y() - (screen.y() - size.height() / 2) / scale);
    return fromWorld(world);
}

Viewport viewport(const MapRegion &region, QSizeF size)
{
    const double width = std::max(1.0, finiteOr(size.width(), 1));
    const double height = std::max(1.0, finiteOr(size.height(), 1));

    const double centerLatitude = clampLatitude(region.centerLatitude);
    const double latitudeDelta = std::clamp(std::abs(finiteOr(region.latitudeDelta, 0)), minimumSpan, 180.0);
    const double longitudeDelta = std::clamp(std::abs(finiteOr(region.longitudeDelta, 0)), minimumSpan, 360.0);

    const double spanX = longitudeDelta / 360;
    const double spanY = std::max(minimumSpan, spanHeight(centerLatitude, latitudeDelta));
    double scale = std::min(width / spanX, height / spanY);
    scale = std::max(scale, std::max(width, height));

    const double halfHeight = height / 2 / scale;
    const double centerY = std::clamp(mercatorY(centerLatitude), -0.5 + halfHeight, 0.5 - halfHeight);
    const double centerX = wrapLongitude(region.centerLongitude) / 360;
    return Viewport{QSizeF(width, height), QPointF(centerX, centerY), scale};
}

MapRegion interpolate(const MapRegion &from, const MapRegion &to, double t)
{
    t = std::clamp(finiteOr(t, 1), 0.0, 1.0);
    auto mix = [t](double a, double b) { return a + (b - a) * t; };
    const double startLongitude = wrapLongitude(from.centerLongitude);
    const double turn = wrapLongitude(to.centerLongitude - startLongitude);
    return MapRegion{mix(from.centerLatitude, to.centerLatitude),
                     t >= 1 ? to.centerLongitude : wrapLongitude(startLongitude + turn * t),
                     mix(from.latitudeDelta, to.latitudeDelta), mix(from.longitudeDelta, to.longitudeDelta)};
}

double easeInOut(double t)
{
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
        return c;
    }();
    return curve.valueForProgress(std::clamp(finiteOr(t, 0), 0.0, 1.0));
}

Pulse pulseAt(qint64 elapsedMs)
{
    constexpr qint64 half = 1500;
    const qint64 phase = std::max<qint64>(0, elapsedMs) % (2 * half);
    const double forward = phase < half ? double(phase) / half : double(2 * half - phase) / half;
    const double eased = easeInOut(forward);
    return Pulse{1 + 0.8 * eased, 0.6 * (1 - eased)};
}

} // namespace MapProjection
