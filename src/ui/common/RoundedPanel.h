#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QScrollArea>
#include <QString>

class QVBoxLayout;

// A group of rows on a rounded, faintly tinted background, with a hairline
// between rows (the grouped lists of the account, devices and settings
// screens). The tint follows the palette's text colour, so the panel reads
// in light and dark.
class RoundedPanel : public QFrame
{
    Q_OBJECT
public:
    explicit RoundedPanel(QWidget *parent = nullptr);

    // Adds a row below the last one, with a divider between rows.
    void addRow(QWidget *row);
    // Removes and deletes every row.
    void clearRows();
    int rowCount() const { return m_rows; }

    // A background of its own instead of the neutral tint (the orange error banner).
    void setTint(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_layout;
    int m_rows = 0;
    QColor m_tint;
};

// A label in the secondary text colour, optionally fainter still, that stays
// right when the palette changes (light and dark).
class SecondaryLabel : public QLabel
{
    Q_OBJECT
public:
    explicit SecondaryLabel(const QString &text = {}, qreal opacity = 1.0, QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private:
    void refresh();
    qreal m_opacity;
};

// The caption above a group: small, semibold, secondary colour.
QLabel *makeSectionHeader(const QString &title, QWidget *parent);

// A frameless scroll area through which the window's background shows, with
// its (equally transparent) content widget set: lay out scroll->widget().
QScrollArea *makeClearScrollArea(QWidget *parent);
