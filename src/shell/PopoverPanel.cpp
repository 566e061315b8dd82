#include "shell/PopoverPanel.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

PopoverPanel::PopoverPanel(QWidget *content, QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint)
    , m_content(content)
{
    setObjectName(QStringLiteral("popover"));
    auto *layout = new QVBoxLayout(this);
    // One pixel for the outline drawn in paintEvent.
    layout->setContentsMargins(outline, outline, outline, outline);
    layout->setSpacing(0);
    if (content)
        layout->addWidget(content);
    resize(contentSize + QSize(2 * outline, 2 * outline));
}

void PopoverPanel::setPlacedByDesktop(bool placedByDesktop)
{
    m_placedByDesktop = placedByDesktop;
    setWindowFlags(placedByDesktop ? Qt::Window : Qt::Popup | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Velorin VPN"));
}

QPoint PopoverPanel::position(const QRect &anchor, const QSize &size, const QRect &screen)
{
    int x = anchor.center().x() - size.width() / 2;
    x = qMax(screen.left(), qMin(x, screen.right() + 1 - size.width()));
    const bool below = anchor.center().y() < screen.center().y();
    int y = below ? anchor.bottom() + 1 + anchorGap : anchor.top() - anchorGap - size.height();
    y = qMax(screen.top(), qMin(y, screen.bottom() + 1 - size.height()));
    return {x, y};
}

void PopoverPanel::showAt(const QRect &anchor)
{
    m_anchor = anchor;
    fit();
    show();
    raise();
    // The panel takes the keyboard, so its controls answer keys at once.
    if (m_content) {
        activateWindow();
        m_content->setFocus(Qt::PopupFocusReason);
    }
}

qint64 PopoverPanel::msSinceHidden() const
{
    return m_sinceHidden.isValid() ? m_sinceHidden.elapsed() : -1;
}

QRect PopoverPanel::screenArea() const
{
    QScreen *screen = QGuiApplication::screenAt(m_anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(QPoint(0, 0), contentSize);
}

void PopoverPanel::fit()
{
    const QRect screen = screenArea();
    const int least = contentSize.height() + 2 * outline;
    const int wanted = layout() ? layout()->sizeHint().height() : least;
    const int height = qMin(qMax(least, wanted), screen.height());
    const QSize size(contentSize.width() + 2 * outline, height);
    if (this->size() != size)
        resize(size);
    if (!m_anchor.isNull() && !m_placedByDesktop)
        move(position(m_anchor, size, screen));
}

bool PopoverPanel::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    // The content asked for another size (the server list folded out or in).
    if (event->type() == QEvent::LayoutRequest && isVisible())
        fit();
    return handled;
}

void PopoverPanel::hideEvent(QHideEvent *event)
{
    m_sinceHidden.start();
    QWidget::hideEvent(event);
}

void PopoverPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(0.25f);
    painter.setPen(line);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
