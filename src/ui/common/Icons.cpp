#include "ui/common/Icons.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QSet>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace Icons {

namespace {

constexpr qreal disabledOpacity = 0.4;

// Applies the colour: alpha becomes coverage times darkness, so black ink
// takes the colour fully and white ink disappears.
void tint(QImage &image, const QColor &color)
{
    const QRgb target = color.rgba();
    const int red = qRed(target), green = qGreen(target), blue = qBlue(target), alpha = qAlpha(target);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = line[x]; // premultiplied
            const int lightness = (qRed(px) * 299 + qGreen(px) * 587 + qBlue(px) * 114) / 1000;
            const int coverage = std::max(0, qAlpha(px) - lightness) * alpha / 255;
            line[x] = qRgba(red * coverage / 255, green * coverage / 255, blue * coverage / 255, coverage);
        }
    }
}

QImage placeholder(int side, const QColor &color)
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.0, side / 12.0);
    painter.setPen(QPen(color, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QRectF box = QRectF(0, 0, side, side).adjusted(pen, pen, -pen, -pen);
    painter.drawRect(box);
    painter.drawLine(box.topLeft(), box.bottomRight());
    painter.drawLine(box.topRight(), box.bottomLeft());
    return image;
}

qreal applicationPixelRatio()
{
    qreal ratio = 1;
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        ratio = app->devicePixelRatio();
    return ratio > 0 ? ratio : 1;
}

QImage render(const QString &name, const QColor &color, int side)
{
    if (!has(name)) {
        static QSet<QString> warned;
        if (!warned.contains(name)) {
            warned.insert(name);
            qWarning("Icons: no icon named \"%s\"; drawing a placeholder", qUtf8Printable(name));
        }
        return placeholder(side, color);
    }
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid()) {
        qWarning("Icons: the icon \"%s\" is not a valid SVG; drawing a placeholder", qUtf8Printable(name));
        return placeholder(side, color);
    }
    QPainter painter(&image);
    renderer.render(&painter, QRectF(0, 0, side, side));
    painter.end();
    tint(image, color);
    return image;
}

class TintedIconEngine : public QIconEngine
{
public:
    TintedIconEngine(QString name, QColor color, int pixelSize)
        : m_name(std::move(name))
        , m_color(std::move(color))
        , m_pixelSize(pixelSize)
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1;
        const int side = std::min(rect.width(), rect.height());
        if (side <= 0)
            return;
        const QPixmap image = Icons::pixmap(m_name, colorFor(mode), side, ratio);
        painter->drawPixmap(QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0),
                            image);
    }

    // QIcon asks for device pixels here and sets the pixel ratio itself.
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return side > 0 ? Icons::pixmap(m_name, colorFor(mode), side, 1) : QPixmap();
    }

    // Qt 6.4's QIcon::pixmap asks here with the size in device pixels
    // (logical size times scale).
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State, qreal scale) override
    {
        const int side = std::min(size.width(), size.height());
        if (side <= 0)
            return QPixmap();
        const qreal ratio = scale > 0 ? scale : 1;
        return Icons::pixmap(m_name, colorFor(mode), std::max(1, int(std::lround(side / ratio))), ratio);
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return QSize(side, side);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {QSize(m_pixelSize, m_pixelSize)}; }
    QString key() const override { return u"velorin-tinted"_s; }
    QString iconName() override { return m_name; }
    QIconEngine *clone() const override { return new TintedIconEngine(*this); }

private:
    QColor colorFor(QIcon::Mode mode) const
    {
        QColor color = m_color;
        if (mode == QIcon::Disabled)
            color.setAlphaF(float(color.alphaF() * disabledOpacity));
        return color;
    }

    QString m_name;
    QColor m_color;
    int m_pixelSize;
};

// The full-colour application icon, drawn from its SVG at the size asked
// for, when asked for: a tray application shows it only once a window opens.
QPixmap appPixmap(int side)
{
    const QString key = u"velorin-app-icon:%1"_s.arg(side);
    QPixmap result;
    if (!QPixmapCache::find(key, &result)) {
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSvgRenderer renderer(resourcePath(u"AppIcon"_s));
        QPainter painter(&image);
        renderer.render(&painter, QRectF(0, 0, side, side));
        painter.end();
        result = QPixmap::fromImage(image);
        QPixmapCache::insert(key, result);
    }
    return result;
}

class AppIconEngine : public QIconEngine
{
public:
    static inline const QList<int> sides{16, 24, 32, 48, 64, 128, 256, 512};

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1;
        const int side = std::min(rect.width(), rect.height());
        if (side <= 0)
            return;
        QPixmap image = appPixmap(std::max(1, int(std::ceil(side * ratio))));
        image.setDevicePixelRatio(ratio);
        painter->drawPixmap(QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0),
                            image);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return side > 0 ? appPixmap(side) : QPixmap();
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap image = pixmap(size, mode, state);
        if (!image.isNull() && scale > 0) {
            image = image.copy();
            image.setDevicePixelRatio(scale);
        }
        return image;
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return QSize(side, side);
    }

    // The sizes a window manager is offered.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int side : sides)
            sizes.append(QSize(side, side));
        return sizes;
    }
    QString key() const override { return u"velorin-app"_s; }
    QIconEngine *clone() const override { return new AppIconEngine(*this); }
};

} // namespace

QString resourcePath(const QString &symbolName)
{
    return u":/icons/"_s + symbolName + u".svg"_s;
}

bool has(const QString &symbolName)
{
    return !symbolName.isEmpty() && !symbolName.contains(u'/') && QFile::exists(resourcePath(symbolName));
}

QStringList names()
{
    QStringList result;
    const QStringList files = QDir(u":/icons"_s).entryList({u"*.svg"_s}, QDir::Files, QDir::Name);
    for (const QString &file : files)
        result.append(file.chopped(4));
    result.sort();
    return result;
}

QPixmap pixmap(const QString &symbolName, const QColor &color, int pixelSize, qreal devicePixelRatio)
{
    if (pixelSize <= 0)
        return QPixmap();
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : applicationPixelRatio();
    const int side = std::max(1, int(std::ceil(pixelSize * ratio)));
    const QString key =
        u"velorin-icon:%1:%2:%3:%4"_s.arg(symbolName, color.name(QColor::HexArgb)).arg(pixelSize).arg(ratio);
    QPixmap result;
    if (!QPixmapCache::find(key, &result)) {
        result = QPixmap::fromImage(render(symbolName, color, side));
        result.setDevicePixelRatio(ratio);
        QPixmapCache::insert(key, result);
    }
    return result;
}

QIcon icon(const QString &symbolName, const QColor &color, int pixelSize)
{
    return QIcon(new TintedIconEngine(symbolName, color, std::max(1, pixelSize)));
}

QIcon appIcon()
{
    return QIcon(new AppIconEngine);
}

} // namespace Icons
