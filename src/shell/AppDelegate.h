#pragma once

#include "model/VPNConnectionState.h"
#include "shell/ConnectionText.h"
#include "shell/PopoverPanel.h"
#include "shell/ShellSurface.h"

#include <QIcon>
#include <QMainWindow>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QSystemTrayIcon>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

class AppDelegate;
class AuthService;
class DesktopNotifier;
class NotificationCenter;
class UserDefaults;
class VPNServiceManager;

// The screens and images the shell shows, supplied by the application so the
// shell itself knows no screen. Each factory returns a new widget the shell
// takes ownership of; an empty factory leaves that place empty.
struct AppViews
{
    // The panel under the tray icon; made once, at launch.
    std::function<QWidget *(AppDelegate &)> panel;
    // The main window's content; a new one for every new main window.
    std::function<QWidget *(AppDelegate &)> mainWindowContent;
    // The settings window's content; a new one each time that window opens.
    std::function<QWidget *(AppDelegate &)> settingsContent;
    // The tray image for a symbol name ("MenuBarIcon", "shield", ...).
    std::function<QIcon(const QString &symbolName)> statusImage;
};

// The application's frame: the tray icon and its menu, the panel that drops
// from it, the single main window and the settings window. It mirrors the VPN
// service manager's connection state into `vpnStatus` and the tray icon, and
// restores the signed-in session at launch. Main thread only.
class AppDelegate : public QObject
{
    Q_OBJECT
    Q_PROPERTY(VPNDisplayStatus vpnStatus READ vpnStatus NOTIFY vpnStatusChanged)

public:
    static inline const QString menuBarIconName = QStringLiteral("MenuBarIcon");
    // Where the main window's frame is kept between windows and runs.
    static inline const QString mainWindowFrameKey = QStringLiteral("KavroVPN.MainWindow");
    static constexpr QSize mainWindowSize{800, 560};
    static constexpr QSize mainWindowMinimumSize{640, 480};
    static constexpr QSize settingsWindowMinimumSize{480, 320};
    static constexpr int statusImagePoints = 18;
    // A left click this soon after the panel closed is the click that closed
    // it (a click on the icon is outside the panel), not a new one.
    static constexpr int reopenGuardMs = 300;

    struct StatusIcon
    {
        QString symbol;
        QString description; // the icon's accessible text
    };
    static StatusIcon statusIcon(VPNDisplayStatus status);

    AppDelegate(AuthService &auth, VPNServiceManager &vpn, NotificationCenter &notifications,
                UserDefaults &defaults, AppViews views, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence: tray icon, panel, VPN state subscription, accessory
    // policy, session restore. Nothing connects here. Without a tray host
    // the main window opens.
    void applicationDidFinishLaunching();

    // How the application shows itself (tray or main window, the panel as a
    // popup or a window); decided from the desktop at launch unless set before.
    void setSurface(const ShellSurface &surface) { m_surface = surface; }
    const ShellSurface &surface() const { return m_surface.value(); }

    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    PopoverPanel *popover() const { return m_popover; }
    QMainWindow *mainWindow() const { return m_mainWindow; }
    QWidget *settingsWindow() const { return m_settingsWindow; }
    // The context menu while it is open.
    QMenu *contextMenu() const { return m_contextMenu; }

    VPNDisplayStatus vpnStatus() const { return m_vpnStatus; }
    // The tray image's symbol name and accessible text shown now.
    QString statusSymbol() const { return m_statusSymbol; }
    QString statusDescription() const { return m_statusDescription; }
    bool isRestoringSession() const { return m_restoringSession; }
    // Tells the desktop when a connection drops or its recovery gives up.
    DesktopNotifier &notifier() const { return *m_notifier; }

    // "Velorin VPN"
    static QString mainWindowTitle();
    // "Settings"
    static QString settingsWindowTitle();

public slots:
    // Opens the panel under the tray icon, or closes it when it is open.
    void togglePopover();
    // The tray icon's menu: "Open Velorin VPN", "Preferences…", "Quit Velorin VPN".
    void showContextMenu();
    // Brings the main window forward, creating it when there is none.
    void openMainWindow();
    // The main window on its Settings tab ("com.velorin.showSettings"):
    // "Preferences…" in the menu, Ctrl+, in the panel and the main window.
    void openPreferences();
    // The separate settings window (Ctrl+Shift+, in the panel and the main
    // window, or `--settings` at start).
    void openSettingsWindow();
    // Ends the application through the event loop; nothing else.
    void quitApp();

signals:
    void vpnStatusChanged(VPNDisplayStatus status);
    void statusIconChanged(const QString &symbol, const QString &description);
    void sessionRestoreFinished();
    // quitApp() asked the application to end.
    void quitRequested();

private:
    void createStatusItem();
    QMenu *makeStatusMenu();
    void trayAvailabilityChanged(bool available);
    void createPopover();
    void subscribeToVpnState();
    void connectionStateChanged(const VPNConnectionState &state);
    void setVpnStatus(VPNDisplayStatus status);
    void repaintStatusIcon();
    void setStatusImage(const QString &symbol, const QString &description);
    void statusItemActivated(QSystemTrayIcon::ActivationReason reason);
    void togglePopoverAt(const std::optional<QRect> &clickPoint);
    QRect popoverAnchor(const std::optional<QRect> &clickPoint) const;
    std::optional<QRect> usableTrayGeometry() const;
    void mainWindowClosed(QMainWindow *window);
    void saveMainWindowFrame(QMainWindow *window);
    static QCoro::Task<> restoreSession(QPointer<AppDelegate> self, AuthService *auth);

    AuthService &m_auth;
    VPNServiceManager &m_vpn;
    NotificationCenter &m_notifications;
    UserDefaults &m_defaults;
    AppViews m_views;

    QPointer<QSystemTrayIcon> m_statusItem;
    QPointer<PopoverPanel> m_popover;
    QPointer<QMainWindow> m_mainWindow;
    QPointer<QWidget> m_settingsWindow;
    QPointer<QMenu> m_contextMenu;
    std::optional<ShellSurface> m_surface;
    QPointer<QMenu> m_iconMenu;
    VPNDisplayStatus m_vpnStatus = VPNDisplayStatus::Disconnected;
    QString m_statusSymbol;
    QString m_statusDescription;
    bool m_restoringSession = false;
    DesktopNotifier *m_notifier;
    ConnectionText::DropWatch m_dropWatch;
};
