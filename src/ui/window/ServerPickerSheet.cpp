#include "ui/window/ServerPickerSheet.h"

#include "ui/common/Style.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int rowSidePadding = 12;

// A label in the text colour, or the secondary one, of the palette in use.
QLabel *makeLabel(const QString &text, const QFont &font, bool secondary, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    // Inside a button a label would take the button's text role.
    label->setForegroundRole(QPalette::WindowText);
    if (secondary)
        Style::setSecondaryText(label);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

// Flag, "Country - City" over the city, and whatever the row puts at the
// trailing end.
QHBoxLayout *rowContent(QWidget *row, const ServerLocation &server, bool dimTitle)
{
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(rowSidePadding, 4 + 4, rowSidePadding, 4 + 4);
    layout->setSpacing(10);

    auto *flag = makeLabel(server.flagEmoji(), Style::font(22), false, row);
    flag->setObjectName(u"flag"_s);
    layout->addWidget(flag);

    auto *lines = new QVBoxLayout;
    lines->setSpacing(1);
    auto *title = makeLabel(server.countryAndCity(), Style::font(14, QFont::Medium), dimTitle, row);
    title->setObjectName(u"title"_s);
    auto *subtitle = makeLabel(server.city, Style::font(12), true, row);
    subtitle->setObjectName(u"subtitle"_s);
    lines->addWidget(title);
    lines->addWidget(subtitle);
    layout->addLayout(lines, 1);
    return layout;
}

// An available server: the whole row is the button.
class AvailableRow : public QAbstractButton
{
public:
    AvailableRow(const ServerLocation &server, QWidget *parent)
        : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setAttribute(Qt::WA_Hover);
        setText(server.countryAndCity());
        QHBoxLayout *layout = rowContent(this, server, false);
        checkmark = new SymbolView(u"checkmark.circle.fill"_s, Style::green(), 18, this);
        checkmark->setObjectName(u"checkmark"_s);
        checkmark->setAttribute(Qt::WA_TransparentForMouseEvents);
        // Keep the row's height and text width the same with or without the mark.
        QSizePolicy policy = checkmark->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        checkmark->setSizePolicy(policy);
        layout->addWidget(checkmark);
    }

    QSize sizeHint() const override { return layout()->sizeHint(); }
    QSize minimumSizeHint() const override { return layout()->minimumSize(); }

    SymbolView *checkmark;

protected:
    void paintEvent(QPaintEvent *) override
    {
        qreal strength = 0;
        if (isDown())
            strength = 0.10;
        else if (underMouse())
            strength = 0.05;
        else if (hasFocus())
            strength = 0.05;
        if (strength == 0)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Style::withAlpha(Style::primaryText(this), strength));
        painter.drawRoundedRect(QRectF(rect()).adjusted(4, 1, -4, -1), 6, 6);
    }
};

} // namespace

ServerPickerSheet::ServerPickerSheet(QList<ServerLocation> servers, std::optional<QString> selectedId,
                                     SelectHandler onSelect, QWidget *parent)
    : QDialog(parent, Qt::Sheet)
    , m_servers(std::move(servers))
    , m_selectedId(std::move(selectedId))
    , m_onSelect(std::move(onSelect))
{
    setObjectName(u"serverPicker"_s);
    setWindowTitle(tr("Choose Server"));
    setWindowModality(Qt::WindowModal);
    setFixedSize(sheetWidth, sheetHeight);

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(20, 16, 16, 12);
    auto *title = new QLabel(tr("Choose Server"), this);
    title->setObjectName(u"pickerTitle"_s);
    title->setFont(Style::font(18, QFont::Bold));
    auto *done = new QPushButton(tr("Done"), this);
    done->setObjectName(u"doneButton"_s);
    done->setFont(Style::font(14, QFont::Medium));
    done->setAutoDefault(false);
    done->setCursor(Qt::PointingHandCursor);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(done);
    root->addLayout(header);
    root->addWidget(new Divider(Qt::Horizontal, this));

    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(u"serverList"_s);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *content = new QWidget(scroll);
    content->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto *list = new QVBoxLayout(content);
    list->setContentsMargins(8, 8, 8, 12);
    list->setSpacing(0);

    const Sections split = sections(m_servers);
    addSection(list, tr("Available"), u"availableSection"_s, split.available, true);
    addSection(list, tr("Offline"), u"offlineSection"_s, split.offline, false);
    list->addStretch(1);
    scroll->setWidget(content);
    root->addWidget(scroll, 1);

    refreshCheckmarks();
}

ServerPickerSheet::Sections ServerPickerSheet::sections(const QList<ServerLocation> &servers)
{
    Sections result;
    for (const ServerLocation &server : servers)
        (server.isActive ? result.available : result.offline).append(server);
    return result;
}

QString ServerPickerSheet::rowName(const ServerLocation &server)
{
    return (server.isActive ? u"serverRow:"_s : u"offlineRow:"_s) + server.id;
}

void ServerPickerSheet::addSection(QVBoxLayout *list, const QString &title, const QString &name,
                                   const QList<ServerLocation> &servers, bool available)
{
    // An empty section would be a title over nothing.
    if (servers.isEmpty())
        return;
    auto *section = new QWidget(list->parentWidget());
    section->setObjectName(name);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 8);
    layout->setSpacing(0);

    auto *header = new QLabel(title, section);
    header->setObjectName(u"sectionTitle"_s);
    header->setFont(Style::font(11, QFont::DemiBold));
    Style::setSecondaryText(header);
    header->setContentsMargins(rowSidePadding, 6, rowSidePadding, 4);
    layout->addWidget(header);

    for (const ServerLocation &server : servers) {
        if (available) {
            auto *row = new AvailableRow(server, section);
            row->setObjectName(rowName(server));
            // Reports every click, also on the server already selected; the
            // sheet stays open.
            connect(row, &QAbstractButton::clicked, this, [this, server] {
                if (m_onSelect)
                    m_onSelect(server);
            });
            m_checkmarks.append({server.id, row->checkmark});
            layout->addWidget(row);
        } else {
            auto *row = new QWidget(section);
            row->setObjectName(rowName(server));
            QHBoxLayout *content = rowContent(row, server, true);
            auto *badge = Badge::quiet(tr("Offline"), 11, row);
            badge->setObjectName(u"offlineBadge"_s);
            badge->setContentsMargins(8, 3, 8, 3);
            content->addWidget(badge);
            layout->addWidget(row);
        }
    }
    list->addWidget(section);
}

void ServerPickerSheet::setSelectedId(const std::optional<QString> &selectedId)
{
    if (m_selectedId == selectedId)
        return;
    m_selectedId = selectedId;
    refreshCheckmarks();
}

void ServerPickerSheet::refreshCheckmarks()
{
    for (const auto &[id, checkmark] : std::as_const(m_checkmarks))
        checkmark->setVisible(m_selectedId && *m_selectedId == id);
}
