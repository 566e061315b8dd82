#include "ui/common/RoundedPanel.h"

#include "ui/common/Style.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

RoundedPanel::RoundedPanel(QWidget *parent)
    : QFrame(parent)
    , m_layout(new QVBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
}

void RoundedPanel::addRow(QWidget *row)
{
    if (m_rows > 0) {
        m_layout->addWidget(new Divider(Qt::Horizontal, this));
    }
    m_layout->addWidget(row);
    ++m_rows;
}

void RoundedPanel::clearRows()
{
    while (QLayoutItem *item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    m_rows = 0;
}

void RoundedPanel::setTint(const QColor &color)
{
    m_tint = color;
    update();
}

void RoundedPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_tint.isValid() ? m_tint : Style::withAlpha(Style::primaryText(this), 0.05));
    painter.drawRoundedRect(QRectF(rect()), 8, 8);
}

SecondaryLabel::SecondaryLabel(const QString &text, qreal opacity, QWidget *parent)
    : QLabel(text, parent)
    , m_opacity(opacity)
{
    refresh();
}

void SecondaryLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
        refresh();
}

void SecondaryLabel::refresh()
{
    // The label's own palette holds the colour it set; the text colour to
    // follow is the one around it.
    const QWidget *around = parentWidget() ? parentWidget() : this;
    // Setting an equal palette sends no further change event.
    Style::setTextColor(this, Style::withAlpha(Style::secondaryText(around), m_opacity));
}

QScrollArea *makeClearScrollArea(QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->viewport()->setAutoFillBackground(false);
    auto *content = new QWidget(scroll);
    content->setAutoFillBackground(false);
    scroll->setWidget(content);
    return scroll;
}

QLabel *makeSectionHeader(const QString &title, QWidget *parent)
{
    auto *label = new SecondaryLabel(title, 1.0, parent);
    label->setFont(Style::font(11, QFont::DemiBold));
    label->setContentsMargins(4, 0, 0, 0);
    return label;
}
