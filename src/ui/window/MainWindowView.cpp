#include "ui/window/MainWindowView.h"

#include "backend/AuthService.h"
#include "model/NotificationNames.h"
#include "platform/NotificationCenter.h"
#include "ui/window/ConnectionDetailView.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"

#include <QLabel>
#include <QEvent>
#include <QGridLayout>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace Sidebar {

QList<SidebarTab> allTabs()
{
    return {SidebarTab::Connection, SidebarTab::Account, SidebarTab::Devices, SidebarTab::Settings};
}

QString rawValue(SidebarTab tab)
{
    switch (tab) {
    case SidebarTab::Connection:
        return u"connection"_s;
    case SidebarTab::Account:
        return u"account"_s;
    case SidebarTab::Devices:
        return u"devices"_s;
    case SidebarTab::Settings:
        break;
    }
    return u"settings"_s;
}

QString label(SidebarTab tab)
{
    switch (tab) {
    case SidebarTab::Connection:
        return MainWindowView::tr("Connection");
    case SidebarTab::Account:
        return MainWindowView::tr("My Account");
    case SidebarTab::Devices:
        return MainWindowView::tr("Devices");
    case SidebarTab::Settings:
        break;
    }
    return MainWindowView::tr("Settings");
}

QString symbol(SidebarTab tab)
{
    switch (tab) {
    case SidebarTab::Connection:
        return u"shield.checkmark.fill"_s;
    case SidebarTab::Account:
        return u"person.crop.circle"_s;
    case SidebarTab::Devices:
        return u"macbook.and.iphone"_s;
    case SidebarTab::Settings:
        break;
    }
    return u"gearshape"_s;
}

std::optional<SidebarTab> tabForNotification(const QString &name)
{
    if (name == NotificationNames::showSettings)
        return SidebarTab::Settings;
    if (name == NotificationNames::showAccount)
        return SidebarTab::Account;
    if (name == NotificationNames::showDevices)
        return SidebarTab::Devices;
    return std::nullopt;
}

} // namespace Sidebar

namespace {

// A plain stand-in for a screen that another unit provides; the application
// replaces it through MainWindowScreens. Temporary until those screens land.
MainWindowScreens::Factory placeholder(const QString &title, const QString &name)
{
    return [title, name](QWidget *parent) -> QWidget * {
        auto *label = new QLabel(title, parent);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignCenter);
        label->setFont(Style::font(20, QFont::DemiBold));
        Style::setSecondaryText(label);
        return label;
    };
}

int indexOf(SidebarTab tab)
{
    return int(tab);
}

constexpr int tabRole = Qt::UserRole;

} // namespace

MainWindowScreens::MainWindowScreens()
    : signIn(placeholder(MainWindowView::tr("Sign In"), u"signInPlaceholder"_s))
    , account(placeholder(Sidebar::label(SidebarTab::Account), u"accountPlaceholder"_s))
    , devices(placeholder(Sidebar::label(SidebarTab::Devices), u"devicesPlaceholder"_s))
    , settings(placeholder(Sidebar::label(SidebarTab::Settings), u"settingsPlaceholder"_s))
{
}

MainWindowView::MainWindowView(AuthService &auth, ServerManager &servers, VPNServiceManager &vpn,
                               NotificationCenter &notifications, MainWindowScreens screens, QWidget *parent)
    : QWidget(parent)
    , m_auth(auth)
    , m_servers(servers)
    , m_vpn(vpn)
    , m_screens(std::move(screens))
{
    setObjectName(u"mainWindowView"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Attached whatever the sign-in state, so a request made while signed
    // out picks the tab shown after sign-in.
    for (const QString &name : {NotificationNames::showSettings, NotificationNames::showAccount,
                                NotificationNames::showDevices}) {
        const SidebarTab tab = *Sidebar::tabForNotification(name);
        notifications.observe(name, this, [this, tab](const QVariantMap &) { setSelectedTab(tab); });
    }
    connect(&m_auth, &AuthService::authStateChanged, this, &MainWindowView::authStateChanged);
    authStateChanged();
}

MainWindowView::~MainWindowView() = default;

void MainWindowView::authStateChanged()
{
    const bool signedIn = m_auth.authState().isAuthenticated();
    if (signedIn && !m_split) {
        discard(m_signIn);
        m_signIn = nullptr;
        showSplitView();
    } else if (!signedIn && !m_signIn) {
        discard(m_split);
        m_split = nullptr;
        m_sidebar = nullptr;
        m_detail = nullptr;
        m_details.fill(nullptr);
        showSignIn();
    }
}

// Deferred: the change may come from inside the screen being dropped (its
// sign-out button, its sign-in task).
void MainWindowView::discard(QWidget *widget)
{
    if (!widget)
        return;
    layout()->removeWidget(widget);
    widget->hide();
    widget->deleteLater();
}

void MainWindowView::showSignIn()
{
    auto *page = new QWidget(this);
    page->setObjectName(u"signInPage"_s);
    auto *pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->addWidget(m_screens.signIn(page));
    m_signIn = page;
    layout()->addWidget(page);
}

void MainWindowView::showSplitView()
{
    m_split = new QSplitter(Qt::Horizontal, this);
    m_split->setObjectName(u"splitView"_s);
    m_split->setChildrenCollapsible(false);
    m_split->setHandleWidth(1);

    m_sidebar = new QListWidget(m_split);
    m_sidebar->setObjectName(u"sidebar"_s);
    m_sidebar->setMinimumWidth(Sidebar::minimumWidth);
    m_sidebar->setMaximumWidth(Sidebar::maximumWidth);
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setIconSize(QSize(16, 16));
    m_sidebar->setFont(Style::font(13));
    m_sidebar->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_sidebar->setSelectionMode(QAbstractItemView::SingleSelection);

    auto addRow = [this](SidebarTab tab) {
        auto *item = new QListWidgetItem(Icons::icon(Sidebar::symbol(tab), Style::accent(), 16), Sidebar::label(tab),
                                         m_sidebar);
        item->setData(tabRole, indexOf(tab));
    };
    addRow(SidebarTab::Connection);
    auto *section = new QListWidgetItem(tr("Account"), m_sidebar);
    section->setFlags(Qt::NoItemFlags);
    section->setFont(Style::font(11, QFont::DemiBold));
    addRow(SidebarTab::Account);
    addRow(SidebarTab::Devices);
    addRow(SidebarTab::Settings);
    connect(m_sidebar, &QListWidget::currentRowChanged, this, &MainWindowView::sidebarRowChanged);

    m_detail = new QStackedWidget(m_split);
    m_detail->setObjectName(u"detail"_s);

    m_split->addWidget(m_sidebar);
    m_split->addWidget(m_detail);
    m_split->setStretchFactor(0, 0);
    m_split->setStretchFactor(1, 1);
    m_split->setSizes({Sidebar::idealWidth, qMax(width() - Sidebar::idealWidth, Sidebar::idealWidth)});
    layout()->addWidget(m_split);

    styleSidebar();
    syncSidebar();
}

// A source list: a tinted column, rounded highlight, text that keeps its
// colour when selected; all of it from the palette in use.
void MainWindowView::styleSidebar()
{
    if (!m_sidebar)
        return;
    const QColor window = palette().color(QPalette::Window);
    const QColor text = palette().color(QPalette::WindowText);
    const QColor background = window.lightness() > 128 ? window.darker(106) : window.lighter(125);
    QPalette sidebarPalette = m_sidebar->palette();
    sidebarPalette.setColor(QPalette::Text, text);
    sidebarPalette.setColor(QPalette::HighlightedText, text);
    m_sidebar->setPalette(sidebarPalette);
    m_sidebar->setStyleSheet(
        u"QListWidget#sidebar { background: %1; border: none; outline: 0; padding-top: 8px; }"
        "QListWidget#sidebar::item { height: 28px; padding-left: 6px; margin: 0px 8px; border-radius: 6px; }"
        "QListWidget#sidebar::item:selected { background: %2; }"
        "QListWidget#sidebar::item:hover:!selected { background: %3; }"
        "QListWidget#sidebar::item:focus { border: 1px solid %4; }"_s.arg(
            background.name(QColor::HexArgb), Style::withAlpha(Style::accent(), 0.22).name(QColor::HexArgb),
            Style::withAlpha(text, 0.05).name(QColor::HexArgb), Style::withAlpha(Style::accent(), 0.7).name(QColor::HexArgb)));
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (!item->data(tabRole).isValid())
            item->setForeground(Style::secondaryText(this));
    }
}

void MainWindowView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        styleSidebar();
}

void MainWindowView::setSelectedTab(SidebarTab tab)
{
    if (tab == m_selectedTab)
        return;
    m_selectedTab = tab;
    syncSidebar();
    emit selectedTabChanged(tab);
}

void MainWindowView::sidebarRowChanged(int row)
{
    const QListWidgetItem *item = m_sidebar->item(row);
    if (!item || !item->data(tabRole).isValid())
        return;
    setSelectedTab(SidebarTab(item->data(tabRole).toInt()));
}

// Shows the selected tab in the sidebar and the detail (signed in only).
void MainWindowView::syncSidebar()
{
    if (!m_split)
        return;
    for (int row = 0; row < m_sidebar->count(); ++row) {
        const QVariant data = m_sidebar->item(row)->data(tabRole);
        if (data.isValid() && data.toInt() == indexOf(m_selectedTab)) {
            const QSignalBlocker blocker(m_sidebar);
            m_sidebar->setCurrentRow(row);
            break;
        }
    }
    m_detail->setCurrentWidget(detailFor(m_selectedTab));
}

QWidget *MainWindowView::detailFor(SidebarTab tab)
{
    QWidget *&detail = m_details[size_t(indexOf(tab))];
    if (detail)
        return detail;
    switch (tab) {
    case SidebarTab::Connection:
        detail = new ConnectionDetailView(m_servers, m_vpn, m_detail);
        break;
    case SidebarTab::Account:
        detail = m_screens.account(m_detail);
        break;
    case SidebarTab::Devices:
        detail = m_screens.devices(m_detail);
        break;
    case SidebarTab::Settings: {
        // The settings have a size of their own; they sit in the middle of
        // the detail area, as in their own window.
        detail = new QWidget(m_detail);
        detail->setObjectName(u"settingsPage"_s);
        auto *centre = new QGridLayout(detail);
        centre->addWidget(m_screens.settings(detail), 0, 0, Qt::AlignCenter);
        break;
    }
    }
    m_detail->addWidget(detail);
    return detail;
}

QWidget *MainWindowView::currentDetail() const
{
    return m_detail ? m_detail->currentWidget() : nullptr;
}
