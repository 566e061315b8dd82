#include "ui/account/DeviceListView.h"

#include "backend/DeviceManager.h"
#include "ui/common/Confirmation.h"
#include "ui/account/DateText.h"
#include "ui/common/Icons.h"
#include "ui/common/PlainLabel.h"
#include "ui/common/RoundedPanel.h"
#include "ui/common/Style.h"

#include <QEnterEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace DeviceListText {

Content content(bool isLoading, qsizetype deviceCount)
{
    if (deviceCount > 0)
        return Content::List;
    return isLoading ? Content::Loading : Content::Empty;
}

QString slotsLine(int activeDeviceCount, int maxDevices)
{
    return DeviceListView::tr("%1 of %2 device slots used").arg(activeDeviceCount).arg(maxDevices);
}

QString footerLine(int maxDevices)
{
    return DeviceListView::tr("Your subscription supports up to %1 devices.").arg(maxDevices);
}

QString removeMessage(const QString &nickname)
{
    return DeviceListView::tr("Remove \"%1\"? This device will no longer be able to use Velorin VPN.")
        .arg(DisplayText::clean(nickname, DisplayText::nameLimit));
}

QString thisDeviceBadge()
{
#ifdef Q_OS_MACOS
    return DeviceListView::tr("This Mac");
#else
    return DeviceListView::tr("This Computer");
#endif
}

QStringList detailParts(const RegisteredDevice &device, const QLocale &locale)
{
    QStringList parts;
    // A blank platform shows like a missing one rather than as an empty part.
    const QString platform = device.platform.value_or(QString()).trimmed();
    parts.append(platform.isEmpty() ? DeviceListView::tr("UNKNOWN") : platform.toUpper());
    if (device.appVersion && !device.appVersion->trimmed().isEmpty())
        parts.append(u"v"_s + *device.appVersion);
    parts.append(DateText::internetDateTime(device.createdAt, locale));
    return parts;
}

} // namespace DeviceListText

RemoveDeviceButton::RemoveDeviceButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setText(DeviceListView::tr("Remove"));
    setFont(Style::font(11, QFont::Medium));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void RemoveDeviceButton::setHovering(bool hovering)
{
    if (m_hovering == hovering)
        return;
    m_hovering = hovering;
    update();
}

QColor RemoveDeviceButton::backgroundColor() const
{
    return Style::withAlpha(Style::red(), DeviceListText::removeTintOpacity(m_hovering));
}

QSize RemoveDeviceButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 20, metrics.height() + 8};
}

void RemoveDeviceButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isDown() ? Style::withAlpha(Style::red(), 0.25) : backgroundColor());
    painter.drawRoundedRect(QRectF(rect()), 6, 6);
    if (hasFocus()) {
        painter.setPen(QPen(Style::withAlpha(Style::red(), 0.5), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
    }
    painter.setFont(font());
    painter.setPen(Style::red());
    painter.drawText(rect(), Qt::AlignCenter, text());
}

MacDeviceRow::MacDeviceRow(const RegisteredDevice &device, bool isCurrent, QWidget *parent)
    : QWidget(parent)
    , m_device(device)
    , m_isCurrent(isCurrent)
    , m_icon(new SymbolView(device.platformIcon(), Style::accent(), 22, this))
    , m_details(new PlainLabel(this, DisplayText::messageLimit))
{
    setObjectName(u"deviceRow"_s);
    setAttribute(Qt::WA_Hover);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(Layout::rowPadding);
    layout->setSpacing(12);
    m_icon->setObjectName(u"platformIcon"_s);
    layout->addWidget(m_icon);

    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    auto *nameLine = new QHBoxLayout;
    nameLine->setSpacing(6);
    auto *name = new PlainLabel(this);
    name->setObjectName(u"nicknameText"_s);
    name->setFont(Style::font(13, QFont::Medium));
    name->setElideMode(Qt::ElideRight);
    name->setPlainText(device.nickname);
    nameLine->addWidget(name, 1);
    if (isCurrent) {
        auto *badge = new Badge(DeviceListText::thisDeviceBadge(), Style::accent(),
                                Style::withAlpha(Style::accent(), 0.15), 10, this);
        badge->setObjectName(u"thisMacBadge"_s);
        badge->setFont(Style::font(10, QFont::DemiBold));
        nameLine->addWidget(badge);
    }
    column->addLayout(nameLine);
    m_details->setObjectName(u"detailText"_s);
    m_details->setFont(Style::font(10));
    m_details->setElideMode(Qt::ElideRight);
    m_details->setPlainText(DeviceListText::detailParts(device).join(u"  ·  "_s));
    column->addWidget(m_details);
    layout->addLayout(column, 1);

    if (!isCurrent) {
        m_remove = new RemoveDeviceButton(this);
        m_remove->setObjectName(u"removeButton"_s);
        m_remove->setAccessibleName(
            tr("Remove %1").arg(DisplayText::clean(device.nickname, DisplayText::nameLimit)));
        connect(m_remove, &QAbstractButton::clicked, this, &MacDeviceRow::revokeRequested);
        layout->addWidget(m_remove);
    }
    applyColors();
}

void MacDeviceRow::setHovering(bool hovering)
{
    m_hovering = hovering;
    if (m_remove)
        m_remove->setHovering(hovering);
}

void MacDeviceRow::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    setHovering(true);
}

void MacDeviceRow::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    setHovering(false);
}

void MacDeviceRow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColors();
}

void MacDeviceRow::applyColors()
{
    m_icon->setColor(m_isCurrent ? Style::accent() : Style::secondaryText(this));
    Style::setTextColor(m_details, Style::withAlpha(Style::secondaryText(this), 0.5));
}

DeviceListView::DeviceListView(DeviceManager &deviceManager, QWidget *parent)
    : QWidget(parent)
    , m_manager(deviceManager)
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(Layout::pageMargin, Layout::pageMargin, Layout::pageMargin, 20);
    outer->setSpacing(14);

    // Header: title and slots line, refresh at the trailing edge.
    auto *header = new QHBoxLayout;
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto *title = new QLabel(tr("My Devices"), this);
    title->setObjectName(u"titleText"_s);
    title->setFont(Style::font(20, QFont::Bold));
    titles->addWidget(title);
    m_slots = new QLabel(this);
    m_slots->setObjectName(u"slotsText"_s);
    m_slots->setFont(Style::font(13));
    titles->addWidget(m_slots);
    header->addLayout(titles, 1);
    m_refresh = new QToolButton(this);
    m_refresh->setObjectName(u"refreshButton"_s);
    m_refresh->setAutoRaise(true);
    m_refresh->setIconSize(QSize(16, 16));
    m_refresh->setToolTip(tr("Refresh"));
    m_refresh->setAccessibleName(tr("Refresh"));
    m_refresh->setCursor(Qt::PointingHandCursor);
    connect(m_refresh, &QToolButton::clicked, this, &DeviceListView::fetch);
    header->addWidget(m_refresh, 0, Qt::AlignTop);
    outer->addLayout(header);

    QScrollArea *scroll = makeClearScrollArea(this);
    m_scroll = scroll;
    QWidget *content = scroll->widget();
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    outer->addWidget(scroll, 1);

    // First load.
    m_loading = new QWidget(content);
    m_loading->setObjectName(u"loadingState"_s);
    auto *loading = new QHBoxLayout(m_loading);
    loading->setContentsMargins(Layout::emptyListPadding);
    m_spinner = new Spinner(16, m_loading);
    auto *loadingText = new QLabel(tr("Loading devices…"), m_loading);
    loadingText->setObjectName(u"loadingText"_s);
    loadingText->setFont(Style::font(13));
    loading->addStretch(1);
    loading->addWidget(m_spinner);
    loading->addWidget(loadingText);
    loading->addStretch(1);
    column->addWidget(m_loading);

    // No devices.
    m_empty = new QWidget(content);
    m_empty->setObjectName(u"emptyState"_s);
    auto *empty = new QVBoxLayout(m_empty);
    empty->setContentsMargins(Layout::emptyListPadding);
    empty->setSpacing(8);
    m_emptySymbol = new SymbolView(u"desktopcomputer.trianglebadge.exclamationmark"_s, Qt::gray, 36, m_empty);
    m_emptyTitle = new QLabel(tr("No Registered Devices"), m_empty);
    m_emptyTitle->setObjectName(u"emptyTitle"_s);
    m_emptyTitle->setFont(Style::font(15));
    m_emptyText = new QLabel(tr("Devices will appear here after connecting to VPN."), m_empty);
    m_emptyText->setObjectName(u"emptyText"_s);
    m_emptyText->setFont(Style::font(13));
    m_emptyText->setWordWrap(true);
    m_emptyText->setAlignment(Qt::AlignCenter);
    empty->addWidget(m_emptySymbol, 0, Qt::AlignHCenter);
    empty->addWidget(m_emptyTitle, 0, Qt::AlignHCenter);
    empty->addWidget(m_emptyText);
    column->addWidget(m_empty);

    // The rows.
    m_list = new RoundedPanel(content);
    m_list->setObjectName(u"deviceList"_s);
    column->addWidget(m_list);

    // Error banner, below whatever the content shows.
    m_errorBanner = new RoundedPanel(content);
    m_errorBanner->setObjectName(u"errorBanner"_s);
    m_errorBanner->setTint(Style::withAlpha(Style::orange(), 0.12));
    auto *bannerRow = new QWidget(m_errorBanner);
    auto *banner = new QHBoxLayout(bannerRow);
    banner->setContentsMargins(12, 8, 10, 8);
    banner->setSpacing(8);
    banner->addWidget(new SymbolView(u"exclamationmark.triangle.fill"_s, Style::orange(), 14, bannerRow));
    m_errorText = new PlainLabel(bannerRow, DisplayText::messageLimit, true);
    m_errorText->setObjectName(u"errorText"_s);
    m_errorText->setFont(Style::font(12));
    banner->addWidget(m_errorText, 1);
    auto *retry = new QPushButton(tr("Retry"), bannerRow);
    retry->setObjectName(u"retryButton"_s);
    connect(retry, &QPushButton::clicked, this, &DeviceListView::fetch);
    banner->addWidget(retry);
    m_errorBanner->addRow(bannerRow);
    column->addWidget(m_errorBanner);
    column->addStretch(1);

    // Footer.
    auto *footer = new QVBoxLayout;
    footer->setSpacing(2);
    m_footer = new QLabel(this);
    m_footer->setObjectName(u"footerText"_s);
    m_footer->setFont(Style::font(12));
    m_footerHint = new QLabel(tr("Remove old devices to free up slots for new ones."), this);
    m_footerHint->setObjectName(u"footerHint"_s);
    m_footerHint->setFont(Style::font(12));
    footer->addWidget(m_footer);
    footer->addWidget(m_footerHint);
    outer->addLayout(footer);

    connect(&m_manager, &DeviceManager::devicesChanged, this, [this] {
        rebuildRows();
        updateState();
    });
    connect(&m_manager, &DeviceManager::isLoadingChanged, this, &DeviceListView::updateState);
    connect(&m_manager, &DeviceManager::errorMessageChanged, this, &DeviceListView::updateState);
    connect(&m_manager, &DeviceManager::activeDeviceCountChanged, this, &DeviceListView::updateCounts);
    connect(&m_manager, &DeviceManager::maxDevicesChanged, this, &DeviceListView::updateCounts);

    applyColors();
    rebuildRows();
    updateCounts();
    updateState();
}

QList<MacDeviceRow *> DeviceListView::rows() const
{
    return m_list->findChildren<MacDeviceRow *>();
}

void DeviceListView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A window coming back from the Dock or another desktop is not a new
    // appearance of the page.
    if (!event->spontaneous())
        fetch();
}

void DeviceListView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColors();
}

void DeviceListView::fetch()
{
    m_manager.fetchDevices();
}

void DeviceListView::rebuildRows()
{
    // A refresh that brings the same list keeps the rows as they are, with
    // the keyboard focus and the scroll position.
    const QList<MacDeviceRow *> shown = rows();
    const QList<RegisteredDevice> &devices = m_manager.devices();
    bool same = shown.size() == devices.size();
    for (qsizetype i = 0; same && i < devices.size(); ++i)
        same = shown[i]->device() == devices[i] && shown[i]->isCurrent() == m_manager.isCurrentDevice(devices[i]);
    if (same)
        return;

    // Otherwise the rows are made anew; the scroll position stays, and the
    // focus returns to the row of the same device if it is still listed.
    const int scrolled = m_scroll->verticalScrollBar()->value();
    std::optional<QString> focusedDevice;
    for (MacDeviceRow *row : shown)
        if (row->isAncestorOf(window()->focusWidget()))
            focusedDevice = row->device().deviceId;
    m_list->clearRows();
    for (const RegisteredDevice &device : devices) {
        auto *row = new MacDeviceRow(device, m_manager.isCurrentDevice(device), m_list);
        connect(row, &MacDeviceRow::revokeRequested, this, [this, device] { confirmRemoval(device); });
        m_list->addRow(row);
        if (focusedDevice == device.deviceId && row->removeButton())
            row->removeButton()->setFocus();
    }
    m_list->adjustSize();
    m_scroll->widget()->adjustSize();
    m_scroll->verticalScrollBar()->setValue(scrolled);
}

void DeviceListView::updateState()
{
    m_content = DeviceListText::content(m_manager.isLoading(), m_manager.devices().size());
    m_loading->setVisible(m_content == DeviceListText::Content::Loading);
    m_empty->setVisible(m_content == DeviceListText::Content::Empty);
    m_list->setVisible(m_content == DeviceListText::Content::List);
    const std::optional<QString> error = m_manager.errorMessage();
    m_errorText->setPlainText(error.value_or(QString()));
    m_errorBanner->setVisible(error.has_value());
}

void DeviceListView::updateCounts()
{
    m_slots->setText(DeviceListText::slotsLine(m_manager.activeDeviceCount(), m_manager.maxDevices()));
    m_footer->setText(DeviceListText::footerLine(m_manager.maxDevices()));
}

void DeviceListView::applyColors()
{
    const QColor secondary = Style::secondaryText(this);
    Style::setTextColor(m_slots, secondary);
    m_refresh->setIcon(Icons::icon(u"arrow.clockwise"_s, Style::primaryText(this), 16));
    m_spinner->setColor(secondary);
    m_emptySymbol->setColor(Style::withAlpha(secondary, 0.5));
    Style::setTextColor(m_emptyText, Style::withAlpha(secondary, 0.7));
    Style::setTextColor(m_errorText, secondary);
    Style::setTextColor(m_footer, secondary);
    Style::setTextColor(m_footerHint, Style::withAlpha(secondary, 0.5));
}

void DeviceListView::confirmRemoval(const RegisteredDevice &device)
{
    if (m_confirmation)
        return;
    m_deviceToRevoke = device;
    QMessageBox *box = makeConfirmation(this, u"removeDeviceConfirmation"_s, tr("Remove Device"),
                                        DeviceListText::removeMessage(device.nickname), tr("Remove"));
    QAbstractButton *remove = destructiveButton(box);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton *clicked) {
        const std::optional<RegisteredDevice> device = std::exchange(m_deviceToRevoke, std::nullopt);
        if (clicked == remove && device)
            m_manager.revokeDevice(device->deviceId);
    });
    m_confirmation = box;
    box->open();
}
