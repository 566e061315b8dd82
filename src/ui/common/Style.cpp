#include "ui/common/Style.h"

#include "ui/common/Icons.h"
#include "ui/common/PlainLabel.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QtMath>

namespace Style {

namespace {
// The secondary text colour is the primary one at this strength.
constexpr qreal secondaryStrength = 0.55;
} // namespace

QColor green()
{
    return QColor::fromRgbF(0, 0.784f, 0.325f);
}

QColor orange()
{
    return QColor(255, 149, 0);
}

QColor red()
{
    return QColor(255, 59, 48);
}

QColor blue()
{
    return QColor(0, 122, 255);
}

QColor cyan()
{
    return QColor(50, 173, 230);
}

QColor gray()
{
    return QColor(142, 142, 147);
}

QColor accent()
{
    return QColor(10, 132, 255);
}

// The map's dark blues: sea, land and the coast line between them.
QColor mapOcean() { return QColor(13, 20, 31); }
QColor mapLand() { return QColor(40, 54, 71); }
QColor mapCoast() { return QColor(82, 102, 126); }

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(float(color.alphaF() * alpha));
    return color;
}

QColor primaryText(const QWidget *widget)
{
    return widget->palette().color(QPalette::WindowText);
}

QColor secondaryText(const QWidget *widget)
{
    return withAlpha(primaryText(widget), secondaryStrength);
}

namespace {

// A status tone's colour; a quiet tone takes the colour of its surroundings.
QColor toneColorOr(ConnectionPresentation::Tone tone, const QColor &quiet)
{
    using Tone = ConnectionPresentation::Tone;
    switch (tone) {
    case Tone::Quiet:
        break;
    case Tone::Go:
        return green();
    case Tone::Busy:
        return orange();
    case Tone::Stop:
        return red();
    }
    return quiet;
}

} // namespace

QColor toneColor(ConnectionPresentation::Tone tone, const QWidget *widget)
{
    return toneColorOr(tone, secondaryText(widget));
}

QColor buttonColor(ConnectionPresentation::Tone tone)
{
    // A quiet button does not exist; the red of Disconnect is softened.
    using Tone = ConnectionPresentation::Tone;
    switch (tone) {
    case Tone::Quiet:
    case Tone::Go:
        break;
    case Tone::Busy:
        return orange();
    case Tone::Stop:
        return withAlpha(red(), 0.85);
    }
    return green();
}

QColor emblemColor(ConnectionPresentation::Tone tone)
{
    return toneColorOr(tone, withAlpha(Qt::white, 0.7));
}

QColor emblemBackground(ConnectionPresentation::Tone tone)
{
    if (tone == ConnectionPresentation::Tone::Go)
        return withAlpha(green(), 0.2);
    return withAlpha(gray(), 0.15);
}

QFont font(int points, QFont::Weight weight)
{
    QFont f;
    f.setPixelSize(points);
    f.setWeight(weight);
    return f;
}

QFont monospaced(int points)
{
    QFont f(QStringLiteral("monospace"));
    f.setStyleHint(QFont::Monospace);
    f.setPixelSize(points);
    return f;
}

void setTextColor(QLabel *label, const QColor &color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

namespace {

class PaletteFollower : public QObject
{
public:
    PaletteFollower(QWidget *widget, std::function<void(QWidget *)> apply)
        : QObject(widget)
        , m_apply(std::move(apply))
    {
        widget->installEventFilter(this);
        m_apply(widget);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Setting an equal palette sends no further change, so applying
        // from here ends.
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
            m_apply(static_cast<QWidget *>(watched));
        return false;
    }

private:
    std::function<void(QWidget *)> m_apply;
};

} // namespace

void followPalette(QWidget *widget, std::function<void(QWidget *)> apply)
{
    new PaletteFollower(widget, std::move(apply));
}

void setSecondaryText(QLabel *label, qreal opacity)
{
    // Inside a button a label would draw in the button's text role.
    label->setForegroundRole(QPalette::WindowText);
    followPalette(label, [opacity](QWidget *widget) {
        // Never from the label itself, whose palette holds the colour set last.
        const QColor text = widget->parentWidget() ? primaryText(widget->parentWidget())
                                                   : QGuiApplication::palette().color(QPalette::WindowText);
        setTextColor(static_cast<QLabel *>(widget), withAlpha(text, secondaryStrength * opacity));
    });
}

} // namespace Style

SymbolView::SymbolView(const QString &symbol, const QColor &color, int points, QWidget *parent)
    : QLabel(parent)
    , m_symbol(symbol)
    , m_color(color)
    , m_points(points)
{
    setAlignment(Qt::AlignCenter);
    refresh();
}

void SymbolView::setSymbol(const QString &symbol)
{
    if (m_symbol == symbol)
        return;
    m_symbol = symbol;
    refresh();
}

void SymbolView::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    refresh();
}

void SymbolView::setPoints(int points)
{
    m_points = points;
    refresh();
}

void SymbolView::refresh()
{
    setFixedSize(m_points, m_points);
    if (m_symbol.isEmpty()) {
        clear();
        return;
    }
    setPixmap(Icons::pixmap(m_symbol, m_color, m_points));
}

Spinner::Spinner(int points, QWidget *parent)
    : QWidget(parent)
    , m_points(points)
    , m_color(Qt::white)
{
    setFixedSize(points, points);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

void Spinner::setColor(const QColor &color)
{
    m_color = color;
    update();
}

QSize Spinner::sizeHint() const
{
    return {m_points, m_points};
}

void Spinner::showEvent(QShowEvent *)
{
    m_timer.start();
}

void Spinner::hideEvent(QHideEvent *)
{
    m_timer.stop();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = m_points / 2.0;
    const qreal inner = outer * 0.5;
    for (int i = 0; i < 12; ++i) {
        QColor color = m_color;
        color.setAlphaF(float(0.15 + 0.85 * ((12 + i - m_step) % 12) / 11.0));
        painter.setPen(QPen(color, qMax(1.5, m_points / 9.0), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -inner), QPointF(0, -outer + 1));
        painter.rotate(30);
    }
}

FilledButton::FilledButton(const QString &title, QWidget *parent)
    : QAbstractButton(parent)
    , m_color(Style::green())
    , m_spinner(new Spinner(13, this))
{
    setText(title);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    m_spinner->hide();
}

void FilledButton::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void FilledButton::setSymbol(const QString &symbol)
{
    m_symbol = symbol;
    updateGeometry();
    update();
}

void FilledButton::setFontPoints(int points, QFont::Weight weight)
{
    m_points = points;
    m_weight = weight;
    updateGeometry();
    update();
}

void FilledButton::setCornerRadius(qreal radius)
{
    m_radius = radius;
    update();
}

void FilledButton::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    m_spinner->setVisible(busy);
    update();
}

void FilledButton::setFaint(bool faint)
{
    m_faint = faint;
    update();
}

void FilledButton::setShadow(bool shadow)
{
    m_shadow = shadow;
    update();
}

QSize FilledButton::sizeHint() const
{
    const QFontMetrics metrics(Style::font(m_points, m_weight));
    int width = metrics.horizontalAdvance(text()) + 32;
    if (!m_symbol.isEmpty())
        width += m_points + 8;
    return {width, qMax(32, metrics.height() + 16)};
}

void FilledButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(m_shadow ? 2 : 0, m_shadow ? 1 : 0, m_shadow ? -2 : 0, m_shadow ? -4 : 0);
    qreal strength = 1.0;
    if (m_faint)
        strength = 0.4;
    else if (!isEnabled())
        strength = 0.6;
    else if (isDown())
        strength = 0.8;
    if (m_shadow) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Style::withAlpha(m_color, 0.35 * strength));
        painter.drawRoundedRect(frame.translated(0, 3), m_radius, m_radius);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(Style::withAlpha(m_color, strength));
    painter.drawRoundedRect(frame, m_radius, m_radius);
    if (hasFocus()) {
        painter.setPen(QPen(Style::withAlpha(Style::accent(), 0.6), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(1, 1, -1, -1), m_radius, m_radius);
    }

    if (m_busy) {
        m_spinner->move(int(frame.center().x() - m_spinner->width() / 2.0),
                        int(frame.center().y() - m_spinner->height() / 2.0));
        return;
    }
    const QFont font = Style::font(m_points, m_weight);
    const QFontMetrics metrics(font);
    const int textWidth = metrics.horizontalAdvance(text());
    const int symbolWidth = m_symbol.isEmpty() ? 0 : m_points + 6;
    qreal x = frame.center().x() - (textWidth + symbolWidth) / 2.0;
    const QColor content = Style::withAlpha(Qt::white, m_faint ? 0.8 : 1.0);
    if (!m_symbol.isEmpty()) {
        const QPixmap symbol = Icons::pixmap(m_symbol, content, m_points);
        painter.drawPixmap(QPointF(x, frame.center().y() - m_points / 2.0), symbol);
        x += symbolWidth;
    }
    painter.setFont(font);
    painter.setPen(content);
    painter.drawText(QRectF(x, frame.top(), textWidth + 2, frame.height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

LinkButton::LinkButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setColor(Style::accent());
    setFontPoints(12);
}

void LinkButton::setColor(const QColor &color)
{
    setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; background: transparent; color: %1; }"
                                 "QPushButton:pressed { color: %2; }")
                      .arg(color.name(QColor::HexArgb), Style::withAlpha(color, 0.6).name(QColor::HexArgb)));
}

void LinkButton::setFontPoints(int points, QFont::Weight weight)
{
    setFont(Style::font(points, weight));
}

Badge::Badge(const QString &text, const QColor &textColor, const QColor &background, int points, QWidget *parent)
    : QLabel(text, parent)
    , m_background(background)
{
    setFont(Style::font(points, QFont::Normal));
    setContentsMargins(6, 2, 6, 2);
    setAlignment(Qt::AlignCenter);
    Style::setTextColor(this, textColor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

Badge *Badge::quiet(const QString &text, int points, QWidget *parent)
{
    auto *badge = new Badge(text, Style::secondaryText(parent), Style::withAlpha(Style::primaryText(parent), 0.06),
                            points, parent);
    Style::followPalette(badge, [](QWidget *widget) {
        const QWidget *around = widget->parentWidget();
        static_cast<Badge *>(widget)->setColors(Style::secondaryText(around),
                                                Style::withAlpha(Style::primaryText(around), 0.06));
    });
    return badge;
}

void Badge::setColors(const QColor &textColor, const QColor &background)
{
    m_background = background;
    Style::setTextColor(this, textColor);
    update();
}

void Badge::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_background);
    painter.drawRoundedRect(QRectF(rect()), 4, 4);
    painter.end();
    QLabel::paintEvent(event);
}

Divider::Divider(Qt::Orientation orientation, QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(orientation == Qt::Horizontal ? QFrame::HLine : QFrame::VLine);
    setFrameShadow(QFrame::Plain);
}

void Divider::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QColor color = Style::withAlpha(Style::primaryText(this), 0.15);
    if (frameShape() == QFrame::HLine)
        painter.fillRect(QRect(0, height() / 2, width(), 1), color);
    else
        painter.fillRect(QRect(width() / 2, 0, 1, height()), color);
}

MessageRow::MessageRow(const QString &symbol, const QColor &symbolColor, bool dismissible, QWidget *parent)
    : QWidget(parent)
    , m_symbol(new SymbolView(symbol, symbolColor, 13, this))
    , m_text(new PlainLabel(this, DisplayText::messageLimit, true))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    m_text->setObjectName(QStringLiteral("messageText"));
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_symbol, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
    if (dismissible) {
        auto *dismiss = new QPushButton(this);
        dismiss->setObjectName(QStringLiteral("dismissButton"));
        dismiss->setAccessibleName(tr("Dismiss"));
        dismiss->setFlat(true);
        dismiss->setCursor(Qt::PointingHandCursor);
        Style::followPalette(dismiss, [](QWidget *button) {
            static_cast<QPushButton *>(button)->setIcon(
                Icons::icon(QStringLiteral("xmark"), Style::secondaryText(button->parentWidget()), 12));
        });
        dismiss->setIconSize(QSize(12, 12));
        dismiss->setFixedSize(18, 18);
        dismiss->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
        layout->addWidget(dismiss, 0, Qt::AlignTop);
        connect(dismiss, &QPushButton::clicked, this, &MessageRow::dismissed);
    }
    setFontPoints(12);
}

void MessageRow::setMessage(const QString &message)
{
    m_text->setPlainText(message);
}

QString MessageRow::message() const
{
    return m_text->fullText();
}

void MessageRow::setFontPoints(int points)
{
    m_text->setFont(Style::font(points));
}
