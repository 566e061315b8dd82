#include "model/ConnectionPresentation.h"
#include "ui/common/Icons.h"

#include <QSvgRenderer>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
struct Ink
{
    int pixels = 0; // pixels with any coverage
    int offColour = 0; // covered pixels whose colour is not the requested one
};

Ink inkOf(const QImage &source, const QColor &color)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    Ink ink;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor px = image.pixelColor(x, y);
            if (px.alpha() < 24)
                continue;
            ++ink.pixels;
            // Faint edge pixels lose colour precision in premultiplied form.
            const int tolerance = 2 + 255 / px.alpha();
            if (std::abs(px.red() - color.red()) > tolerance || std::abs(px.green() - color.green()) > tolerance
                || std::abs(px.blue() - color.blue()) > tolerance)
                ++ink.offColour;
        }
    }
    return ink;
}

} // namespace

class TestIcons : public QObject
{
    Q_OBJECT

private slots:
    void everyStatusSymbolIsInTheSet()
    {
        for (const auto status : {VPNDisplayStatus::Disconnected, VPNDisplayStatus::Connecting,
                                  VPNDisplayStatus::Connected, VPNDisplayStatus::Disconnecting, VPNDisplayStatus::Error}) {
            const auto look = ConnectionPresentation::look(status);
            for (const QString &symbol : {look.traySymbol, look.emblemSymbol, look.buttonSymbol})
                QVERIFY2(Icons::has(symbol), qPrintable(symbol));
        }
        QVERIFY(Icons::has(u"MenuBarIcon"_s));
    }

    void everyIconIsAValidDrawing_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString &name : Icons::names())
            if (name != u"AppIcon")
                QTest::newRow(qPrintable(name)) << name;
    }
    void everyIconIsAValidDrawing()
    {
        QFETCH(QString, name);
        QVERIFY(Icons::has(name));
        QSvgRenderer renderer(Icons::resourcePath(name));
        QVERIFY(renderer.isValid());
        QCOMPARE(renderer.viewBoxF(), QRectF(0, 0, 24, 24));

        for (const QColor &color : {QColor(Qt::white), QColor(0, 200, 83)}) {
            const QImage image = Icons::pixmap(name, color, 24, 1).toImage();
            QCOMPARE(image.size(), QSize(24, 24));
            const Ink ink = inkOf(image, color);
            QVERIFY2(ink.pixels > 24, qPrintable(u"%1 covers %2 pixels"_s.arg(name).arg(ink.pixels)));
            QCOMPARE(ink.offColour, 0);
        }
        QVERIFY(inkOf(Icons::pixmap(name, Qt::black, 18, 1).toImage(), Qt::black).pixels > 18);
    }

    void whiteInkIsACutOut()
    {
        // The check inside the filled shield (a point on its stroke, 11, 14.75
        // in the 24-grid) is transparent; the shield body beside it is coloured.
        const QImage image = Icons::pixmap(u"checkmark.shield.fill"_s, Qt::red, 48, 1).toImage();
        QVERIFY(qAlpha(image.pixel(22, 29)) < 40);
        QCOMPARE(qAlpha(image.pixel(24, 16)), 255);
    }

    void pixelRatioAndCache()
    {
        const QPixmap sharp = Icons::pixmap(u"lock"_s, Qt::white, 18, 2);
        QCOMPARE(sharp.size(), QSize(36, 36));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QVERIFY(Icons::pixmap(u"lock"_s, Qt::black, 18, 2).cacheKey() != sharp.cacheKey());

        const QIcon icon = Icons::icon(u"lock"_s, Qt::white, 18);
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(18, 18)});
        QCOMPARE(icon.pixmap(QSize(18, 18), 2.0).size(), QSize(36, 36));
        const QImage disabled = icon.pixmap(QSize(24, 24), 1.0, QIcon::Disabled).toImage();
        int strongest = 0;
        for (int y = 0; y < disabled.height(); ++y)
            for (int x = 0; x < disabled.width(); ++x)
                strongest = std::max(strongest, qAlpha(disabled.pixel(x, y)));
        QVERIFY(strongest > 0 && strongest <= 110);
    }

    void unknownNameGivesAPlaceholder()
    {
        QVERIFY(!Icons::has(u"no.such.symbol"_s));
        QVERIFY(!Icons::has(QString()));
        QVERIFY(!Icons::has(u"../icons/shield"_s));
        QVERIFY(inkOf(Icons::pixmap(u"no.such.symbol"_s, Qt::white, 24, 1).toImage(), Qt::white).pixels > 24);
        QVERIFY(!Icons::icon(QString(), Qt::white).pixmap(16, 16).isNull());
        QVERIFY(Icons::pixmap(u"shield"_s, Qt::white, 0).isNull());
    }

    void appIconIsInColour()
    {
        const QIcon icon = Icons::appIcon();
        QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
        const QColor corner = icon.pixmap(64, 64).toImage().pixelColor(20, 8);
        QVERIFY(corner.alpha() == 255 && corner.saturation() > 100);
        // Drawn at each size, not scaled from another.
        QCOMPARE(icon.pixmap(40, 40).size(), QSize(40, 40));
        QVERIFY(icon.pixmap(40, 40).toImage().pixelColor(12, 5).saturation() > 100);
    }
};

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
