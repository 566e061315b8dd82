#include "ui/account/FormField.h"

#include "ui/common/Style.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QVBoxLayout>

namespace FormText {

namespace {
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}
} // namespace

QString trimmedBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

int characterCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

} // namespace FormText

QVBoxLayout *accountSheetColumn(QWidget *sheet, const QString &symbol, int symbolSize, const QString &title)
{
    auto *column = new QVBoxLayout(sheet);
    column->setContentsMargins(Layout::pageMargin, 28, Layout::pageMargin, 22);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto *header = new SymbolView(symbol, Style::accent(), symbolSize, sheet);
    header->setObjectName(QStringLiteral("headerSymbol"));
    column->addWidget(header, 0, Qt::AlignHCenter);

    auto *titleLabel = new QLabel(title, sheet);
    titleLabel->setObjectName(QStringLiteral("titleText"));
    titleLabel->setFont(Style::font(20, QFont::Bold));
    column->addWidget(titleLabel, 0, Qt::AlignHCenter);
    return column;
}

FormField::FormField(const QString &symbol, const QString &placeholder, const QString &editName, bool secure,
                     QWidget *parent)
    : QFrame(parent)
    , m_symbol(new SymbolView(symbol, Qt::gray, 16, this))
    , m_edit(new QLineEdit(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(8);
    // The symbol sits centred in a 20-point column so that fields line up.
    m_symbol->setFixedWidth(20);
    layout->addWidget(m_symbol);
    layout->addWidget(m_edit, 1);

    m_edit->setObjectName(editName);
    m_edit->setPlaceholderText(placeholder);
    m_edit->setFrame(false);
    m_edit->setFont(Style::font(14));
    m_edit->setAttribute(Qt::WA_MacShowFocusRect, false);
    m_edit->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
    if (secure)
        m_edit->setEchoMode(QLineEdit::Password);
    setFocusProxy(m_edit);
    setMinimumHeight(Layout::formControlHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    refreshColors();
    // The frame's outline follows the field's focus.
    m_edit->installEventFilter(this);
}

bool FormField::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QFrame::eventFilter(watched, event);
}

void FormField::refreshColors()
{
    m_symbol->setColor(Style::secondaryText(this));
}

void FormField::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        refreshColors();
    QFrame::changeEvent(event);
}

void FormField::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor text = Style::primaryText(this);
    painter.setBrush(palette().color(QPalette::Base));
    const bool focused = m_edit->hasFocus();
    painter.setPen(QPen(focused ? Style::withAlpha(Style::accent(), 0.8) : Style::withAlpha(text, 0.18),
                        focused ? 1.5 : 1.0));
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 8, 8);
}
