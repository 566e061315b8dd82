#include "ui/panel/MenuBarView.h"

#include "backend/AuthService.h"
#include "shell/AppDelegate.h"
#include "shell/ConnectionText.h"
#include "ui/common/ConnectionActions.h"
#include "ui/common/Icons.h"
#include "ui/common/PlainLabel.h"
#include "ui/map/ServerAnnotation.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"

#include <QAbstractButton>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <QVariantAnimation>

using namespace Qt::StringLiterals;

// ---------------------------------------------------------------------------
// Rules

namespace MenuBarRules {

bool showsSignedInPanel(const AuthState &state)
{
    return state.isAuthenticated() && state.user().has_value();
}

QString serverDetail(const ServerLocation &server)
{
    return u"IKEv2 · "_s
        + (server.isActive ? MenuBarView::tr("Available")
                           : MenuBarView::tr("Coming Soon"));
}

MapRegion regionForSelection(VPNDisplayStatus status, const ServerLocation &selected)
{
    if (status == VPNDisplayStatus::Connected)
        return MapRegion::around(selected.latitude, selected.longitude);
    return MapRegion::overview();
}

} // namespace MenuBarRules

// ---------------------------------------------------------------------------
// Pieces

namespace {

// The status dot. Its colour is also kept as the dynamic property
// "color" for anyone who needs to read it.
class StatusDot : public QWidget
{
public:
    explicit StatusDot(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(MenuBarRules::statusDotSize, MenuBarRules::statusDotSize);
    }
    void setColor(const QColor &color)
    {
        setProperty("color", color);
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(property("color").value<QColor>());
        painter.drawEllipse(QRectF(rect()));
    }
};

QLabel *label(const QString &text, int points, QFont::Weight weight, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Style::font(points, weight));
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

// The flag emoji at a size; colour emoji ignore the text colour.
QLabel *flagLabel(int points, QWidget *parent)
{
    QLabel *flag = label({}, points, QFont::Normal, parent);
    flag->setAlignment(Qt::AlignCenter);
    flag->setMinimumWidth(points + 6);
    return flag;
}

} // namespace

// A clickable area that hosts a layout of labels (the header, a row). It
// shows an accent outline while it has the keyboard focus.
class MenuBarPanelButton : public QAbstractButton
{
public:
    explicit MenuBarPanelButton(QWidget *parent)
        : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
    }
    QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QSize(); }
    QSize minimumSizeHint() const override { return layout() ? layout()->minimumSize() : QSize(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const QColor background = backgroundColor();
        if (background.alpha() == 0 && !isDown() && !hasFocus())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(background);
        painter.drawRoundedRect(QRectF(rect()), 6, 6);
        if (isDown()) {
            painter.setBrush(Style::withAlpha(palette().color(QPalette::WindowText), 0.06));
            painter.drawRoundedRect(QRectF(rect()), 6, 6);
        }
        if (hasFocus()) {
            painter.setPen(QPen(Style::withAlpha(Style::accent(), 0.8), 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
        }
    }
    virtual QColor backgroundColor() const { return Qt::transparent; }
};

// One server of the fold-out list.
class MenuBarServerRow : public MenuBarPanelButton
{
public:
    MenuBarServerRow(const ServerLocation &server, QWidget *parent)
        : MenuBarPanelButton(parent)
        , m_server(server)
    {
        setObjectName(u"serverRow_"_s + server.id);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(8, 5, 8, 5);
        layout->setSpacing(8);
        QLabel *flag = flagLabel(14, this);
        flag->setText(server.flagEmoji());
        layout->addWidget(flag);
        QLabel *name = label(server.countryAndCity(), 12, QFont::Medium, this);
        name->setObjectName(u"serverRowName"_s);
        if (!server.isActive)
            Style::setSecondaryText(name);
        layout->addWidget(name, 1);
        if (!server.isActive) {
            auto *soon = Badge::quiet(MenuBarView::tr("Soon"), 10, this);
            soon->setObjectName(u"soonBadge"_s);
            soon->setAttribute(Qt::WA_TransparentForMouseEvents);
            layout->addWidget(soon);
        }
        m_check = new SymbolView(u"checkmark"_s, Style::green(), 11, this);
        m_check->setObjectName(u"checkmark"_s);
        m_check->setAttribute(Qt::WA_TransparentForMouseEvents);
        layout->addWidget(m_check);
        // The checkmark keeps its place when hidden, so names stay aligned.
        QSizePolicy policy = m_check->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        m_check->setSizePolicy(policy);
        setSelected(false);
    }

    const ServerLocation &server() const { return m_server; }
    void setSelected(bool selected)
    {
        m_selected = selected;
        m_check->setVisible(selected);
        update();
    }
    bool isSelected() const { return m_selected; }

protected:
    QColor backgroundColor() const override
    {
        return m_selected ? Style::withAlpha(Style::green(), 0.08) : QColor(Qt::transparent);
    }

private:
    ServerLocation m_server;
    SymbolView *m_check;
    bool m_selected = false;
};

// Reveals its inner widget from the top down: its height runs between 0 and
// the inner widget's height, while the inner widget keeps its own size and
// is clipped.
class MenuBarFoldOut : public QWidget
{
public:
    MenuBarFoldOut(QWidget *inner, QWidget *parent)
        : QWidget(parent)
        , m_inner(inner)
    {
        inner->setParent(this);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        m_animation.setDuration(MenuBarRules::foldAnimationMs);
        m_animation.setEasingCurve(QEasingCurve::InOutQuad);
        QObject::connect(&m_animation, &QVariantAnimation::valueChanged, this,
                         [this](const QVariant &value) { setFraction(value.toReal()); });
        setFraction(0);
    }

    bool isOpen() const { return m_open; }
    void setOpen(bool open, bool animated)
    {
        m_open = open;
        m_animation.stop();
        if (!animated) {
            setFraction(open ? 1 : 0);
            return;
        }
        m_animation.setStartValue(m_fraction);
        m_animation.setEndValue(open ? 1.0 : 0.0);
        m_animation.start();
    }
    bool isAnimating() const { return m_animation.state() == QAbstractAnimation::Running; }

    QSize sizeHint() const override
    {
        const QSize inner = m_inner->sizeHint();
        return {inner.width(), qRound(inner.height() * m_fraction)};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent *) override { placeInner(); }

private:
    void setFraction(qreal fraction)
    {
        m_fraction = fraction;
        setVisible(fraction > 0);
        placeInner();
        updateGeometry();
    }
    void placeInner() { m_inner->setGeometry(0, 0, width(), m_inner->sizeHint().height()); }

    QWidget *m_inner;
    QVariantAnimation m_animation;
    qreal m_fraction = 0;
    bool m_open = false;
};

// ---------------------------------------------------------------------------
// The panel

MenuBarView::MenuBarView(AuthService &auth, AppDelegate &appDelegate, ServerManager &servers,
                         VPNServiceManager &vpn, QWidget *parent)
    : QWidget(parent)
    , m_auth(auth)
    , m_delegate(appDelegate)
    , m_servers(servers)
    , m_vpn(vpn)
{
    setObjectName(u"menuBarView"_s);
    setFixedWidth(MenuBarRules::panelWidth);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_signedIn = buildSignedIn();
    m_signedOut = buildSignedOut();
    layout->addWidget(m_signedIn);
    layout->addWidget(m_signedOut);

    QObject::connect(&m_auth, &AuthService::authStateChanged, this, &MenuBarView::refreshAuth);
    QObject::connect(&m_delegate, &AppDelegate::vpnStatusChanged, this, [this](VPNDisplayStatus status) {
        if (const auto region = ConnectionPresentation::regionForStatus(status, m_servers.selectedServer()))
            m_servers.setMapRegion(*region);
        refreshStatus();
        refreshPins();
    });
    // An error's reason can change while the status stays "Error".
    QObject::connect(&m_vpn, &VPNServiceManager::connectionStateChanged, this, &MenuBarView::refreshStatus);
    QObject::connect(&m_servers, &ServerManager::selectedServerChanged, this, [this](const ServerLocation &server) {
        // Selecting the server already selected (the connect button does) is
        // no change.
        if (server.id == m_shownServerId)
            return;
        m_servers.setMapRegion(MenuBarRules::regionForSelection(m_delegate.vpnStatus(), server));
        refreshServer();
        refreshPins();
    });
    QObject::connect(&m_servers, &ServerManager::mapRegionChanged, this,
                     [this](const MapRegion &region) { m_map->setRegion(region, true); });

    // No region of its own at first: the catalogue's current one.
    m_map->setRegion(m_servers.mapRegion(), false);
    refreshAuth();
    refreshStatus();
    refreshServer();
    refreshPins();
}

QWidget *MenuBarView::buildSignedIn()
{
    auto *page = new QWidget(this);
    page->setObjectName(u"signedInPanel"_s);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_map = new WorldMap(page);
    m_map->setObjectName(u"panelMap"_s);
    m_map->setFixedHeight(MenuBarRules::mapHeight);
    layout->addWidget(m_map);
    layout->addWidget(new Divider(Qt::Horizontal, page));

    // Status and button.
    auto *connection = new QWidget(page);
    auto *connectionLayout = new QVBoxLayout(connection);
    connectionLayout->setContentsMargins(MenuBarRules::sectionInset, 12, MenuBarRules::sectionInset, 10);
    connectionLayout->setSpacing(10);
    auto *statusRow = new QHBoxLayout;
    statusRow->setSpacing(6);
    auto *dot = new StatusDot(connection);
    dot->setObjectName(u"statusDot"_s);
    m_statusDot = dot;
    m_statusText = label({}, 13, QFont::Medium, connection);
    m_statusText->setObjectName(u"statusText"_s);
    statusRow->addWidget(m_statusDot);
    statusRow->addWidget(m_statusText, 1);
    connectionLayout->addLayout(statusRow);
    // Why the last attempt failed, under "Error"; the button then connects again.
    m_reason = new PlainLabel(connection, reasonLimit, true);
    m_reason->setObjectName(u"statusReason"_s);
    m_reason->setFont(Style::font(11));
    m_reason->setContentsMargins(14, 0, 0, 0);
    m_reason->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Style::setSecondaryText(m_reason);
    connectionLayout->addSpacing(-6);
    connectionLayout->addWidget(m_reason);
    m_button = new FilledButton({}, connection);
    m_button->setObjectName(u"connectButton"_s);
    m_button->setFixedHeight(MenuBarRules::buttonHeight);
    m_button->setFontPoints(14, QFont::DemiBold);
    m_button->setCornerRadius(Layout::buttonRadius);
    connectionLayout->addWidget(m_button);
    QObject::connect(m_button, &QAbstractButton::clicked, this, &MenuBarView::buttonPressed);
    layout->addWidget(connection);
    layout->addWidget(new Divider(Qt::Horizontal, page));

    // The selected server; a click folds the list out or in.
    auto *header = new MenuBarPanelButton(page);
    header->setObjectName(u"serverHeader"_s);
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(MenuBarRules::sectionInset, 8, MenuBarRules::sectionInset, 8);
    headerLayout->setSpacing(10);
    m_flag = flagLabel(18, header);
    m_flag->setObjectName(u"serverFlag"_s);
    headerLayout->addWidget(m_flag);
    auto *lines = new QVBoxLayout;
    lines->setSpacing(1);
    m_serverName = label({}, 13, QFont::Medium, header);
    m_serverName->setObjectName(u"serverName"_s);
    m_serverDetail = label({}, 11, QFont::Normal, header);
    m_serverDetail->setObjectName(u"serverDetail"_s);
    Style::setSecondaryText(m_serverDetail);
    lines->addWidget(m_serverName);
    lines->addWidget(m_serverDetail);
    headerLayout->addLayout(lines, 1);
    m_chevron = new SymbolView(u"chevron.down"_s, Style::secondaryText(this), 11, header);
    m_chevron->setObjectName(u"serverChevron"_s);
    Style::followPalette(m_chevron, [](QWidget *chevron) {
        static_cast<SymbolView *>(chevron)->setColor(Style::secondaryText(chevron->parentWidget()));
    });
    m_chevron->setAttribute(Qt::WA_TransparentForMouseEvents);
    headerLayout->addWidget(m_chevron);
    QObject::connect(header, &QAbstractButton::clicked, this, [this] { setShowServerList(!m_showServerList); });
    layout->addWidget(header);

    m_foldOut = new MenuBarFoldOut(buildServerList(), page);
    layout->addWidget(m_foldOut);
    layout->addStretch(1);
    layout->addWidget(new Divider(Qt::Horizontal, page));

    // The signed-in account and the way to the main window.
    auto *footer = new QWidget(page);
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(MenuBarRules::sectionInset, 10, MenuBarRules::sectionInset, 12);
    footerLayout->setSpacing(8);
    m_email = new PlainLabel(footer);
    m_email->setFont(Style::font(11));
    m_email->setElideMode(Qt::ElideMiddle);
    m_email->setObjectName(u"emailLabel"_s);
    Style::setSecondaryText(m_email);
    footerLayout->addWidget(m_email, 1);
    auto *openApp = new LinkButton(tr("Open App"), footer);
    openApp->setObjectName(u"openAppButton"_s);
    openApp->setFontPoints(12);
    openApp->setIcon(Icons::icon(u"arrow.up.forward.square"_s, Style::accent(), 11));
    openApp->setIconSize(QSize(11, 11));
    // The symbol follows the text.
    openApp->setLayoutDirection(Qt::RightToLeft);
    QObject::connect(openApp, &QAbstractButton::clicked, &m_delegate, &AppDelegate::openMainWindow);
    footerLayout->addWidget(openApp);
    layout->addWidget(footer);
    return page;
}

QWidget *MenuBarView::buildServerList()
{
    auto *list = new QWidget;
    list->setObjectName(u"serverList"_s);
    auto *layout = new QVBoxLayout(list);
    layout->setContentsMargins(MenuBarRules::sectionInset, 0, MenuBarRules::sectionInset, 8);
    layout->setSpacing(2);
    for (const ServerLocation &server : m_servers.servers()) {
        auto *row = new MenuBarServerRow(server, list);
        QObject::connect(row, &QAbstractButton::clicked, this, [this, row] { serverTapped(row->server()); });
        layout->addWidget(row);
        m_rows.append(row);
    }
    return list;
}

QWidget *MenuBarView::buildSignedOut()
{
    auto *page = new QWidget(this);
    page->setObjectName(u"signedOutPanel"_s);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(Layout::pageMargins);
    layout->setSpacing(0);
    layout->addStretch(1);
    auto *shield = new SymbolView(u"shield.lefthalf.filled"_s, Style::accent(), 48, page);
    layout->addWidget(shield, 0, Qt::AlignHCenter);
    layout->addSpacing(14);
    QLabel *title = label(tr("Velorin VPN"), 18, QFont::DemiBold, page);
    title->setAlignment(Qt::AlignHCenter);
    layout->addWidget(title);
    layout->addSpacing(6);
    QLabel *invitation = label(tr("Sign in to connect"), 13, QFont::Normal, page);
    invitation->setAlignment(Qt::AlignHCenter);
    Style::setSecondaryText(invitation);
    layout->addWidget(invitation);
    layout->addSpacing(20);
    auto *signIn = new FilledButton(tr("Sign In"), page);
    signIn->setObjectName(u"signInButton"_s);
    signIn->setColor(Style::accent());
    signIn->setFontPoints(14, QFont::Medium);
    signIn->setFixedHeight(34);
    signIn->setCornerRadius(Layout::buttonRadius);
    QObject::connect(signIn, &QAbstractButton::clicked, &m_delegate, &AppDelegate::openMainWindow);
    layout->addWidget(signIn);
    layout->addStretch(1);
    return page;
}

void MenuBarView::refreshAuth()
{
    const AuthState state = m_auth.authState();
    const bool signedIn = MenuBarRules::showsSignedInPanel(state);
    m_signedOut->setVisible(!signedIn);
    m_signedIn->setVisible(signedIn);
    m_email->setPlainText(signedIn ? state.user()->email : QString());
}

void MenuBarView::refreshStatus()
{
    const auto look = ConnectionPresentation::look(m_delegate.vpnStatus());
    static_cast<StatusDot *>(m_statusDot)->setColor(Style::toneColor(look.tone, this));
    m_statusText->setText(look.text);
    m_reason->setPlainText(ConnectionText::reason(m_vpn.connectionState()));
    m_reason->setVisible(!m_reason->fullText().isEmpty());
    m_button->setSymbol(look.buttonSymbol);
    m_button->setText(look.buttonTitle);
    m_button->setColor(Style::buttonColor(look.buttonTone));
    m_button->setEnabled(look.buttonEnabled());
}

void MenuBarView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // The dot of "Disconnected" is the palette's secondary text colour.
    if (event->type() == QEvent::PaletteChange && m_button)
        refreshStatus();
}

void MenuBarView::refreshServer()
{
    const ServerLocation &selected = m_servers.selectedServer();
    m_shownServerId = selected.id;
    m_flag->setText(selected.flagEmoji());
    m_serverName->setText(selected.countryAndCity());
    m_serverDetail->setText(MenuBarRules::serverDetail(selected));
    for (MenuBarServerRow *row : std::as_const(m_rows))
        row->setSelected(row->server().id == selected.id);
}

void MenuBarView::refreshPins()
{
    m_map->setAnnotations(ServerAnnotation::forServers(m_servers.servers(), m_servers.selectedServer().id,
                                                       m_delegate.vpnStatus() == VPNDisplayStatus::Connected));
}

void MenuBarView::setShowServerList(bool show, bool animated)
{
    if (m_showServerList == show)
        return;
    m_showServerList = show;
    m_chevron->setSymbol(show ? u"chevron.up"_s : u"chevron.down"_s);
    m_foldOut->setOpen(show, animated && isVisible());
    emit showServerListChanged(show);
}

void MenuBarView::buttonPressed()
{
    ConnectionActions::pressButton(m_delegate.vpnStatus(), m_servers, m_vpn);
}

void MenuBarView::serverTapped(const ServerLocation &tapped)
{
    if (ConnectionActions::chooseServer(tapped, m_delegate.vpnStatus(), m_servers, m_vpn))
        setShowServerList(false);
}
