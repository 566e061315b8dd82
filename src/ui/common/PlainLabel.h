#pragma once

#include "shell/DisplayText.h"

#include <QLabel>

// The label for text that comes from outside the application: a server's
// names and messages, an address, what the user typed. It always shows plain
// text (never markup), without control or bidirectional-override
// characters, at most `limit` characters. When the text is shortened, by the
// limit or (with setElideMode) to the label's width, its full text is the
// tooltip.
class PlainLabel : public QLabel
{
    Q_OBJECT
public:
    explicit PlainLabel(QWidget *parent = nullptr, qsizetype limit = DisplayText::nameLimit, bool multiLine = false);

    void setPlainText(const QString &text);
    // The cleaned text before any shortening.
    QString fullText() const { return m_full; }
    // A single line shortened to the width with "…" where the mode puts it.
    void setElideMode(Qt::TextElideMode mode);

    // While shortening to its width, the label asks for the width of its
    // whole text and makes do with much less.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refresh();

    qsizetype m_limit;
    bool m_multiLine;
    Qt::TextElideMode m_elide = Qt::ElideNone;
    QString m_full;
    QString m_bounded;
    bool m_boundCut = false;
};
