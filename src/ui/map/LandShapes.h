#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <optional>

// The land outlines of the world map, decoded from the compact resource that
// tools/mapdata/convert.py writes (format described there).
namespace LandShapes {

struct Ring
{
    // World coordinates (see MapProjection); x may pass +-0.5 a little for
    // land that crosses the antimeridian.
    QList<QPointF> points;
    QRectF bounds; // of points, in world coordinates
};

// Decodes the resource format into rings in world coordinates. Returns
// nothing, with a reason in *error, for data that is not of this format or is
// cut short; never reads past the data.
std::optional<QList<Ring>> decode(const QByteArray &data, QString *error = nullptr);

// The land of the world from the built-in resource, decoded on first use
// (main thread). Empty, with one warning, if the resource is damaged.
const QList<Ring> &world();

// A ring edge along the antimeridian or along the Mercator limit: it exists
// only because the data is cut there (or closed along the pole), so the map
// fills across it but draws no coastline on it.
bool isCutEdge(QPointF a, QPointF b);

} // namespace LandShapes
