#pragma once

#include "ui/settings/SettingsModel.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QButtonGroup;
class QLabel;

class QTabWidget;
class UserDefaults;
class VPNServiceManager;

// A check box bound to one stored switch: shows the stored value (or the
// default), writes every change at once, and follows changes made elsewhere.
class StoredToggle : public QCheckBox
{
    Q_OBJECT
public:
    StoredToggle(SettingsModel &model, const SettingsModel::Switch &setting, QWidget *parent = nullptr);
    QString key() const { return m_key; }
    // Shows the stored value again.
    void reload();

private:
    SettingsModel &m_model;
    QString m_key;
};

// "General": Startup (launch at login, show in Dock — "in the taskbar" outside
// macOS) and Connection (auto-connect).
class GeneralSettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit GeneralSettingsView(SettingsModel &model, QWidget *parent = nullptr);
};

// "Connection": the protocol picker, which goes through the VPN service
// manager's protocol switch and always shows the manager's selected
// protocol, and the Security switches (kill switch, LAN access).
class ConnectionSettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit ConnectionSettingsView(SettingsModel &model, QWidget *parent = nullptr);

    // The protocol whose row is checked.
    std::optional<VPNProtocolType> checkedProtocol() const;
    QString descriptionText() const;

private:
    void showSelectedProtocol();

    SettingsModel &m_model;
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

    explicit AdvancedSettingsView(SettingsModel &model, QWidget *parent = nullptr);

    void setSaveLocationChooser(SaveLocationChooser chooser) { m_chooser = std::move(chooser); }
    // The reset confirmation while it is open.
    QMessageBox *resetConfirmation() const { return m_confirmation; }
    // The line under the buttons after an export ("Saved ..." or the failure).
    QString statusText() const;

private:
    void exportLogs();
    void confirmReset();

    SettingsModel &m_model;
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
    SettingsModel &model() const { return *m_model; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void applyTabIcons();

    SettingsModel *m_model;
    QTabWidget *m_tabs;
    AdvancedSettingsView *m_advanced;
};
