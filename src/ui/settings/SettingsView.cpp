#include "ui/settings/SettingsView.h"

#include "platform/AppInfo.h"
#include "platform/Log.h"
#include "ui/common/Website.h"
#include "ui/common/Confirmation.h"
#include "ui/common/Icons.h"
#include "ui/common/RoundedPanel.h"
#include "ui/common/Style.h"

#include <QButtonGroup>
#include <QDesktopServices>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

// ---- stored switches ----

StoredToggle::StoredToggle(SettingsModel &model, const SettingsModel::Switch &setting, QWidget *parent)
    : QCheckBox(setting.label, parent)
    , m_model(model)
    , m_key(setting.key)
{
    setObjectName(setting.key + u"Toggle"_s);
    setFont(Style::font(13));
    reload();
    // Only the user's clicks write; reload() changes the box without writing.
    connect(this, &QCheckBox::clicked, this, [this](bool checked) { m_model.setValue(m_key, checked); });
    connect(&m_model, &SettingsModel::switchChanged, this, [this](const QString &key) {
        if (key == m_key)
            reload();
    });
}

void StoredToggle::reload()
{
    setChecked(m_model.value(m_key));
}

// ---- form helpers ----

namespace {

// A pane's scrolling column of sections.
QVBoxLayout *makePane(QWidget *pane)
{
    auto *outer = new QVBoxLayout(pane);
    outer->setContentsMargins(0, 0, 0, 0);
    QScrollArea *scroll = makeClearScrollArea(pane);
    outer->addWidget(scroll);
    auto *column = new QVBoxLayout(scroll->widget());
    column->setContentsMargins(Layout::cardPadding);
    column->setSpacing(6);
    return column;
}

// A row of a section with the usual padding.
QWidget *padded(QWidget *child, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 7, 12, 7);
    layout->addWidget(child);
    return row;
}

RoundedPanel *addSection(QVBoxLayout *column, const QString &title, QWidget *parent)
{
    if (column->count() > 0)
        column->addSpacing(8);
    column->addWidget(makeSectionHeader(title, parent));
    auto *panel = new RoundedPanel(parent);
    column->addWidget(panel);
    return panel;
}

void addToggle(RoundedPanel *panel, SettingsModel &model, const QString &key)
{
    panel->addRow(padded(new StoredToggle(model, *SettingsModel::find(key), panel), panel));
}

// The About pane's shield: the symbol filled with a gradient from blue (top
// leading) to cyan (bottom trailing).
class GradientSymbol : public QWidget
{
public:
    GradientSymbol(const QString &symbol, int points, QWidget *parent)
        : QWidget(parent)
        , m_symbol(symbol)
        , m_points(points)
    {
        setFixedSize(points, points);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPixmap shape = Icons::pixmap(m_symbol, Qt::black, m_points, devicePixelRatioF());
        {
            QPainter fill(&shape);
            fill.setCompositionMode(QPainter::CompositionMode_SourceIn);
            QLinearGradient gradient(QPointF(0, 0), QPointF(m_points, m_points));
            gradient.setColorAt(0, Style::blue());
            gradient.setColorAt(1, Style::cyan());
            fill.fillRect(QRectF(0, 0, m_points, m_points), gradient);
        }
        QPainter painter(this);
        painter.drawPixmap(QPointF(0, 0), shape);
    }

private:
    QString m_symbol;
    int m_points;
};

QLabel *centredLabel(const QString &text, const QFont &font, QWidget *parent, bool secondary = false)
{
    auto *label = secondary ? new SecondaryLabel(text, 1.0, parent) : new QLabel(text, parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

void openSaveDialog(QWidget *parent, const QString &suggestedPath, std::function<void(const QString &)> chosen)
{
    auto *dialog = new QFileDialog(parent, SettingsView::tr("Export Diagnostic Logs"));
    dialog->setObjectName(u"exportDialog"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(SettingsView::tr("Text files (*.txt)"));
    dialog->setDefaultSuffix(u"txt"_s);
    dialog->selectFile(suggestedPath);
    QObject::connect(dialog, &QFileDialog::fileSelected, parent, [chosen](const QString &path) { chosen(path); });
    dialog->open();
}

} // namespace

// ---- panes ----

GeneralSettingsView::GeneralSettingsView(SettingsModel &model, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"generalPane"_s);
    QVBoxLayout *column = makePane(this);
    RoundedPanel *startup = addSection(column, SettingsView::tr("Startup"), this);
    addToggle(startup, model, u"launchAtLogin"_s);
    addToggle(startup, model, u"showInDock"_s);
    RoundedPanel *connection = addSection(column, SettingsView::tr("Connection"), this);
    addToggle(connection, model, u"autoConnect"_s);
    column->addStretch(1);
}

ConnectionSettingsView::ConnectionSettingsView(SettingsModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_protocols(new QButtonGroup(this))
    , m_description(new SecondaryLabel(QString(), 1.0, this))
{
    setObjectName(u"connectionPane"_s);
    QVBoxLayout *column = makePane(this);

    RoundedPanel *protocol = addSection(column, SettingsView::tr("Protocol"), this);
    auto *picker = new QWidget(protocol);
    auto *pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(Layout::controlRowPadding);
    pickerRow->setSpacing(16);
    auto *title = new QLabel(SettingsView::tr("VPN Protocol"), picker);
    title->setFont(Style::font(13));
    pickerRow->addWidget(title, 0, Qt::AlignTop);
    auto *choices = new QVBoxLayout;
    choices->setSpacing(4);
    for (VPNProtocolType type : VPNProtocol::allCases()) {
        auto *radio = new QRadioButton(SettingsText::protocolName(type), picker);
        radio->setObjectName(u"protocol"_s + VPNProtocol::rawValue(type));
        radio->setFont(Style::font(13));
        m_protocols->addButton(radio, int(type));
        choices->addWidget(radio);
    }
    m_description->setObjectName(u"protocolDescription"_s);
    m_description->setFont(Style::font(11));
    m_description->setWordWrap(true);
    choices->addSpacing(2);
    choices->addWidget(m_description);
    pickerRow->addLayout(choices, 1);
    protocol->addRow(picker);

    RoundedPanel *security = addSection(column, SettingsView::tr("Security"), this);
    addToggle(security, model, u"killSwitch"_s);
    addToggle(security, model, u"allowLAN"_s);
    column->addStretch(1);

    // A click asks the manager to switch; the rows then show whatever the
    // manager selected (which stays IKEv2 for the protocols this build lacks).
    connect(m_protocols, &QButtonGroup::idClicked, this, [this](int id) {
        m_model.selectProtocol(VPNProtocolType(id));
        showSelectedProtocol();
    });
    connect(&m_model, &SettingsModel::selectedProtocolChanged, this, &ConnectionSettingsView::showSelectedProtocol);
    showSelectedProtocol();
}

void ConnectionSettingsView::showSelectedProtocol()
{
    const VPNProtocolType selected = m_model.selectedProtocol();
    if (QAbstractButton *button = m_protocols->button(int(selected)))
        button->setChecked(true);
    m_description->setText(SettingsText::protocolDescription(selected));
}

std::optional<VPNProtocolType> ConnectionSettingsView::checkedProtocol() const
{
    const int id = m_protocols->checkedId();
    if (id < 0)
        return std::nullopt;
    return VPNProtocolType(id);
}

QString ConnectionSettingsView::descriptionText() const
{
    return m_description->text();
}

AdvancedSettingsView::AdvancedSettingsView(SettingsModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_chooser(openSaveDialog)
    , m_status(new QLabel(this))
{
    setObjectName(u"advancedPane"_s);
    QVBoxLayout *column = makePane(this);
    RoundedPanel *diagnostics = addSection(column, SettingsView::tr("Diagnostics"), this);
    addToggle(diagnostics, model, u"enableLogging"_s);

    auto *exportButton = new QPushButton(SettingsView::tr("Export Diagnostic Logs…"), diagnostics);
    exportButton->setObjectName(u"exportLogsButton"_s);
    connect(exportButton, &QPushButton::clicked, this, &AdvancedSettingsView::exportLogs);
    auto *resetButton = new QPushButton(SettingsView::tr("Reset All Settings"), diagnostics);
    resetButton->setObjectName(u"resetSettingsButton"_s);
    QPalette palette = resetButton->palette();
    palette.setColor(QPalette::ButtonText, Style::red());
    resetButton->setPalette(palette);
    connect(resetButton, &QPushButton::clicked, this, &AdvancedSettingsView::confirmReset);
    auto *buttons = new QWidget(diagnostics);
    auto *buttonRow = new QHBoxLayout(buttons);
    buttonRow->setContentsMargins(Layout::controlRowPadding);
    buttonRow->addWidget(exportButton);
    buttonRow->addWidget(resetButton);
    buttonRow->addStretch(1);
    diagnostics->addRow(buttons);

    m_status->setObjectName(u"exportStatus"_s);
    m_status->setFont(Style::font(11));
    m_status->setWordWrap(true);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setContentsMargins(4, 2, 4, 0);
    Style::followPalette(m_status, [this](QWidget *status) {
        Style::setTextColor(static_cast<QLabel *>(status),
                            m_exportFailed ? Style::red() : Style::secondaryText(status->parentWidget()));
    });
    m_status->hide();
    column->addWidget(m_status);
    column->addStretch(1);
}

QString AdvancedSettingsView::statusText() const
{
    return m_status->isHidden() ? QString() : m_status->text();
}

void AdvancedSettingsView::exportLogs()
{
    QPointer<AdvancedSettingsView> self(this);
    m_chooser(this, SettingsModel::suggestedDiagnosticsPath(QDate::currentDate()), [self](const QString &path) {
        if (!self || path.isEmpty())
            return;
        const SettingsModel::ExportResult result = SettingsModel::exportDiagnostics(path, Log::recentLines());
        self->m_status->setText(result.status);
        self->m_exportFailed = result.failed;
        Style::setTextColor(self->m_status, result.failed ? Style::red() : Style::secondaryText(self));
        self->m_status->show();
    });
}

void AdvancedSettingsView::confirmReset()
{
    if (m_confirmation)
        return;
    QMessageBox *box = makeConfirmation(
        this, u"resetSettingsConfirmation"_s, SettingsView::tr("Reset All Settings"),
        SettingsView::tr("Reset all settings to their defaults? Your account, servers and protocol are not affected."),
        SettingsView::tr("Reset"));
    QAbstractButton *confirm = destructiveButton(box);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirm](QAbstractButton *clicked) {
        if (clicked == confirm)
            m_model.resetAll();
    });
    m_confirmation = box;
    box->open();
}

AboutView::AboutView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"aboutPane"_s);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(Layout::cardPadding);
    column->setSpacing(6);
    column->addStretch(1);
    auto *shield = new GradientSymbol(u"shield.lefthalf.filled"_s, 48, this);
    shield->setObjectName(u"aboutShield"_s);
    column->addWidget(shield, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    auto *name = centredLabel(SettingsView::tr("Velorin VPN"), Style::font(20, QFont::Bold), this);
    name->setObjectName(u"appNameText"_s);
    column->addWidget(name);
    auto *version = centredLabel(SettingsText::versionLine(AppInfo::current()), Style::font(13), this, true);
    version->setObjectName(u"versionText"_s);
    column->addWidget(version);
    auto *legal = centredLabel(SettingsText::legalNotice(), Style::font(12), this, true);
    legal->setObjectName(u"legalText"_s);
    column->addWidget(legal);
    column->addSpacing(6);

    auto *links = new QHBoxLayout;
    links->setSpacing(16);
    links->addStretch(1);
    const struct
    {
        QString title;
        QString objectName;
        QUrl url;
    } pages[] = {
        {SettingsView::tr("Website"), u"websiteLink"_s, Website::home()},
        {SettingsView::tr("Privacy"), u"privacyLink"_s, Website::privacyPolicy()},
        {SettingsView::tr("Terms"), u"termsLink"_s, Website::termsOfService()},
    };
    for (const auto &page : pages) {
        if (!page.url.isValid())
            continue;
        auto *link = new LinkButton(page.title, this);
        link->setObjectName(page.objectName);
        link->setFontPoints(12);
        link->setToolTip(page.url.toDisplayString());
        const QUrl url = page.url;
        connect(link, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        links->addWidget(link);
    }
    links->addStretch(1);
    column->addLayout(links);
    column->addStretch(1);
}

// ---- the tab view ----

SettingsView::SettingsView(UserDefaults &standard, VPNServiceManager &vpnManager, QWidget *parent)
    : QWidget(parent)
    , m_model(new SettingsModel(standard, vpnManager, this))
    , m_tabs(new QTabWidget(this))
    , m_advanced(new AdvancedSettingsView(*m_model, m_tabs))
{
    setObjectName(u"settingsView"_s);
    setFixedSize(480, 320);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    m_tabs->setObjectName(u"settingsTabs"_s);
    m_tabs->setDocumentMode(true);
    m_tabs->setIconSize(QSize(14, 14));
    layout->addWidget(m_tabs);

    for (const SettingsText::TabItem &item : SettingsText::tabs()) {
        QWidget *pane = nullptr;
        switch (item.tab) {
        case SettingsTab::General:
            pane = new GeneralSettingsView(*m_model, m_tabs);
            break;
        case SettingsTab::Connection:
            pane = new ConnectionSettingsView(*m_model, m_tabs);
            break;
        case SettingsTab::Advanced:
            pane = m_advanced;
            break;
        case SettingsTab::About:
            pane = new AboutView(m_tabs);
            break;
        }
        m_tabs->addTab(pane, item.label);
    }
    applyTabIcons();
    setSelectedSettingsTab(SettingsTab::General);
}

void SettingsView::applyTabIcons()
{
    for (const SettingsText::TabItem &item : SettingsText::tabs())
        m_tabs->setTabIcon(int(item.tab), Icons::icon(item.symbol, Style::primaryText(this), 14));
}

void SettingsView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyTabIcons();
}

SettingsTab SettingsView::selectedSettingsTab() const
{
    return SettingsTab(m_tabs->currentIndex());
}

void SettingsView::setSelectedSettingsTab(SettingsTab tab)
{
    m_tabs->setCurrentIndex(int(tab));
}

void SettingsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Every appearance starts on the General pane (a window restored from
    // the Dock keeps its pane).
    if (!event->spontaneous())
        setSelectedSettingsTab(SettingsTab::General);
}
