#pragma once

#include "model/VPNProtocolType.h"

#include <QDate>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class AppInfo;
class UserDefaults;
class VPNServiceManager;

// The panes of the settings, in order.
enum class SettingsTab { General, Connection, Advanced, About };

// What the settings screen shows and changes, without its widgets: the six
// switches kept in the standard defaults, the protocol the VPN service
// manager has selected, and the export of the diagnostic logs.
//
// The switches are stored and shown, nothing more: no other part of the
// application reads them. Every change is written at once and announced
// process-wide, so that every open settings screen (the main window's tab
// and the settings window) shows it at once.
class SettingsModel : public QObject
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

    SettingsModel(UserDefaults &defaults, VPNServiceManager &vpnManager, QObject *parent = nullptr);

    // The stored value, or the switch's default when the key is absent or
    // holds something other than a boolean.
    bool value(const QString &key) const;
    // Writes the value at once and announces the change.
    void setValue(const QString &key, bool value);
    // Removes the six keys, so every switch shows its default again; nothing
    // else in the defaults is touched.
    void resetAll();

    VPNProtocolType selectedProtocol() const;
    // Asks the manager to switch; it keeps IKEv2 for the protocols this build
    // lacks, so read selectedProtocol() afterwards.
    void selectProtocol(VPNProtocolType type);

    // The export's proposal: today's file name in the documents folder, or
    // in the home folder when there is none.
    static QString suggestedDiagnosticsPath(const QDate &today);
    // Writes a header line and the lines to `path`, readable by the user only.
    // Gives the error text on failure.
    static std::optional<QString> writeDiagnostics(const QString &path, const QStringList &lines);
    struct ExportResult
    {
        QString status; // "Saved ..." or the failure
        bool failed;
    };
    static ExportResult exportDiagnostics(const QString &path, const QStringList &lines);

signals:
    // A switch was written or reset (in this or another defaults store; read
    // value() again).
    void switchChanged(const QString &key);
    void selectedProtocolChanged();

private:
    UserDefaults &m_defaults;
    VPNServiceManager &m_vpnManager;
};

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
