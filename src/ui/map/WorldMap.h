#pragma once

#include "model/MapRegion.h"
#include "ui/map/ServerAnnotation.h"

#include <QElapsedTimer>
#include <QList>
#include <QPixmap>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>

// A dark, non-interactive map of the world's land (Web Mercator) showing a
// region given by centre and span, with one pin per server. The user cannot
// pan or zoom it; it moves only through setRegion.
//
// Pins: a connected pin has a green halo that pulses while the map is shown;
// other pins are a 10 x 10 dot with a white outline, blue when the server is
// active and faint grey when not.
//
// Cost: the projected land is cached as a pixmap per size, pixel ratio and
// region, so halo frames only repaint the halo's few pixels; the pulse timer
// runs only while a connected pin is in view of a shown map.
class WorldMap : public QWidget
{
    Q_OBJECT

public:
    static constexpr int regionAnimationMs = 500;
    static constexpr int pulseFrameMs = 33;

    explicit WorldMap(QWidget *parent = nullptr);
    ~WorldMap() override;

    // The region set last (the end of a running animation).
    MapRegion region() const { return m_targetRegion; }
    // The region drawn now; differs from region() only while animating.
    MapRegion displayedRegion() const { return m_displayedRegion; }
    // With `animated`, moves there from the region drawn now in 0.5 s,
    // ease-in-out; a map that is not shown jumps at once.
    void setRegion(const MapRegion &region, bool animated = false);

    QList<ServerAnnotation> annotations() const { return m_annotations; }
    void setAnnotations(const QList<ServerAnnotation> &annotations);

    bool isPulsing() const { return m_pulseTimer.isActive(); }
    bool isAnimatingRegion() const { return m_regionAnimation.state() == QAbstractAnimation::Running; }

    QSize sizeHint() const override { return {320, 130}; }
    QSize minimumSizeHint() const override { return {40, 40}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showRegion(const MapRegion &region);
    void updatePulse();
    void repaintHalos();
    QList<QPointF> connectedPinsInView() const;
    const QPixmap &land();

    MapRegion m_targetRegion = MapRegion::overview();
    MapRegion m_displayedRegion = MapRegion::overview();
    MapRegion m_animationStart;
    QVariantAnimation m_regionAnimation;
    QList<ServerAnnotation> m_annotations;

    bool m_shown = false;
    QTimer m_pulseTimer;
    QElapsedTimer m_pulseClock;

    QPixmap m_land;
    QSize m_landSize;
    qreal m_landPixelRatio = 0;
    MapRegion m_landRegion;
};
