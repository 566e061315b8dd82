#include "ui/map/LandShapes.h"

#include "ui/map/MapProjection.h"

#include <QFile>
#include <QtEndian>
#include <QtGlobal>

#include <cmath>

using namespace Qt::StringLiterals;

namespace LandShapes {

namespace {
constexpr char magic[4] = {'V', 'L', 'N', 'D'};
constexpr quint16 version = 2;
constexpr qsizetype headerSize = 16;
constexpr double edgeTolerance = 1e-9;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
} // namespace

std::optional<QList<Ring>> decode(const QByteArray &data, QString *error)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    if (data.size() < headerSize || !data.startsWith(QByteArrayView(magic, 4))) {
        setError(error, u"not a land outline file"_s);
        return std::nullopt;
    }
    if (qFromLittleEndian<quint16>(bytes + 4) != version) {
        setError(error, u"unsupported land outline version %1"_s.arg(qFromLittleEndian<quint16>(bytes + 4)));
        return std::nullopt;
    }
    const quint64 ringCount = qFromLittleEndian<quint32>(bytes + 8);
    const quint64 pointCount = qFromLittleEndian<quint32>(bytes + 12);
    const quint64 expected = quint64(headerSize) + 4 * ringCount + 4 * pointCount;
    if (expected != quint64(data.size())) {
        setError(error, u"land outline file has %1 bytes, its header announces %2"_s.arg(data.size()).arg(expected));
        return std::nullopt;
    }

    QList<Ring> rings;
    rings.reserve(qsizetype(ringCount));
    const uchar *counts = bytes + headerSize;
    const uchar *points = counts + 4 * ringCount;
    quint64 used = 0;
    for (quint64 r = 0; r < ringCount; ++r) {
        const quint64 count = qFromLittleEndian<quint32>(counts + 4 * r);
        if (count > pointCount - used) {
            setError(error, u"land outline ring %1 runs past the point table"_s.arg(r));
            return std::nullopt;
        }
        Ring ring;
        ring.points.reserve(qsizetype(count));
        double minX = 1, minY = 1, maxX = -1, maxY = -1;
        for (quint64 i = 0; i < count; ++i) {
            const uchar *p = points + 4 * (used + i);
            // Longitudes are kept as they are, not wrapped: a ring that
            // crosses the antimeridian reaches past the edge of the square.
            const double longitude = qFromLittleEndian<qint16>(p) * 360.0 / 32767;
            const double latitude = qFromLittleEndian<qint16>(p + 2) * 90.0 / 32767;
            const QPointF world(longitude / 360, MapProjection::toWorld(latitude, 0).y());
            ring.points.append(world);
            minX = std::min(minX, world.x());
            maxX = std::max(maxX, world.x());
            minY = std::min(minY, world.y());
            maxY = std::max(maxY, world.y());
        }
        used += count;
        if (ring.points.size() < 3)
            continue;
        ring.bounds = QRectF(QPointF(minX, minY), QPointF(maxX, maxY));
        rings.append(std::move(ring));
    }
    if (used != pointCount) {
        setError(error, u"land outline rings use %1 of %2 points"_s.arg(used).arg(pointCount));
        return std::nullopt;
    }
    return rings;
}

const QList<Ring> &world()
{
    static const QList<Ring> rings = [] {
        QFile file(u":/mapdata/land.bin"_s);
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning("WorldMap: the land outline resource is missing");
            return QList<Ring>();
        }
        QString error;
        auto decoded = decode(file.readAll(), &error);
        if (!decoded) {
            qWarning("WorldMap: %s", qUtf8Printable(error));
            return QList<Ring>();
        }
        return *decoded;
    }();
    return rings;
}

bool isCutEdge(QPointF a, QPointF b)
{
    auto onEdge = [](double value, double edge) { return std::abs(value - edge) < edgeTolerance; };
    for (const double edge : {-0.5, 0.5}) {
        if (onEdge(a.x(), edge) && onEdge(b.x(), edge))
            return true;
        if (onEdge(a.y(), edge) && onEdge(b.y(), edge))
            return true;
    }
    return false;
}

} // namespace LandShapes
