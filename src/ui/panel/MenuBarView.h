#pragma once

#include "model/Account.h"
#include "model/ConnectionPresentation.h"
#include "model/MapRegion.h"
#include "model/ServerLocation.h"
#include "model/VPNConnectionState.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QWidget>

#include <optional>

class AppDelegate;
class AuthService;
class FilledButton;
class MenuBarFoldOut;
class MenuBarServerRow;
class PlainLabel;
class QAbstractButton;
class QLabel;
class ServerManager;
class SymbolView;
class VPNServiceManager;
class WorldMap;

// What the menu bar panel decides, apart from its widgets.
namespace MenuBarRules {

constexpr int panelWidth = 320;
constexpr int mapHeight = 130;
constexpr int buttonHeight = 36;
// The left and right inset of each section, and the status dot's diameter.
constexpr int sectionInset = 16;
constexpr int statusDotSize = 8;
constexpr int foldAnimationMs = 200;

// Only a signed-in user gets the full panel; signed out and still loading
// see the invitation to sign in.
bool showsSignedInPanel(const AuthState &state);

// The header's second line: "IKEv2 · Available" or "IKEv2 · Coming Soon".
// "IKEv2" is fixed, whatever protocol is chosen.
QString serverDetail(const ServerLocation &server);

// The map region after the selected server changed (after a status change:
// ConnectionPresentation::regionForStatus).
MapRegion regionForSelection(VPNDisplayStatus status, const ServerLocation &selected);

} // namespace MenuBarRules

// The panel under the tray icon. Signed in: a small map of the server
// locations, the connection status with one connect/disconnect button, the
// selected server with a fold-out list of all servers, and a footer with the
// account's e-mail address and "Open App". Signed out: an invitation to sign
// in. It drives the VPN service manager and the server catalogue directly and
// shows no error messages itself.
//
// In the error state the reason the state carries is shown under "Error"
// (statusReason), and the button connects again.
//
// Controls by object name: panelMap, statusDot (dynamic property "color"),
// statusText, statusReason, connectButton, serverHeader (serverFlag, serverName,
// serverDetail, serverChevron), serverList with serverRow_<id> rows (each with
// its soonBadge and checkmark), emailLabel, openAppButton; signedInPanel,
// signedOutPanel, signInButton.
class MenuBarView : public QWidget
{
    Q_OBJECT
public:
    // The reason under "Error" is cut here; its tooltip holds all of it.
    static constexpr qsizetype reasonLimit = 160;

    MenuBarView(AuthService &auth, AppDelegate &appDelegate, ServerManager &servers, VPNServiceManager &vpn,
                QWidget *parent = nullptr);

    bool showServerList() const { return m_showServerList; }
    // Folds the server list out or in; animated over 0.2 s while shown.
    void setShowServerList(bool show, bool animated = true);

signals:
    void showServerListChanged(bool shown);

protected:
    void changeEvent(QEvent *event) override;

private:
    QWidget *buildSignedIn();
    QWidget *buildSignedOut();
    QWidget *buildServerList();
    void refreshAuth();
    void refreshStatus();
    void refreshServer();
    void refreshPins();
    void buttonPressed();
    void serverTapped(const ServerLocation &server);

    AuthService &m_auth;
    AppDelegate &m_delegate;
    ServerManager &m_servers;
    VPNServiceManager &m_vpn;
    bool m_showServerList = false;
    QString m_shownServerId;

    QWidget *m_signedIn = nullptr;
    QWidget *m_signedOut = nullptr;
    WorldMap *m_map = nullptr;
    QWidget *m_statusDot = nullptr;
    QLabel *m_statusText = nullptr;
    PlainLabel *m_reason = nullptr;
    FilledButton *m_button = nullptr;
    QLabel *m_flag = nullptr;
    QLabel *m_serverName = nullptr;
    QLabel *m_serverDetail = nullptr;
    SymbolView *m_chevron = nullptr;
    MenuBarFoldOut *m_foldOut = nullptr;
    QList<MenuBarServerRow *> m_rows;
    PlainLabel *m_email = nullptr;
};
