#pragma once

#include <QList>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class AuthService;
class ConnectionDetailView;
class NotificationCenter;
class QListWidget;
class QSplitter;
class QStackedWidget;
class ServerManager;
class VPNServiceManager;

// The main window's tabs, in sidebar order.
enum class SidebarTab { Connection, Account, Devices, Settings };

namespace Sidebar {
// Every tab, in sidebar order.
QList<SidebarTab> allTabs();
// "connection", "account", "devices", "settings"
QString rawValue(SidebarTab tab);
// "Connection", "My Account", "Devices", "Settings"
QString label(SidebarTab tab);
// The row's symbol.
QString symbol(SidebarTab tab);
// The tab a notification asks for ("com.velorin.showSettings", ...);
// nothing for any other name.
std::optional<SidebarTab> tabForNotification(const QString &name);

// The sidebar column's width limits and starting width, in points.
inline constexpr int minimumWidth = 180;
inline constexpr int idealWidth = 200;
inline constexpr int maximumWidth = 240;
} // namespace Sidebar

// How the main window builds the screens that live in other units. Each
// factory returns a new widget for the given parent; the window owns it and
// may build a fresh one later (a new sign-in screen after each sign-out).
// The defaults are plain placeholders; the application replaces each one
// with the real screen, one line each:
//   screens.signIn = [&](QWidget *parent) { return new LoginView(..., parent); };
struct MainWindowScreens
{
    using Factory = std::function<QWidget *(QWidget *parent)>;

    // Fills the whole window while nobody is signed in (or the session is
    // still being restored).
    Factory signIn;
    Factory account;
    Factory devices;
    Factory settings;

    MainWindowScreens();
};

// The content of the main window. Signed out, the sign-in screen fills it;
// signed in, a sidebar (Connection; an "Account" section with My Account and
// Devices; Settings) beside the selected tab's screen. The notifications
// "com.velorin.showSettings", "com.velorin.showAccount" and
// "com.velorin.showDevices" switch the tab at any time; while signed out the
// choice takes effect after sign-in. A new view starts on Connection.
//
// Screens are built when first shown. The signed-in screens are dropped at
// sign-out and the sign-in screen at sign-in, so nothing of one session's
// screens (forms, account data) lingers into the next.
class MainWindowView : public QWidget
{
    Q_OBJECT

public:
    MainWindowView(AuthService &auth, ServerManager &servers, VPNServiceManager &vpn,
                   NotificationCenter &notifications, MainWindowScreens screens = {}, QWidget *parent = nullptr);
    ~MainWindowView() override;

    SidebarTab selectedTab() const { return m_selectedTab; }
    void setSelectedTab(SidebarTab tab);

    bool isShowingSignIn() const { return m_signIn != nullptr; }
    // The screen of the selected tab while signed in; null while signed out.
    QWidget *currentDetail() const;
    // The sidebar while signed in; null while signed out.
    QListWidget *sidebar() const { return m_sidebar; }
    QSplitter *splitView() const { return m_split; }

signals:
    void selectedTabChanged(SidebarTab tab);

protected:
    void changeEvent(QEvent *event) override;

private:
    void styleSidebar();
    void authStateChanged();
    void showSignIn();
    void showSplitView();
    void discard(QWidget *widget);
    void sidebarRowChanged(int row);
    void syncSidebar();
    QWidget *detailFor(SidebarTab tab);

    AuthService &m_auth;
    ServerManager &m_servers;
    VPNServiceManager &m_vpn;
    MainWindowScreens m_screens;
    SidebarTab m_selectedTab = SidebarTab::Connection;

    QWidget *m_signIn = nullptr;
    QSplitter *m_split = nullptr;
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_detail = nullptr;
    std::array<QWidget *, 4> m_details{};
};
