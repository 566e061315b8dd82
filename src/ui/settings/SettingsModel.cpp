#include "ui/settings/SettingsModel.h"

#include "platform/AppInfo.h"
#include "platform/UserDefaults.h"
#include "vpn/VPNServiceManager.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// Carries a switch change to every model in the process.
class SwitchNotifier : public QObject
{
    Q_OBJECT
public:
    static SwitchNotifier &instance()
    {
        static SwitchNotifier notifier;
        return notifier;
    }

signals:
    void changed(const QString &key);
};

SwitchNotifier &notifier()
{
    return SwitchNotifier::instance();
}

} // namespace

const QList<SettingsModel::Switch> &SettingsModel::switches()
{
    static const QList<Switch> all{
        {u"launchAtLogin"_s, false, tr("Launch Velorin VPN at login")},
#ifdef Q_OS_MACOS
        {u"showInDock"_s, false, tr("Show in Dock when running")},
#else
        // Linux desktops have no Dock: the same stored switch, named for
        // the taskbar.
        {u"showInDock"_s, false, tr("Show in the taskbar when running")},
#endif
        {u"autoConnect"_s, false, tr("Auto-connect when app launches")},
        {u"killSwitch"_s, false, tr("Kill Switch — block internet if VPN drops")},
        {u"allowLAN"_s, true, tr("Allow LAN access while connected")},
        {u"enableLogging"_s, false, tr("Enable verbose logging")},
    };
    return all;
}

std::optional<SettingsModel::Switch> SettingsModel::find(const QString &key)
{
    for (const Switch &setting : switches())
        if (setting.key == key)
            return setting;
    return std::nullopt;
}

SettingsModel::SettingsModel(UserDefaults &defaults, VPNServiceManager &vpnManager, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_vpnManager(vpnManager)
{
    connect(&notifier(), &SwitchNotifier::changed, this, &SettingsModel::switchChanged);
    connect(&m_vpnManager, &VPNServiceManager::selectedProtocolChanged, this,
            &SettingsModel::selectedProtocolChanged);
}

bool SettingsModel::value(const QString &key) const
{
    const std::optional<Switch> setting = find(key);
    return m_defaults.boolOr(key, setting ? setting->defaultValue : false);
}

void SettingsModel::setValue(const QString &key, bool value)
{
    m_defaults.set(key, value);
    emit notifier().changed(key);
}

void SettingsModel::resetAll()
{
    for (const Switch &setting : switches())
        m_defaults.remove(setting.key);
    for (const Switch &setting : switches())
        emit notifier().changed(setting.key);
}

VPNProtocolType SettingsModel::selectedProtocol() const
{
    return m_vpnManager.selectedProtocol();
}

void SettingsModel::selectProtocol(VPNProtocolType type)
{
    m_vpnManager.switchProtocol(type);
}

QString SettingsModel::suggestedDiagnosticsPath(const QDate &today)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    return QDir(folder).filePath(SettingsText::diagnosticsFileName(today));
}

std::optional<QString> SettingsModel::writeDiagnostics(const QString &path, const QStringList &lines)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    // Readable by the user only, also when replacing a file that others could read.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return file.errorString();
    const AppInfo info = AppInfo::current();
    QByteArray text = u"Velorin VPN %1 (%2) diagnostic log, exported %3\n"_s
                          .arg(info.shortVersion(), info.buildNumber(),
                               QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                          .toUtf8();
    for (const QString &line : lines)
        text += line.toUtf8() + '\n';
    if (file.write(text) != text.size() || !file.commit())
        return file.errorString();
    return std::nullopt;
}

SettingsModel::ExportResult SettingsModel::exportDiagnostics(const QString &path, const QStringList &lines)
{
    if (const std::optional<QString> error = writeDiagnostics(path, lines))
        return {tr("Could not save the diagnostic logs: %1").arg(*error), true};
    return {tr("Saved %1 log lines to %2").arg(lines.size()).arg(QDir::toNativeSeparators(path)), false};
}

namespace SettingsText {

const QList<TabItem> &tabs()
{
    static const QList<TabItem> items{
        {SettingsTab::General, SettingsModel::tr("General"), u"gearshape"_s},
        {SettingsTab::Connection, SettingsModel::tr("Connection"), u"network"_s},
        {SettingsTab::Advanced, SettingsModel::tr("Advanced"), u"wrench.and.screwdriver"_s},
        {SettingsTab::About, SettingsModel::tr("About"), u"info.circle"_s},
    };
    return items;
}

QString protocolName(VPNProtocolType type)
{
    switch (type) {
    case VPNProtocolType::IKEv2:
        return SettingsModel::tr("IKEv2 (Recommended)");
    case VPNProtocolType::WireGuard:
        return SettingsModel::tr("WireGuard");
    case VPNProtocolType::XrayReality:
        break;
    }
    return SettingsModel::tr("Xray Reality");
}

QString protocolDescription(VPNProtocolType type)
{
#ifndef Q_OS_MACOS
    // The IKEv2 text names the Mac's own VPN and its App Store; here the
    // tunnel is the system's strongSwan service.
    if (type == VPNProtocolType::IKEv2)
        return SettingsModel::tr("The system's IPsec VPN (strongSwan). Best compatibility, moderate speed.");
#endif
    switch (type) {
    case VPNProtocolType::IKEv2:
        return SettingsModel::tr(
            "Native Apple VPN protocol. Best compatibility, moderate speed. Works through App Store.");
    case VPNProtocolType::WireGuard:
        return SettingsModel::tr("Modern, fast tunnel protocol. Low latency, excellent battery life.");
    case VPNProtocolType::XrayReality:
        break;
    }
    return SettingsModel::tr(
        "Advanced anti-censorship protocol. Disguises traffic as normal HTTPS. Best for restricted networks.");
}

QString versionLine(const AppInfo &info)
{
    return SettingsModel::tr("Version %1 (%2)").arg(info.shortVersion(), info.buildNumber());
}

QString legalNotice()
{
    return SettingsModel::tr("© Velorin. All rights reserved.");
}

QString diagnosticsFileName(const QDate &date)
{
    return u"velorin-diagnostics-"_s + date.toString(Qt::ISODate) + u".txt"_s;
}

} // namespace SettingsText

#include "SettingsModel.moc"
