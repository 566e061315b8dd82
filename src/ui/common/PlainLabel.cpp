#include "ui/common/PlainLabel.h"

#include <QResizeEvent>

PlainLabel::PlainLabel(QWidget *parent, qsizetype limit, bool multiLine)
    : QLabel(parent)
    , m_limit(limit)
    , m_multiLine(multiLine)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(multiLine);
}

void PlainLabel::setPlainText(const QString &text)
{
    m_full = DisplayText::clean(text, DisplayText::toolTipLimit, m_multiLine);
    m_bounded = DisplayText::clean(text, m_limit, m_multiLine, &m_boundCut);
    refresh();
}

void PlainLabel::setElideMode(Qt::TextElideMode mode)
{
    m_elide = m_multiLine ? Qt::ElideNone : mode;
    updateGeometry();
    refresh();
}

QSize PlainLabel::sizeHint() const
{
    const QSize hint = QLabel::sizeHint();
    if (m_elide == Qt::ElideNone)
        return hint;
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(m_bounded) + margins.left() + margins.right() + 2, hint.height()};
}

QSize PlainLabel::minimumSizeHint() const
{
    const QSize hint = QLabel::minimumSizeHint();
    if (m_elide == Qt::ElideNone)
        return hint;
    // Any width will do: the text is shortened to it.
    return {fontMetrics().horizontalAdvance(QChar(0x2026)) * 3, hint.height()};
}

void PlainLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    if (m_elide != Qt::ElideNone && event->size().width() != event->oldSize().width())
        refresh();
}

void PlainLabel::refresh()
{
    QString shown = m_bounded;
    bool cut = m_boundCut;
    if (m_elide != Qt::ElideNone && width() > 0) {
        const int room = contentsRect().width();
        const QString elided = fontMetrics().elidedText(m_bounded, m_elide, room);
        cut = cut || elided != m_bounded;
        shown = elided;
    }
    // Unchanged texts are not set again: a label relayouts on every setText.
    if (text() != shown)
        QLabel::setText(shown);
    const QString tip = cut ? DisplayText::toolTip(m_full) : QString();
    if (toolTip() != tip)
        setToolTip(tip);
}
