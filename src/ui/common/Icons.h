#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

// The application's symbol images: one SVG per symbol name in the "icons"
// resource (":/icons/<name>.svg"), drawn in black on a 24 x 24 grid. White
// parts of a drawing are cut-outs (the check inside a filled shield): they
// come out transparent, and everything else takes the requested colour.
//
// An unknown name gives a visible placeholder (a crossed box) and one warning.
namespace Icons {

// A tinted icon that renders sharp at any size and pixel ratio. pixelSize is
// the size the icon reports as its natural size (availableSizes). Disabled
// mode draws the colour at 40 % opacity.
QIcon icon(const QString &symbolName, const QColor &color, int pixelSize = 24);

// A tinted square image of pixelSize logical pixels. A devicePixelRatio of 0
// takes the application's (the highest of its screens). Cached.
QPixmap pixmap(const QString &symbolName, const QColor &color, int pixelSize, qreal devicePixelRatio = 0);

// The full-colour application icon. It offers the common sizes (16 to 512
// pixels) and draws each one only when it is first asked for.
QIcon appIcon();

bool has(const QString &symbolName);
// Every name in the set, sorted (symbol names, "MenuBarIcon" and "AppIcon").
QStringList names();
// ":/icons/<name>.svg"
QString resourcePath(const QString &symbolName);

} // namespace Icons
