#pragma once

#include "model/ConnectionPresentation.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QMargins>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>

class PlainLabel;

// The look shared by every screen: colours, fonts and a few small controls.
// Sizes are in points as the designs give them; one point is one logical
// pixel on screen.
namespace Style {

QColor green(); // RGB (0, 0.784, 0.325), the connect colour
QColor orange();
QColor red();
QColor blue();
QColor cyan();
QColor gray();
QColor accent(); // links and the signed-in accent
// The world map, always dark whatever the palette.
QColor mapOcean();
QColor mapLand();
QColor mapCoast();
QColor withAlpha(QColor color, qreal alpha);

// Text colours from the widget's palette (secondary is the primary at reduced strength).
QColor primaryText(const QWidget *widget);
QColor secondaryText(const QWidget *widget);

// The colours of the connection status's roles. The status dot and text
// accents (Quiet: the widget's secondary text colour); the filled
// connect/disconnect button; the emblem on the dark map and the circle
// behind it.
QColor toneColor(ConnectionPresentation::Tone tone, const QWidget *widget);
QColor buttonColor(ConnectionPresentation::Tone tone);
QColor emblemColor(ConnectionPresentation::Tone tone);
QColor emblemBackground(ConnectionPresentation::Tone tone);

QFont font(int points, QFont::Weight weight = QFont::Normal);
QFont monospaced(int points);

// A label's text colour.
void setTextColor(QLabel *label, const QColor &color);

// Runs `apply` on the widget now and again whenever its palette changes (a
// switch between light and dark while the application runs). `apply` must
// take its colours from the widget's parent, never from the widget itself,
// since it may set the widget's own palette.
void followPalette(QWidget *widget, std::function<void(QWidget *)> apply);
// The label's text in the secondary colour of the widget around it (at the
// given strength), kept right across palette changes.
void setSecondaryText(QLabel *label, qreal opacity = 1.0);

} // namespace Style

// Sizes the screens share, in points. A screen's own sizes sit as named
// constants with the screen.
namespace Layout {

// Around the content of a page (the sign-in page, the account header, the
// panel's invitation to sign in).
inline constexpr int pageMargin = 24;
inline constexpr QMargins pageMargins{pageMargin, pageMargin, pageMargin, pageMargin};
// Inside a card or a settings section.
inline constexpr QMargins cardPadding{16, 12, 16, 12};
// Inside a row of a list (devices, account actions).
inline constexpr QMargins rowPadding{14, 10, 14, 10};
// Inside a settings row that holds a control.
inline constexpr QMargins controlRowPadding{12, 8, 12, 8};
// Above and below the text of an empty or loading list.
inline constexpr QMargins emptyListPadding{0, 32, 0, 32};
// The column of the e-mail forms and the height of their fields and buttons.
inline constexpr int formColumnWidth = 360;
inline constexpr int formControlHeight = 38;
inline constexpr qreal buttonRadius = 8;
inline constexpr qreal cardRadius = 12;

} // namespace Layout

// A symbol image (see Icons) at a fixed size and colour.
class SymbolView : public QLabel
{
    Q_OBJECT
public:
    explicit SymbolView(const QString &symbol = {}, const QColor &color = Qt::black, int points = 16,
                        QWidget *parent = nullptr);
    void setSymbol(const QString &symbol);
    void setColor(const QColor &color);
    void setPoints(int points);
    QString symbol() const { return m_symbol; }
    QColor color() const { return m_color; }

private:
    void refresh();
    QString m_symbol;
    QColor m_color;
    int m_points;
};

// A small spinning progress indicator; it animates only while shown.
class Spinner : public QWidget
{
    Q_OBJECT
public:
    explicit Spinner(int points = 16, QWidget *parent = nullptr);
    void setColor(const QColor &color);
    QSize sizeHint() const override;
    bool isAnimating() const { return m_timer.isActive(); }

protected:
    void paintEvent(QPaintEvent *) override;
    void showEvent(QShowEvent *) override;
    void hideEvent(QHideEvent *) override;

private:
    QTimer m_timer;
    int m_points;
    int m_step = 0;
    QColor m_color;
};

// A filled, rounded button with an optional symbol, a title and white
// content; it can show a spinner instead of its label while busy and can be
// drawn faint (the colour at 40 %) while it would do nothing.
class FilledButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit FilledButton(const QString &title = {}, QWidget *parent = nullptr);

    void setColor(const QColor &color);
    QColor color() const { return m_color; }
    void setSymbol(const QString &symbol);
    QString symbol() const { return m_symbol; }
    void setFontPoints(int points, QFont::Weight weight = QFont::DemiBold);
    void setCornerRadius(qreal radius);
    void setBusy(bool busy);
    bool isBusy() const { return m_busy; }
    void setFaint(bool faint);
    bool isFaint() const { return m_faint; }
    void setShadow(bool shadow);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_color;
    QString m_symbol;
    int m_points = 14;
    QFont::Weight m_weight = QFont::DemiBold;
    qreal m_radius = 8;
    bool m_busy = false;
    bool m_faint = false;
    bool m_shadow = false;
    Spinner *m_spinner;
};

// A text-only button in the accent colour (a link-style button).
class LinkButton : public QPushButton
{
    Q_OBJECT
public:
    explicit LinkButton(const QString &text = {}, QWidget *parent = nullptr);
    void setColor(const QColor &color);
    void setFontPoints(int points, QFont::Weight weight = QFont::Normal);
};

// A short text on a tinted rounded background ("Soon", "Offline", "This Mac").
class Badge : public QLabel
{
    Q_OBJECT
public:
    Badge(const QString &text, const QColor &textColor, const QColor &background, int points = 10,
          QWidget *parent = nullptr);
    // Secondary text on a faint fill of the text colour, following the
    // palette of the widget around it ("Soon", "Offline").
    static Badge *quiet(const QString &text, int points, QWidget *parent);
    void setColors(const QColor &textColor, const QColor &background);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_background;
};

// A one-pixel separator line in the text colour at low strength.
class Divider : public QFrame
{
    Q_OBJECT
public:
    explicit Divider(Qt::Orientation orientation = Qt::Horizontal, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *) override;
};

// A message row with a leading symbol and an optional dismiss button. The
// message is plain text, bounded in length (a server's error text).
class MessageRow : public QWidget
{
    Q_OBJECT
public:
    MessageRow(const QString &symbol, const QColor &symbolColor, bool dismissible, QWidget *parent = nullptr);
    void setMessage(const QString &message);
    QString message() const;
    void setFontPoints(int points);

signals:
    void dismissed();

private:
    SymbolView *m_symbol;
    PlainLabel *m_text;
};
