#include "shell/AppDelegate.h"

#include "backend/AuthService.h"
#include "model/ConnectionPresentation.h"
#include "model/NotificationNames.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/ActivationPolicy.h"
#include "shell/DesktopNotifier.h"
#include "shell/PopoverPanel.h"
#include "vpn/VPNServiceManager.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

// The main window tells its owner when it has closed, so the owner can drop
// it at once (a later open builds a new one).
class MainWindowFrame : public QMainWindow
{
public:
    std::function<void()> onClosed;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        QMainWindow::closeEvent(event);
        if (event->isAccepted() && onClosed)
            onClosed();
    }
};

// The tray icon's menu. Its items' key equivalents work while it is open (a
// menu that belongs to no window has no shortcut context of its own).
class StatusMenu : public QMenu
{
protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        const QKeySequence pressed(event->keyCombination());
        const QList<QAction *> items = actions();
        for (QAction *action : items) {
            if (!action->isSeparator() && action->isEnabled() && !action->shortcut().isEmpty()
                && action->shortcut() == pressed) {
                close();
                action->trigger();
                return;
            }
        }
        QMenu::keyPressEvent(event);
    }
};

QRect availableArea(const QPoint &near)
{
    QScreen *screen = QGuiApplication::screenAt(near);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
}

void centre(QWidget *window)
{
    const QRect area = availableArea(QCursor::pos());
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

void bringForward(QWidget *window)
{
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

// Ctrl+, (Cmd+, on a Mac keyboard) is "Preferences…" everywhere, as in the
// tray menu: the main window's Settings tab. Ctrl+Shift+, opens the separate
// settings window.
void addSettingsShortcuts(QWidget *window, AppDelegate *delegate)
{
    auto *preferences = new QAction(window);
    preferences->setObjectName(u"preferencesShortcut"_s);
    preferences->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    window->addAction(preferences);
    QObject::connect(preferences, &QAction::triggered, delegate, &AppDelegate::openPreferences);
    auto *settings = new QAction(window);
    settings->setObjectName(u"settingsShortcut"_s);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Comma));
    window->addAction(settings);
    QObject::connect(settings, &QAction::triggered, delegate, &AppDelegate::openSettingsWindow);
}

} // namespace

QString AppDelegate::mainWindowTitle()
{
    return tr("Velorin VPN");
}

QString AppDelegate::settingsWindowTitle()
{
    return tr("Settings");
}

AppDelegate::StatusIcon AppDelegate::statusIcon(VPNDisplayStatus status)
{
    return {ConnectionPresentation::look(status).traySymbol, ConnectionPresentation::trayTitle(status)};
}

AppDelegate::AppDelegate(AuthService &auth, VPNServiceManager &vpn, NotificationCenter &notifications,
                         UserDefaults &defaults, AppViews views, QObject *parent)
    : QObject(parent)
    , m_auth(auth)
    , m_vpn(vpn)
    , m_notifications(notifications)
    , m_defaults(defaults)
    , m_views(std::move(views))
    , m_notifier(new DesktopNotifier(QDBusConnection::sessionBus(), this))
{
    // The frame of a window still open at quit is kept like that of a closed one.
    if (QCoreApplication *app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            if (m_mainWindow)
                saveMainWindowFrame(m_mainWindow);
        });
}

AppDelegate::~AppDelegate()
{
    delete m_contextMenu;
    delete m_iconMenu;
    delete m_settingsWindow;
    delete m_mainWindow;
    delete m_popover;
}

// ---------------------------------------------------------------------------
// Launch

void AppDelegate::applicationDidFinishLaunching()
{
    if (!m_surface)
        m_surface = ShellSurface::detect();
    createStatusItem();
    createPopover();
    subscribeToVpnState();
    ActivationPolicy::set(ActivationPolicy::Policy::Accessory);
    // A tray application keeps running with no window open; without a tray
    // closing the main window quits (mainWindowClosed).
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_restoringSession = true;
    restoreSession(this, &m_auth);
    if (m_surface->windowIsApplication)
        openMainWindow();
    auto *watch = new TrayHostWatch(m_surface->menuOnIcon, this);
    QObject::connect(watch, &TrayHostWatch::availabilityChanged, this, &AppDelegate::trayAvailabilityChanged);
}

void AppDelegate::trayAvailabilityChanged(bool available)
{
    // Gone: the main window becomes the application, so it never runs unseen.
    m_surface->windowIsApplication = !available;
    if (!available)
        openMainWindow();
}

QCoro::Task<> AppDelegate::restoreSession(QPointer<AppDelegate> self, AuthService *auth)
{
    try {
        co_await auth->restoreSession();
    } catch (...) {
        // The restore reports its own failures (system log, signed out).
    }
    if (self) {
        self->m_restoringSession = false;
        emit self->sessionRestoreFinished();
    }
}

void AppDelegate::createStatusItem()
{
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setObjectName(u"statusItem"_s);
    m_notifier->setTrayFallback(m_statusItem);
    setStatusImage(menuBarIconName, {});
    QObject::connect(m_statusItem, &QSystemTrayIcon::activated, this, &AppDelegate::statusItemActivated);
    // StatusNotifierItem hosts show the menu the icon carries; they never ask
    // the application for one.
    if (m_surface->menuOnIcon) {
        m_iconMenu = makeStatusMenu();
        m_statusItem->setContextMenu(m_iconMenu);
    }
    m_statusItem->show();
}

void AppDelegate::createPopover()
{
    QWidget *content = m_views.panel ? m_views.panel(*this) : nullptr;
    m_popover = new PopoverPanel(content);
    m_popover->setPlacedByDesktop(m_surface->panelAsWindow);
    addSettingsShortcuts(m_popover, this);
}

void AppDelegate::subscribeToVpnState()
{
    QObject::connect(&m_vpn, &VPNServiceManager::connectionStateChanged, this, &AppDelegate::connectionStateChanged);
    // The current value first, so the icon leaves "MenuBarIcon" right away.
    connectionStateChanged(m_vpn.connectionState());
}

void AppDelegate::connectionStateChanged(const VPNConnectionState &state)
{
    setVpnStatus(VPNDisplay::status(state));
    repaintStatusIcon();
    if (const auto notice = m_dropWatch.next(state))
        m_notifier->notify(notice->title, notice->body);
}

void AppDelegate::setVpnStatus(VPNDisplayStatus status)
{
    if (m_vpnStatus == status)
        return;
    m_vpnStatus = status;
    emit vpnStatusChanged(m_vpnStatus);
}

void AppDelegate::repaintStatusIcon()
{
    const StatusIcon icon = statusIcon(m_vpnStatus);
    setStatusImage(icon.symbol, icon.description);
}

void AppDelegate::setStatusImage(const QString &symbol, const QString &description)
{
    if (!m_statusItem)
        return;
    m_statusSymbol = symbol;
    m_statusDescription = description;
    m_statusItem->setIcon(m_views.statusImage ? m_views.statusImage(symbol) : QIcon());
    // Trays on Linux offer no accessible name for an icon; the tooltip is what
    // they show and read out. It also says why a connection failed.
    m_statusItem->setToolTip(description.isEmpty() ? QString() : ConnectionText::trayToolTip(m_vpn.connectionState()));
    emit statusIconChanged(symbol, description);
}

// ---------------------------------------------------------------------------
// Tray clicks, panel and menu

void AppDelegate::statusItemActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        togglePopoverAt(QRect(QCursor::pos(), QSize(1, 1)));
        break;
    case QSystemTrayIcon::Context:
        // A menu carried by the icon is shown by the tray host itself.
        if (!m_statusItem->contextMenu())
            showContextMenu();
        break;
    default:
        // A double click has already been a click; the middle button does nothing.
        break;
    }
}

void AppDelegate::togglePopover()
{
    togglePopoverAt(std::nullopt);
}

void AppDelegate::togglePopoverAt(const std::optional<QRect> &clickPoint)
{
    if (!m_popover)
        return;
    if (m_popover->isVisible()) {
        m_popover->hide();
        return;
    }
    if (clickPoint) {
        const qint64 sinceHidden = m_popover->msSinceHidden();
        if (sinceHidden >= 0 && sinceHidden < reopenGuardMs)
            return;
    }
    if (m_contextMenu)
        m_contextMenu->close();
    m_popover->showAt(popoverAnchor(clickPoint));
}

std::optional<QRect> AppDelegate::usableTrayGeometry() const
{
    if (!m_statusItem)
        return std::nullopt;
    // Many Linux trays report nothing, or an empty rectangle at the origin.
    const QRect geometry = m_statusItem->geometry();
    if (!geometry.isValid() || geometry.isEmpty() || geometry.topLeft() == QPoint(0, 0))
        return std::nullopt;
    if (!QGuiApplication::screenAt(geometry.center()))
        return std::nullopt;
    return geometry;
}

QRect AppDelegate::popoverAnchor(const std::optional<QRect> &clickPoint) const
{
    if (const auto tray = usableTrayGeometry())
        return *tray;
    if (clickPoint)
        return *clickPoint;
    // Opened without a click and without a tray position: the top right
    // corner, where a tray usually is.
    const QRect area = availableArea(QCursor::pos());
    return QRect(area.topRight(), QSize(1, 1));
}

void AppDelegate::showContextMenu()
{
    if (m_popover && m_popover->isVisible())
        m_popover->hide();
    if (m_contextMenu)
        m_contextMenu->close();

    QMenu *menu = makeStatusMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    m_contextMenu = menu;

    // At the icon when the tray says where it is, otherwise where the click was.
    QPoint at = QCursor::pos();
    if (const auto tray = usableTrayGeometry()) {
        const bool below = tray->center().y() < availableArea(tray->center()).center().y();
        at = below ? tray->bottomLeft() + QPoint(0, 1) : tray->topLeft() - QPoint(0, menu->sizeHint().height());
    }
    menu->popup(at);
}

QMenu *AppDelegate::makeStatusMenu()
{
    auto *menu = new StatusMenu;
    menu->setObjectName(u"statusMenu"_s);
    QAction *open = menu->addAction(tr("Open Velorin VPN"), this, &AppDelegate::openMainWindow);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    menu->addSeparator();
    QAction *preferences = menu->addAction(tr("Preferences…"), this, &AppDelegate::openPreferences);
    preferences->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    QAction *quit = menu->addAction(tr("Quit Velorin VPN"), this, &AppDelegate::quitApp);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    return menu;
}

// ---------------------------------------------------------------------------
// Windows

void AppDelegate::openMainWindow()
{
    if (m_popover && m_popover->isVisible())
        m_popover->hide();
    if (m_mainWindow) {
        bringForward(m_mainWindow);
        return;
    }

    auto *window = new MainWindowFrame;
    window->setObjectName(u"mainWindow"_s);
    window->setWindowTitle(mainWindowTitle());
    window->resize(mainWindowSize);
    centre(window);
    // A frame kept from an earlier window replaces the centred one.
    if (const auto frame = m_defaults.data(mainWindowFrameKey))
        window->restoreGeometry(*frame);
    if (m_views.mainWindowContent) {
        if (QWidget *content = m_views.mainWindowContent(*this))
            window->setCentralWidget(content);
    }
    window->setMinimumSize(mainWindowMinimumSize);
    addSettingsShortcuts(window, this);
    bringForward(window);

    ActivationPolicy::set(ActivationPolicy::Policy::Regular);
    m_mainWindow = window;
    const QPointer<AppDelegate> self(this);
    window->onClosed = [self, window] {
        if (self)
            self->mainWindowClosed(window);
        else
            window->deleteLater();
    };
}

void AppDelegate::mainWindowClosed(QMainWindow *window)
{
    saveMainWindowFrame(window);
    if (m_mainWindow == window)
        m_mainWindow = nullptr;
    ActivationPolicy::set(ActivationPolicy::Policy::Accessory);
    // Nothing else holds the closed window; the next open builds a new one
    // with a new view.
    window->deleteLater();
    // Without a tray the main window is the application.
    if (m_surface && m_surface->windowIsApplication)
        quitApp();
}

void AppDelegate::saveMainWindowFrame(QMainWindow *window)
{
    m_defaults.set(mainWindowFrameKey, window->saveGeometry());
}

void AppDelegate::openPreferences()
{
    openMainWindow();
    m_notifications.post(NotificationNames::showSettings);
}

void AppDelegate::openSettingsWindow()
{
    if (m_popover && m_popover->isVisible())
        m_popover->hide();
    if (m_settingsWindow) {
        bringForward(m_settingsWindow);
        return;
    }
    auto *window = new QWidget;
    window->setObjectName(u"settingsWindow"_s);
    window->setWindowTitle(settingsWindowTitle());
    // The window exists only while it is shown.
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    if (m_views.settingsContent) {
        if (QWidget *content = m_views.settingsContent(*this))
            layout->addWidget(content);
    }
    window->setMinimumSize(settingsWindowMinimumSize);
    window->resize(window->sizeHint().expandedTo(settingsWindowMinimumSize));
    centre(window);
    m_settingsWindow = window;
    bringForward(window);
}

void AppDelegate::quitApp()
{
    // No disconnect here: services that hold system state clean up on the
    // application's aboutToQuit.
    emit quitRequested();
    QCoreApplication::quit();
}
