#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>

// The panel that drops from the tray icon: a frameless popup that closes when
// the user clicks outside it. Its content is 320 points wide and at least 420
// high; the panel grows to fit the content (a folded-out list), never beyond
// the screen.
class PopoverPanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize contentSize{320, 420};
    // Space between the anchor and the panel.
    static constexpr int anchorGap = 4;
    // Width of the outline around the content.
    static constexpr int outline = 1;

    // Takes ownership of `content`; a panel without content shows empty.
    explicit PopoverPanel(QWidget *content, QWidget *parent = nullptr);

    QWidget *content() const { return m_content; }

    // Where nothing can be placed (Wayland): an ordinary small window with a
    // title, placed by the compositor; showAt() then ignores the anchor.
    void setPlacedByDesktop(bool placedByDesktop);
    bool isPlacedByDesktop() const { return m_placedByDesktop; }

    // Shows the panel next to `anchor` (global coordinates): below it when the
    // anchor is in the upper half of its screen (a top panel), above it
    // otherwise, centred on it and kept on the screen.
    void showAt(const QRect &anchor);
    QRect anchor() const { return m_anchor; }

    // Milliseconds since the panel was last hidden; -1 when it never was.
    qint64 msSinceHidden() const;

    // Where a panel of `size` goes for `anchor` on a screen whose usable area
    // is `screen`.
    static QPoint position(const QRect &anchor, const QSize &size, const QRect &screen);

protected:
    bool event(QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void fit();
    QRect screenArea() const;

    QPointer<QWidget> m_content;
    QRect m_anchor;
    QElapsedTimer m_sinceHidden;
    bool m_placedByDesktop = false;
};
