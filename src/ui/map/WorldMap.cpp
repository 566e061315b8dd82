#include "ui/map/WorldMap.h"

#include "ui/map/LandShapes.h"
#include "ui/map/MapProjection.h"
#include "ui/common/Style.h"

#include <QEasingCurve>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

constexpr double dotDiameter = 10;
constexpr double dotOutline = 1.5;
constexpr double haloDiameter = 24;
constexpr double haloMaxScale = 1.8;
// Half the side of the square a pin can paint into (largest halo plus the
// antialiasing fringe).
constexpr int pinReach = int(haloDiameter * haloMaxScale / 2) + 2;

const QColor pinGreen(52, 199, 89);
const QColor pinBlue(10, 132, 255);
const QColor pinGray(142, 142, 147);

QEasingCurve easeInOutCurve()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

QRect pinArea(QPointF center)
{
    const QPoint c = center.toPoint();
    return QRect(c.x() - pinReach, c.y() - pinReach, 2 * pinReach + 1, 2 * pinReach + 1);
}

// Where a pin shows in the widget: the copy of the world nearest the centre,
// plus the neighbouring copy when the view spans nearly the whole world and
// the pin sits at the seam (then it shows cut in half at both edges, like the
// land there).
QList<QPointF> pinCenters(const MapProjection::Viewport &view, const GeoCoordinate &coordinate, const QRect &area)
{
    QList<QPointF> centers;
    const QPointF nearest = view.project(coordinate.latitude, coordinate.longitude);
    for (const double shift : {0.0, -view.scale, view.scale}) {
        const QPointF center(nearest.x() + shift, nearest.y());
        if (pinArea(center).intersects(area))
            centers.append(center);
    }
    return centers;
}

void drawPin(QPainter &painter, QPointF center, const ServerAnnotation &pin, const MapProjection::Pulse &pulse)
{
    painter.setPen(Qt::NoPen);
    QColor dot;
    if (pin.isConnected) {
        QColor halo = pinGreen;
        halo.setAlphaF(float(0.5 * pulse.opacity));
        const double radius = haloDiameter / 2 * pulse.scale;
        painter.setBrush(halo);
        painter.drawEllipse(center, radius, radius);
        dot = pinGreen;
    } else if (pin.isActive) {
        dot = pinBlue;
    } else {
        dot = pinGray;
        dot.setAlphaF(0.5f);
    }
    painter.setBrush(dot);
    painter.drawEllipse(center, dotDiameter / 2, dotDiameter / 2);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, dotOutline));
    painter.drawEllipse(center, dotDiameter / 2, dotDiameter / 2);
}

} // namespace

WorldMap::WorldMap(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    m_regionAnimation.setDuration(regionAnimationMs);
    m_regionAnimation.setStartValue(0.0);
    m_regionAnimation.setEndValue(1.0);
    m_regionAnimation.setEasingCurve(easeInOutCurve());
    QObject::connect(&m_regionAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        showRegion(MapProjection::interpolate(m_animationStart, m_targetRegion, value.toDouble()));
    });
    QObject::connect(&m_regionAnimation, &QVariantAnimation::finished, this,
                     [this] { showRegion(m_targetRegion); });

    m_pulseTimer.setInterval(pulseFrameMs);
    m_pulseTimer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&m_pulseTimer, &QTimer::timeout, this, &WorldMap::repaintHalos);
}

WorldMap::~WorldMap() = default;

void WorldMap::setRegion(const MapRegion &region, bool animated)
{
    if (region == m_targetRegion) {
        // Already there or on the way; a jump request ends the animation.
        if (!animated && isAnimatingRegion()) {
            m_regionAnimation.stop();
            showRegion(region);
        }
        return;
    }
    m_regionAnimation.stop();
    m_targetRegion = region;
    if (animated && m_shown && isVisible()) {
        m_animationStart = m_displayedRegion;
        m_regionAnimation.start();
    } else {
        showRegion(region);
    }
}

void WorldMap::setAnnotations(const QList<ServerAnnotation> &annotations)
{
    if (annotations == m_annotations)
        return;
    m_annotations = annotations;
    update();
    updatePulse();
}

void WorldMap::showRegion(const MapRegion &region)
{
    if (region == m_displayedRegion)
        return;
    m_displayedRegion = region;
    update();
    updatePulse();
}

QList<QPointF> WorldMap::connectedPinsInView() const
{
    QList<QPointF> pins;
    if (width() <= 0 || height() <= 0)
        return pins;
    const auto view = MapProjection::viewport(m_displayedRegion, size());
    for (const ServerAnnotation &pin : m_annotations) {
        if (pin.isConnected)
            pins += pinCenters(view, pin.coordinate, rect());
    }
    return pins;
}

void WorldMap::updatePulse()
{
    const bool wanted = m_shown && isVisible() && !connectedPinsInView().isEmpty();
    if (wanted == m_pulseTimer.isActive())
        return;
    if (wanted) {
        m_pulseClock.start();
        m_pulseTimer.start();
    } else {
        m_pulseTimer.stop();
        update(); // the halo returns to its resting look
    }
}

void WorldMap::repaintHalos()
{
    for (const QPointF &center : connectedPinsInView())
        update(pinArea(center));
}

void WorldMap::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updatePulse();
}

void WorldMap::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_shown = true;
    updatePulse();
}

void WorldMap::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Also sent when the window is minimised, while isVisible() stays true.
    m_shown = false;
    m_regionAnimation.stop();
    showRegion(m_targetRegion);
    updatePulse();
}

const QPixmap &WorldMap::land()
{
    const qreal ratio = devicePixelRatioF();
    if (!m_land.isNull() && m_landSize == size() && m_landPixelRatio == ratio && m_landRegion == m_displayedRegion)
        return m_land;
    m_landSize = size();
    m_landPixelRatio = ratio;
    m_landRegion = m_displayedRegion;

    m_land = QPixmap(size() * ratio);
    m_land.setDevicePixelRatio(ratio);
    m_land.fill(Style::mapOcean());
    if (m_land.isNull())
        return m_land;

    const auto view = MapProjection::viewport(m_displayedRegion, size());
    const double halfWidth = view.size.width() / 2;
    const double halfHeight = view.size.height() / 2;
    // Points closer than half a device pixel to the last one drawn are
    // skipped: at world scale most of the data collapses this way.
    const double minStep = 0.5 / ratio;

    QPainterPath fill;
    fill.setFillRule(Qt::OddEvenFill);
    QPainterPath coast;
    for (int copy = -1; copy <= 1; ++copy) {
        if (view.right() < copy - 0.5 || view.left() > copy + 0.5)
            continue;
        auto toScreen = [&](QPointF world) {
            return QPointF(halfWidth + (world.x() + copy - view.center.x()) * view.scale,
                           halfHeight - (world.y() - view.center.y()) * view.scale);
        };
        for (const LandShapes::Ring &ring : LandShapes::world()) {
            const QRectF &b = ring.bounds;
            if (b.right() + copy < view.left() || b.left() + copy > view.right() || b.bottom() < view.bottom()
                || b.top() > view.top())
                continue;
            const QList<QPointF> &points = ring.points;
            QPointF last = toScreen(points.first());
            QPointF previous = last;
            bool skipped = false;
            fill.moveTo(last);
            coast.moveTo(last);
            for (qsizetype i = 1; i <= points.size(); ++i) {
                const bool closing = i == points.size();
                const QPointF &world = points[closing ? 0 : i];
                const QPointF screen = toScreen(world);
                if (LandShapes::isCutEdge(points[i - 1], world)) {
                    if (skipped) {
                        fill.lineTo(previous);
                        coast.lineTo(previous);
                    }
                    fill.lineTo(screen);
                    coast.moveTo(screen);
                    last = screen;
                    skipped = false;
                } else if (!closing && std::abs(screen.x() - last.x()) + std::abs(screen.y() - last.y()) < minStep) {
                    skipped = true;
                } else {
                    fill.lineTo(screen);
                    coast.lineTo(screen);
                    last = screen;
                    skipped = false;
                }
                previous = screen;
            }
            fill.closeSubpath();
        }
    }

    QPainter painter(&m_land);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(fill, Style::mapLand());
    painter.strokePath(coast, QPen(Style::mapCoast(), 0.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    return m_land;
}

void WorldMap::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, land()); // clipped to the dirty area by the paint engine
    if (m_annotations.isEmpty() || width() <= 0 || height() <= 0)
        return;

    painter.setRenderHint(QPainter::Antialiasing);
    const auto view = MapProjection::viewport(m_displayedRegion, size());
    const MapProjection::Pulse pulse =
        m_pulseTimer.isActive() ? MapProjection::pulseAt(m_pulseClock.elapsed()) : MapProjection::Pulse{};
    for (const ServerAnnotation &pin : m_annotations) {
        for (const QPointF &center : pinCenters(view, pin.coordinate, event->rect()))
            drawPin(painter, center, pin, pulse);
    }
}
