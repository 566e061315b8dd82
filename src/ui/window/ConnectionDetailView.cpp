#include "ui/window/ConnectionDetailView.h"

#include "shell/ConnectionText.h"
#include "ui/common/ConnectionActions.h"
#include "ui/common/Icons.h"
#include "ui/map/MapProjection.h"
#include "ui/common/PlainLabel.h"
#include "ui/map/ServerAnnotation.h"
#include "ui/common/Style.h"
#include "ui/map/WorldMap.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ConnectionDetail {

QString locationLine(const ServerLocation &server)
{
    return server.countryAndCity() + u" (IKEv2)"_s;
}

MapRegion regionForSelection(const ServerLocation &selected)
{
    return MapRegion::around(selected.latitude, selected.longitude);
}

Pulse pulseAt(qint64 elapsedMs)
{
    constexpr qint64 half = 2000;
    const qint64 phase = (elapsedMs < 0 ? 0 : elapsedMs) % (2 * half);
    const double t = phase < half ? double(phase) / half : double(2 * half - phase) / half;
    const double eased = MapProjection::easeInOut(t);
    return {1.0 + 0.3 * eased, 0.6 * (1.0 - eased)};
}

} // namespace ConnectionDetail

namespace {

QColor white(qreal alpha)
{
    return Style::withAlpha(Qt::white, alpha);
}

QLabel *makeLabel(const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // Location names and addresses are shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    // Inside a button a label would take the button's text role.
    label->setForegroundRole(QPalette::WindowText);
    Style::setTextColor(label, color);
    return label;
}

// The black top-to-bottom gradient that darkens the map under the content.
class GradientOverlay : public QWidget
{
public:
    explicit GradientOverlay(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setStops({{0.0, QColor::fromRgbF(0, 0, 0, 0.55f)},
                           {0.35, QColor::fromRgbF(0, 0, 0, 0.15f)},
                           {0.65, QColor::fromRgbF(0, 0, 0, 0.15f)},
                           {1.0, QColor::fromRgbF(0, 0, 0, 0.65f)}});
        QPainter painter(this);
        painter.fillRect(rect(), gradient);
    }
};

// The selected location: flag, caption and "Country - City", with a chevron
// that says it opens something.
class LocationCard : public QAbstractButton
{
public:
    static constexpr int preferredWidth = 400;

    explicit LocationCard(QWidget *parent)
        : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        setMaximumWidth(preferredWidth);

        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(Layout::cardPadding);
        layout->setSpacing(12);
        flag = makeLabel(Style::font(28), Qt::white, this);
        flag->setObjectName(u"cardFlag"_s);
        auto *lines = new QVBoxLayout;
        lines->setSpacing(2);
        auto *caption = makeLabel(Style::font(11), white(0.7), this);
        caption->setText(ConnectionDetailView::tr("Selected Location"));
        caption->setObjectName(u"cardCaption"_s);
        location = makeLabel(Style::font(16), Qt::white, this);
        location->setObjectName(u"cardLocation"_s);
        lines->addWidget(caption);
        lines->addWidget(location);
        auto *chevron = new SymbolView(u"chevron.right"_s, white(0.7), 14, this);
        layout->addWidget(flag);
        layout->addLayout(lines, 1);
        layout->addWidget(chevron);
        for (QWidget *child : {static_cast<QWidget *>(flag), static_cast<QWidget *>(caption),
                               static_cast<QWidget *>(location), static_cast<QWidget *>(chevron)})
            child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    QSize sizeHint() const override
    {
        const QSize content = layout()->sizeHint();
        return {qMax(preferredWidth, content.width()), content.height()};
    }
    QSize minimumSizeHint() const override { return layout()->minimumSize(); }

    QLabel *flag;
    QLabel *location;

protected:
    void paintEvent(QPaintEvent *) override
    {
        qreal alpha = 0.06;
        if (isDown())
            alpha = 0.14;
        else if (underMouse() || hasFocus())
            alpha = 0.10;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(white(alpha));
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }
};

// The connect/disconnect button: at most 280 x 44 points (the shadow is drawn
// outside that body), narrower only when the view is.
class ConnectButton : public FilledButton
{
public:
    static constexpr int bodyWidth = 280;
    static constexpr int bodyHeight = 44;
    // FilledButton draws its shadow in a margin of 2 at the sides, 1 above
    // and 4 below the body.
    static constexpr int outerWidth = bodyWidth + 4;
    static constexpr int outerHeight = bodyHeight + 5;

    explicit ConnectButton(QWidget *parent)
        : FilledButton({}, parent)
    {
        setFontPoints(15, QFont::Normal);
        setCornerRadius(Layout::cardRadius);
        setShadow(true);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        setFixedHeight(outerHeight);
        setMaximumWidth(outerWidth);
    }

    QSize sizeHint() const override { return {outerWidth, outerHeight}; }
    QSize minimumSizeHint() const override { return {FilledButton::sizeHint().width(), outerHeight}; }
};

} // namespace

StatusEmblem::StatusEmblem(QWidget *parent)
    : QWidget(parent)
{
    // Room for the pulsing circle at its largest (140 x 1.3).
    const int side = int(std::ceil(pulseDiameter * 1.3)) + 2;
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(frameMs);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

QSize StatusEmblem::sizeHint() const
{
    return size();
}

void StatusEmblem::setLook(const ConnectionPresentation::Look &look)
{
    m_symbol = look.emblemSymbol;
    m_symbolColor = Style::emblemColor(look.emblemTone);
    m_background = Style::emblemBackground(look.emblemTone);
    m_showsPulse = look.connected;
    updateTimer();
    update();
}

void StatusEmblem::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_shown = true;
    updateTimer();
}

void StatusEmblem::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Also sent when the window is minimised, while isVisible() stays true.
    m_shown = false;
    updateTimer();
}

void StatusEmblem::updateTimer()
{
    const bool wanted = m_showsPulse && m_shown && isVisible();
    if (wanted == m_timer.isActive())
        return;
    if (wanted) {
        m_clock.start();
        m_timer.start();
    } else {
        m_timer.stop();
    }
}

void StatusEmblem::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QPointF centre = QRectF(rect()).center();
    if (m_showsPulse) {
        const ConnectionDetail::Pulse pulse =
            m_timer.isActive() ? ConnectionDetail::pulseAt(m_clock.elapsed()) : ConnectionDetail::Pulse{};
        const double radius = pulseDiameter / 2.0 * pulse.scale;
        painter.setBrush(Style::withAlpha(Style::green(), 0.15 * pulse.opacity));
        painter.drawEllipse(centre, radius, radius);
    }
    painter.setBrush(m_background);
    painter.drawEllipse(centre, circleDiameter / 2.0, circleDiameter / 2.0);
    if (!m_symbol.isEmpty()) {
        const QPixmap symbol = Icons::pixmap(m_symbol, m_symbolColor, symbolPoints);
        painter.drawPixmap(QPointF(centre.x() - symbolPoints / 2.0, centre.y() - symbolPoints / 2.0), symbol);
    }
}

ConnectionDetailView::ConnectionDetailView(ServerManager &servers, VPNServiceManager &vpn, QWidget *parent)
    : QWidget(parent)
    , m_servers(servers)
    , m_vpn(vpn)
    , m_status(VPNDisplay::status(vpn.connectionState()))
{
    setObjectName(u"connectionDetail"_s);
    setAutoFillBackground(true);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, Style::mapOcean());
    dark.setColor(QPalette::WindowText, Qt::white);
    setPalette(dark);

    // Back to front in one cell: the map, the gradient, the content.
    auto *stack = new QGridLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    m_map = new WorldMap(this);
    m_map->setObjectName(u"map"_s);
    m_map->setRegion(MapRegion::overview());
    m_overlay = new GradientOverlay(this);
    m_overlay->setObjectName(u"mapGradient"_s);

    auto *content = new QWidget(this);
    content->setObjectName(u"connectionContent"_s);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(Layout::pageMargin, 20, Layout::pageMargin, 28);
    column->setSpacing(0);

    auto *card = new LocationCard(content);
    card->setObjectName(u"locationCard"_s);
    m_card = card;
    m_cardFlag = card->flag;
    m_cardLocation = card->location;
    connect(m_card, &QAbstractButton::clicked, this, &ConnectionDetailView::showServerPicker);

    m_emblem = new StatusEmblem(content);
    m_emblem->setObjectName(u"statusEmblem"_s);

    m_statusText = makeLabel(Style::font(20, QFont::DemiBold), Qt::white, content);
    m_statusText->setObjectName(u"statusText"_s);
    m_statusText->setAlignment(Qt::AlignCenter);

    m_reason = new PlainLabel(content, DisplayText::messageLimit, true);
    m_reason->setFont(Style::font(13));
    m_reason->setForegroundRole(QPalette::WindowText);
    Style::setTextColor(m_reason, white(0.7));
    m_reason->setObjectName(u"statusReason"_s);
    m_reason->setAlignment(Qt::AlignCenter);
    m_reason->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // The whole width of the column: a wrapped label given less than it asks
    // for would cut off its last lines.
    m_reason->setContentsMargins(Layout::pageMargin, 0, Layout::pageMargin, 0);

    m_locationLine = makeLabel(Style::font(13), white(0.7), content);
    m_locationLine->setObjectName(u"locationLine"_s);
    m_locationLine->setAlignment(Qt::AlignCenter);

    m_addressLine = new PlainLabel(content);
    m_addressLine->setFont(Style::monospaced(12));
    m_addressLine->setForegroundRole(QPalette::WindowText);
    Style::setTextColor(m_addressLine, white(0.5));
    m_addressLine->setObjectName(u"addressLine"_s);
    m_addressLine->setAlignment(Qt::AlignCenter);
    m_addressLine->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_button = new ConnectButton(content);
    m_button->setObjectName(u"connectButton"_s);
    connect(m_button, &QAbstractButton::clicked, this, &ConnectionDetailView::buttonClicked);

    column->addWidget(m_card, 0, Qt::AlignHCenter);
    column->addStretch(1);
    // The emblem's box has room for the pulse at its largest; its circle
    // sits well inside it, so the status text needs no extra gap.
    column->addWidget(m_emblem, 0, Qt::AlignHCenter);
    column->addWidget(m_statusText);
    column->addSpacing(6);
    column->addWidget(m_reason);
    column->addWidget(m_locationLine);
    column->addSpacing(4);
    column->addWidget(m_addressLine);
    column->addStretch(1);
    column->addWidget(m_button, 0, Qt::AlignHCenter);

    stack->addWidget(m_map, 0, 0);
    stack->addWidget(m_overlay, 0, 0);
    stack->addWidget(content, 0, 0);
    m_overlay->raise();
    content->raise();

    connect(&m_vpn, &VPNServiceManager::connectionStateChanged, this, &ConnectionDetailView::statusChanged);
    connect(&m_vpn, &VPNServiceManager::connectedServerIPChanged, this, &ConnectionDetailView::refresh);
    connect(&m_servers, &ServerManager::selectedServerChanged, this, &ConnectionDetailView::selectionChanged);

    refresh();
}

ConnectionDetailView::~ConnectionDetailView() = default;

void ConnectionDetailView::statusChanged()
{
    const VPNDisplayStatus status = VPNDisplay::status(m_vpn.connectionState());
    if (status == m_status) {
        // Another error: only its reason changes.
        refresh();
        return;
    }
    m_status = status;
    if (auto region = ConnectionPresentation::regionForStatus(status, m_servers.selectedServer()))
        m_map->setRegion(*region, true);
    refresh();
}

void ConnectionDetailView::selectionChanged()
{
    const ServerLocation &selected = m_servers.selectedServer();
    // Selecting the server already selected (the connect button does, just
    // before the state changes) is no change: the map stays where it is.
    if (selected.id == m_shownServerId)
        return;
    m_map->setRegion(ConnectionDetail::regionForSelection(selected), true);
    if (m_picker)
        m_picker->setSelectedId(selected.id);
    refresh();
}

void ConnectionDetailView::refresh()
{
    const ConnectionPresentation::Look look = ConnectionPresentation::look(m_status);
    const ServerLocation &selected = m_servers.selectedServer();
    m_shownServerId = selected.id;

    m_cardFlag->setText(selected.flagEmoji());
    m_cardLocation->setText(selected.countryAndCity());

    m_emblem->setLook(look);
    m_statusText->setText(look.text);
    m_reason->setPlainText(ConnectionText::reason(m_vpn.connectionState()));
    m_reason->setVisible(!m_reason->fullText().isEmpty());

    m_locationLine->setText(ConnectionDetail::locationLine(selected));
    m_locationLine->setVisible(look.connected);
    const std::optional<QString> address = m_vpn.connectedServerIP();
    m_addressLine->setPlainText(address.value_or(QString()));
    m_addressLine->setVisible(look.connected && address.has_value());

    m_button->setSymbol(look.buttonSymbol);
    m_button->setText(look.buttonTitle);
    m_button->setColor(Style::buttonColor(look.buttonTone));
    m_button->setEnabled(look.buttonEnabled());

    refreshPins();
}

void ConnectionDetailView::refreshPins()
{
    m_map->setAnnotations(ServerAnnotation::forServers(m_servers.servers(), m_servers.selectedServer().id,
                                                       m_status == VPNDisplayStatus::Connected));
}

void ConnectionDetailView::buttonClicked()
{
    ConnectionActions::pressButton(m_status, m_servers, m_vpn);
}

void ConnectionDetailView::showServerPicker()
{
    if (m_picker) {
        m_picker->raise();
        m_picker->activateWindow();
        return;
    }
    // A child of this view, so the handler never outlives it.
    m_picker = new ServerPickerSheet(
        m_servers.servers(), m_servers.selectedServer().id, [this](const ServerLocation &server) { chooseServer(server); },
        this);
    m_picker->setAttribute(Qt::WA_DeleteOnClose);
    m_picker->open();
}

void ConnectionDetailView::chooseServer(const ServerLocation &server)
{
    ConnectionActions::chooseServer(server, m_status, m_servers, m_vpn);
}
