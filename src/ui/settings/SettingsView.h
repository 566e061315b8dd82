#pragma once

#include "model/VPNProtocolType.h"

#include <QCheckBox>
#include <QDate>
#include <QList>
#include <QObject>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class AppInfo;
class QButtonGroup;
class QLabel;

class QTabWidget;
class UserDefaults;
class VPNServiceManager;

// The six switches the settings keep in the standard defaults. They are
// stored and shown, nothing more: no other part of the application reads
// them. Every change is written at once and announced process-wide, so that
// every open settings view (the main window's tab and the settings window)
// shows it at once.
class StoredSettings : public QObject
{
    Q_OBJECT
public:
    struct Switch
    {
        QString key;
        bool defaultValue;
        QString label;
    };

    // In the order the panes show them: "launchAtLogin", "showInDock",
    // "autoConnect", "killSwitch", "allowLAN" (on by default), "enableLogging".
    static const QList<Switch> &switches();
    static std::optional<Switch> find(const QString &key);

    // The stored value, or the switch's default when the key is absent or
    // holds something other than a boolean.
    static bool value(const UserDefaults &defaults, const QString &key);
    // Writes the value at once and announces the change.
    static void setValue(UserDefaults &defaults, const QString &key, bool value);
    // Removes the six keys, so every switch shows its default again; nothing
    // else in the defaults is touched.
    static void resetAll(UserDefaults &defaults);

    // The process-wide announcer of changes.
    static StoredSettings &notifier();

signals:
    // A switch was written or reset (in some defaults store; listeners read
    // their own store again).
    void changed(const QString &key);

private:
    StoredSettings() = default;
};

// A check box bound to one stored switch: shows the stored value (or the
// default), writes every change at once, and follows changes made elsewhere.
class StoredToggle : public QCheckBox
{
    Q_OBJECT
public:
    StoredToggle(UserDefaults &defaults, const StoredSettings::Switch &setting, QWidget *parent = nullptr);
    QString key() const { return m_key; }
    // Shows the stored value again.
    void reload();

private:
    UserDefaults &m_defaults;
    QString m_key;
};

// The panes of the settings, in order.
enum class SettingsTab { General, Connection, Advanced, About };

namespace SettingsText {

struct TabItem
{
    SettingsTab tab;
    QString label;
    QString symbol;
};
// "General" "gearshape", "Connection" "network", "Advanced"
// "wrench.and.screwdriver", "About" "info.circle".
const QList<TabItem> &tabs();

// The picker's row text: "IKEv2 (Recommended)", "WireGuard", "Xray Reality".
QString protocolName(VPNProtocolType type);
// The text under the picker. Outside macOS the IKEv2 text names the system's
// strongSwan service instead of the Mac's own VPN and its App Store.
QString protocolDescription(VPNProtocolType type);

// "Version 1.0 (1)": the short version and build number, with their fallbacks.
QString versionLine(const AppInfo &info);
// The About pane's one-line legal notice.
QString legalNotice();
// "velorin-diagnostics-2026-01-31.txt"
QString diagnosticsFileName(const QDate &date);

} // namespace SettingsText

// "General": Startup (launch at login, show in Dock — "in the taskbar" outside
// macOS) and Connection (auto-connect).
class GeneralSettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit GeneralSettingsView(UserDefaults &defaults, QWidget *parent = nullptr);
};

// "Connection": the protocol picker, which goes through the VPN service
// manager's protocol switch and always shows the manager's selected
// protocol, and the Security switches (kill switch, LAN access).
class ConnectionSettingsView : public QWidget
{
    Q_OBJECT
public:
    ConnectionSettingsView(UserDefaults &defaults, VPNServiceManager &vpnManager, QWidget *parent = nullptr);

    // The protocol whose row is checked.
    std::optional<VPNProtocolType> checkedProtocol() const;
    QString descriptionText() const;

private:
    void showSelectedProtocol();

    VPNServiceManager &m_vpnManager;
    QButtonGroup *m_protocols;
    QLabel *m_description;
};

// "Advanced": verbose logging, the diagnostics export and the reset of the
// six switches.
class AdvancedSettingsView : public QWidget
{
    Q_OBJECT
public:
    // Asks where to save a file; calls `chosen` with the path, or never when
    // the user cancels. The default is a non-blocking save dialog.
    using SaveLocationChooser = std::function<void(QWidget *parent, const QString &suggestedPath,
                                                   std::function<void(const QString &path)> chosen)>;

    explicit AdvancedSettingsView(UserDefaults &defaults, QWidget *parent = nullptr);

    void setSaveLocationChooser(SaveLocationChooser chooser) { m_chooser = std::move(chooser); }
    // The reset confirmation while it is open.
    QMessageBox *resetConfirmation() const { return m_confirmation; }
    // The line under the buttons after an export ("Saved ..." or the failure).
    QString statusText() const;

    // Writes a header line and the lines to `path`, readable by the user only.
    // Gives the error text on failure.
    static std::optional<QString> writeDiagnostics(const QString &path, const QStringList &lines);

private:
    void exportLogs();
    void confirmReset();

    UserDefaults &m_defaults;
    SaveLocationChooser m_chooser;
    QLabel *m_status;
    bool m_exportFailed = false;
    QPointer<QMessageBox> m_confirmation;
};

// "About": the gradient shield, the name, the version line, the legal notice
// and the links to the website, its privacy policy and its terms.
class AboutView : public QWidget
{
    Q_OBJECT
public:
    explicit AboutView(QWidget *parent = nullptr);
};

// The preferences: a tab view of the four panes, 480 x 320. It appears both
// as the main window's Settings tab and as the settings window; both show
// the same stored values and follow each other's changes at once. Each time
// it is shown it starts on the General pane.
class SettingsView : public QWidget
{
    Q_OBJECT
public:
    SettingsView(UserDefaults &standard, VPNServiceManager &vpnManager, QWidget *parent = nullptr);

    SettingsTab selectedSettingsTab() const;
    void setSelectedSettingsTab(SettingsTab tab);
    QTabWidget *tabWidget() const { return m_tabs; }
    AdvancedSettingsView *advancedPane() const { return m_advanced; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void applyTabIcons();

    QTabWidget *m_tabs;
    AdvancedSettingsView *m_advanced;
};
