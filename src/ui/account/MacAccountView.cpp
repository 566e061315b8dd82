#include "ui/account/MacAccountView.h"

#include "backend/AuthService.h"
#include "model/NotificationNames.h"
#include "platform/NotificationCenter.h"
#include "ui/common/PlainLabel.h"
#include "ui/common/Website.h"
#include "ui/common/Confirmation.h"
#include "ui/account/DateText.h"
#include "ui/common/Icons.h"
#include "ui/common/RoundedPanel.h"
#include "ui/common/Style.h"
#include "vpn/VPNServiceManager.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace AccountPlan {

namespace {

// Upper-cases the first letter of every blank-separated word and lower-cases
// the rest, the way a title is written ("gold plus" "Gold Plus").
QString capitalizeWords(const QString &text)
{
    QString result = text.toLower();
    bool wordStart = true;
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (result[i].isSpace()) {
            wordStart = true;
        } else if (wordStart) {
            result.replace(i, 1, result.mid(i, 1).toUpper());
            wordStart = false;
        }
    }
    return result;
}

} // namespace

QString displayName(const QString &provider)
{
    const QString p = provider.toLower().trimmed();
    const auto has = [&p](const char16_t *part) { return p.contains(QStringView(part)); };
    if (p == u"yearly")
        return MacAccountView::tr("Yearly Plan");
    if (p == u"monthly")
        return MacAccountView::tr("Monthly Plan");
    if (has(u"personal") && has(u"year"))
        return MacAccountView::tr("Personal Yearly");
    if (has(u"personal") && has(u"month"))
        return MacAccountView::tr("Personal Monthly");
    if (has(u"family") && has(u"year"))
        return MacAccountView::tr("Family Yearly");
    if (has(u"family") && has(u"month"))
        return MacAccountView::tr("Family Monthly");
    if (has(u"personal"))
        return MacAccountView::tr("Personal");
    if (has(u"family"))
        return MacAccountView::tr("Family");
    if (has(u"trial"))
        return MacAccountView::tr("Free Trial");
    if (has(u"review"))
        return MacAccountView::tr("Review Account");
    if (p == u"stripe")
        return MacAccountView::tr("Premium (Stripe)");
    if (p == u"apple_iap")
        return MacAccountView::tr("Premium (App Store)");
    if (p == u"unknown" || p.isEmpty())
        return MacAccountView::tr("Premium");
    return capitalizeWords(p);
}

bool isActive(const EntitlementCache &record, const QDateTime &now)
{
    if (!record.isActive || !record.expiresAt.isValid())
        return false;
    if (record.expiresAt > now)
        return true;
    return record.expiresAt.secsTo(now) < gracePeriod.count();
}

Info info(const std::optional<EntitlementCache> &record, const QDateTime &now, const QLocale &locale)
{
    if (!record)
        return Info{MacAccountView::tr("No Subscription"), MacAccountView::tr("Inactive"), StatusTone::Secondary, std::nullopt};
    const bool active = isActive(*record, now);
    std::optional<QString> expiry;
    if (record->expiresAt.isValid())
        expiry = DateText::mediumDate(record->expiresAt, locale);
    return Info{displayName(record->provider), active ? MacAccountView::tr("Active") : MacAccountView::tr("Expired"),
                active ? StatusTone::Green : StatusTone::Red, expiry};
}

} // namespace AccountPlan

namespace {

// A full-width row with a leading symbol, a title and a trailing chevron;
// the whole row is the button.
class ActionRow : public QAbstractButton
{
public:
    ActionRow(const QString &symbol, const QString &title, const QColor &tint, QWidget *parent)
        : QAbstractButton(parent)
        , m_symbol(symbol)
        , m_tint(tint)
    {
        setText(title);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override { return {240, 40}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (underMouse() || isDown() || hasFocus()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Style::withAlpha(Style::primaryText(this), isDown() ? 0.10 : 0.05));
            painter.drawRoundedRect(QRectF(rect()), 8, 8);
        }
        const int symbolSize = 16;
        const qreal middle = height() / 2.0;
        painter.drawPixmap(QPointF(14, middle - symbolSize / 2.0), Icons::pixmap(m_symbol, m_tint, symbolSize));
        painter.setFont(Style::font(13));
        painter.setPen(m_tint == Style::red() ? Style::red() : Style::primaryText(this));
        painter.drawText(QRectF(42, 0, width() - 72, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
        const int chevron = 11;
        painter.drawPixmap(QPointF(width() - 14 - chevron, middle - chevron / 2.0),
                           Icons::pixmap(u"chevron.right"_s, Style::secondaryText(this), chevron));
    }

private:
    QString m_symbol;
    QColor m_tint;
};

QWidget *valueRow(const QString &title, PlainLabel *value, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(Layout::rowPadding);
    auto *label = new QLabel(title, row);
    label->setFont(Style::font(13));
    value->setFont(Style::font(13, QFont::Medium));
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setElideMode(Qt::ElideRight);
    layout->addWidget(label);
    layout->addStretch(1);
    layout->addWidget(value, 100);
    return row;
}

bool isRunning(const VPNConnectionState &state)
{
    return !state.is(VPNConnectionState::Kind::Disconnected) && !state.isError();
}

} // namespace

MacAccountView::MacAccountView(AuthService &authService, EntitlementManager &entitlements,
                               NotificationCenter &notifications, VPNServiceManager &vpn, QWidget *parent)
    : QWidget(parent)
    , m_auth(authService)
    , m_entitlements(entitlements)
    , m_notifications(notifications)
    , m_vpn(vpn)
    , m_email(new PlainLabel(this))
    , m_planValue(new PlainLabel(this))
    , m_statusValue(new PlainLabel(this))
    , m_expiresValue(new PlainLabel(this))
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QScrollArea *scroll = makeClearScrollArea(this);
    outer->addWidget(scroll);
    QWidget *content = scroll->widget();
    // One column, at most 560 wide, centred in wider windows.
    auto *row = new QHBoxLayout(content);
    row->setContentsMargins(Layout::pageMargins);
    auto *page = new QWidget(content);
    page->setMaximumWidth(560);
    row->addStretch(1);
    row->addWidget(page, 1000);
    row->addStretch(1);
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    auto *title = new QLabel(tr("Account"), page);
    title->setObjectName(u"titleText"_s);
    title->setFont(Style::font(20, QFont::Bold));
    column->addWidget(title);

    auto *who = new QHBoxLayout;
    who->setSpacing(10);
    who->addWidget(new SymbolView(u"person.crop.circle"_s, Style::accent(), 28, page));
    m_email->setObjectName(u"emailText"_s);
    m_email->setFont(Style::font(14, QFont::Medium));
    m_email->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_email->setElideMode(Qt::ElideMiddle);
    who->addWidget(m_email, 1);
    column->addSpacing(4);
    column->addLayout(who);
    column->addSpacing(12);

    column->addWidget(makeSectionHeader(tr("Subscription"), page));
    auto *subscription = new RoundedPanel(page);
    subscription->setObjectName(u"subscriptionPanel"_s);
    m_planValue->setObjectName(u"planText"_s);
    m_statusValue->setObjectName(u"statusText"_s);
    m_expiresValue->setObjectName(u"expiresText"_s);
    subscription->addRow(valueRow(tr("Plan"), m_planValue, subscription));
    subscription->addRow(valueRow(tr("Status"), m_statusValue, subscription));
    m_expiresRow = valueRow(tr("Expires"), m_expiresValue, subscription);
    m_expiresRow->setObjectName(u"expiresRow"_s);
    subscription->addRow(m_expiresRow);
    column->addWidget(subscription);

    if (const QUrl url = Website::manageSubscription(); url.isValid()) {
        auto *manage = new LinkButton(tr("Manage Subscription"), page);
        manage->setObjectName(u"manageSubscriptionLink"_s);
        manage->setFontPoints(12);
        manage->setIcon(Icons::icon(u"arrow.up.forward.square"_s, Style::accent(), 12));
        manage->setIconSize(QSize(12, 12));
        manage->setLayoutDirection(Qt::RightToLeft); // the arrow after the text
        manage->setToolTip(url.toDisplayString());
        connect(manage, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        auto *linkRow = new QHBoxLayout;
        linkRow->setContentsMargins(4, 0, 0, 0);
        linkRow->addWidget(manage);
        linkRow->addStretch(1);
        column->addLayout(linkRow);
    }
    column->addSpacing(12);

    auto *actions = new RoundedPanel(page);
    actions->setObjectName(u"actionsPanel"_s);
    auto *devices = new ActionRow(u"macbook.and.iphone"_s, tr("Manage Devices"), Style::accent(), actions);
    devices->setObjectName(u"manageDevicesButton"_s);
    connect(devices, &QAbstractButton::clicked, this,
            [this] { m_notifications.post(NotificationNames::showDevices); });
    actions->addRow(devices);
    if (const QUrl url = Website::support(); url.isValid()) {
        auto *support = new ActionRow(u"questionmark.circle"_s, tr("Help & Support"), Style::accent(), actions);
        support->setObjectName(u"helpSupportButton"_s);
        support->setToolTip(url.toDisplayString());
        connect(support, &QAbstractButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        actions->addRow(support);
    }
    auto *signOut = new ActionRow(u"rectangle.portrait.and.arrow.right"_s, tr("Sign Out"), Style::red(), actions);
    signOut->setObjectName(u"signOutButton"_s);
    connect(signOut, &QAbstractButton::clicked, this, &MacAccountView::confirmSignOut);
    actions->addRow(signOut);
    column->addWidget(actions);
    m_signOutError = new MessageRow(u"exclamationmark.triangle.fill"_s, Style::orange(), true, page);
    m_signOutError->setObjectName(u"signOutError"_s);
    m_signOutError->hide();
    connect(m_signOutError, &MessageRow::dismissed, m_signOutError, &QWidget::hide);
    column->addWidget(m_signOutError);
    column->addStretch(1);

    connect(&m_entitlements, &EntitlementManager::cacheChanged, this, &MacAccountView::refreshPlan);
    connect(&m_auth, &AuthService::authStateChanged, this, &MacAccountView::refreshEmail);
    refreshEmail();
    refreshPlan();
}

void MacAccountView::refreshEmail()
{
    const AuthState state = m_auth.authState();
    m_email->setPlainText(state.user() ? state.user()->email : tr("Unknown"));
}

void MacAccountView::refreshPlan()
{
    m_plan = AccountPlan::info(m_entitlements.loadCachedEntitlement(), QDateTime::currentDateTimeUtc());
    m_planValue->setPlainText(m_plan.displayName);
    m_statusValue->setPlainText(m_plan.status);
    m_expiresValue->setPlainText(m_plan.expiry.value_or(QString()));
    m_expiresRow->setVisible(m_plan.expiry.has_value());
    applyColors();
}

void MacAccountView::applyColors()
{
    Style::setTextColor(m_planValue, Style::secondaryText(this));
    Style::setTextColor(m_expiresValue, Style::secondaryText(this));
    QColor status = Style::secondaryText(this);
    if (m_plan.tone == AccountPlan::StatusTone::Green)
        status = Style::green();
    else if (m_plan.tone == AccountPlan::StatusTone::Red)
        status = Style::red();
    Style::setTextColor(m_statusValue, status);
}

void MacAccountView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshEmail();
    refreshPlan();
}

void MacAccountView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColors();
}

void MacAccountView::confirmSignOut()
{
    if (m_confirmation || m_stopping)
        return;
    // While a connection runs the confirmation says it will be stopped:
    // once signed out, no screen offers its Disconnect any more.
    const bool connected = isRunning(m_vpn.connectionState());
    const QString message =
        connected ? tr("You are connected to the VPN. Signing out disconnects it first, and you'll need to log in "
                       "again to use VPN. Sign out?")
                  : tr("Are you sure you want to sign out? You'll need to log in again to use VPN.");
    QMessageBox *box = makeConfirmation(this, u"signOutConfirmation"_s, tr("Sign Out"), message, tr("Sign Out"));
    QAbstractButton *confirm = destructiveButton(box);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirm](QAbstractButton *clicked) {
        if (clicked == confirm)
            stopThenSignOut();
    });
    m_confirmation = box;
    box->open();
}

void MacAccountView::stopThenSignOut()
{
    m_signOutError->hide();
    if (!isRunning(m_vpn.connectionState())) {
        m_auth.signOut();
        return;
    }
    m_stopping = true;
    auto *limit = new QTimer(this);
    limit->setSingleShot(true);
    auto finish = [this, limit](bool stopped) {
        QObject::disconnect(&m_vpn, &VPNServiceManager::connectionStateChanged, limit, nullptr);
        limit->deleteLater();
        m_stopping = false;
        if (stopped) {
            m_auth.signOut();
            return;
        }
        m_signOutError->setMessage(
            tr("The VPN connection did not stop, so you are still signed in. Disconnect it, then sign out again."));
        m_signOutError->show();
    };
    connect(&m_vpn, &VPNServiceManager::connectionStateChanged, limit, [finish](const VPNConnectionState &state) {
        if (!isRunning(state))
            finish(true);
    });
    connect(limit, &QTimer::timeout, this, [finish] { finish(false); });
    limit->start(m_stopLimitMs);
    if (!m_vpn.connectionState().is(VPNConnectionState::Kind::Disconnecting))
        m_vpn.disconnect();
}
