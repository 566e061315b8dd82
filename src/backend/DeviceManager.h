#pragma once

#include "backend/DeviceRecords.h"
#include "backend/Endpoints.h"
#include "platform/AppInfo.h"

#include <QList>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

class DeviceIdentifier;
class KeychainManager;
class QNetworkAccessManager;
class QNetworkRequest;

// The account's device list on the VPN API: registers this computer, lists
// the account's devices for the devices screen and revokes the ones the user
// removes. At the device limit a registration is refused; the manager then
// publishes the active devices and raises showDeviceLimitSheet so that the
// interface can ask the user to remove one.
//
// Requests go to Endpoints::vpnApiBaseURL() with the stored access token, a
// "VelorinSecure-iOS/<version>" User-Agent and a 30 s time-out; no refresh,
// no retry. Every diagnostic line goes to standard output. Main thread only;
// properties change only there.
class DeviceManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<RegisteredDevice> devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(int activeDeviceCount READ activeDeviceCount NOTIFY activeDeviceCountChanged)
    Q_PROPERTY(int maxDevices READ maxDevices NOTIFY maxDevicesChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool showDeviceLimitSheet READ showDeviceLimitSheet WRITE setShowDeviceLimitSheet NOTIFY showDeviceLimitSheetChanged)
    Q_PROPERTY(QList<RegisteredDevice> deviceLimitDevices READ deviceLimitDevices NOTIFY deviceLimitDevicesChanged)

public:
    using AppInfoSource = std::function<AppInfo()>;
    // The computer's name as its owner set it; nothing when there is none.
    using ComputerNameSource = std::function<std::optional<QString>()>;

    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(30);

    // `network` may be null: the manager then makes and owns its own. The
    // AppInfo source gives the version (AppInfo::current when empty).
    DeviceManager(KeychainManager &keychainManager, DeviceIdentifier &deviceIdentifier, Endpoints endpoints,
                  QNetworkAccessManager *network = nullptr, AppInfoSource appInfo = {}, QObject *parent = nullptr);

    // The account's active devices, as last fetched (order kept).
    QList<RegisteredDevice> devices() const { return m_devices; }
    // Active devices according to the backend (not the length of devices()).
    int activeDeviceCount() const { return m_activeDeviceCount; }
    // The account's device limit according to the backend; 3 until told.
    int maxDevices() const { return m_maxDevices; }
    // A list or revoke request is under way.
    bool isLoading() const { return m_isLoading; }
    // Message for the devices screen; nothing when all is well.
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    // A registration was refused at the device limit. The interface that
    // shows deviceLimitDevices lowers it again.
    bool showDeviceLimitSheet() const { return m_showDeviceLimitSheet; }
    void setShowDeviceLimitSheet(bool show);
    // The active devices sent with that refusal.
    QList<RegisteredDevice> deviceLimitDevices() const { return m_deviceLimitDevices; }

    // Forgets the signed-in account's devices and messages (sign-out), so the
    // next account never sees them; the published values return to their
    // initial ones.
    void reset();

    // Whether the device is this computer (its "device_id" is the stored one).
    bool isCurrentDevice(const RegisteredDevice &device) const;

    // Registers this computer (POST /devices/register), then fetches the
    // list. Never throws: the outcome is only logged and published.
    QCoro::Task<> registerDevice();
    // GET /devices: updates devices, activeDeviceCount and maxDevices, or errorMessage.
    QCoro::Task<> fetchDevices();
    // POST /devices/revoke: removes the device from devices, or sets errorMessage.
    QCoro::Task<> revokeDevice(QString deviceId);

    // The name registered for this computer: the pretty host name when one is
    // set, else the host name, else "Mac".
    QString computerName() const;
    // Replaces where the computer's name comes from (tests).
    void setComputerNameSource(ComputerNameSource source) { m_computerName = std::move(source); }
    // The pretty host name of /etc/machine-info, else the host name.
    static std::optional<QString> systemComputerName();
    // PRETTY_HOSTNAME from the text of a machine-info file (shell-style
    // KEY=VALUE lines, the value optionally quoted); nothing when unset or empty.
    static std::optional<QString> prettyHostName(const QByteArray &machineInfo);

    // The value sent as "platform": "macos" on macOS, "linux" on Linux.
    static QString platformName();

    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

signals:
    void devicesChanged();
    void activeDeviceCountChanged(int count);
    void maxDevicesChanged(int max);
    void isLoadingChanged(bool isLoading);
    void errorMessageChanged(const std::optional<QString> &message);
    void showDeviceLimitSheetChanged(bool show);
    void deviceLimitDevicesChanged();

private:
    QNetworkRequest makeRequest(const QString &path, const QString &token, bool hasBody) const;
    void handleLimitRefusal(const QByteArray &body);

    void setDevices(const QList<RegisteredDevice> &devices);
    void setActiveDeviceCount(int count);
    void setMaxDevices(int max);
    void setIsLoading(bool isLoading);
    void setErrorMessage(const std::optional<QString> &message);
    void setDeviceLimitDevices(const QList<RegisteredDevice> &devices);

    KeychainManager &m_keychain;
    DeviceIdentifier &m_identifier;
    const Endpoints m_endpoints;
    QNetworkAccessManager *m_network;
    AppInfoSource m_appInfo;
    ComputerNameSource m_computerName;
    std::chrono::milliseconds m_timeout = defaultTimeout;

    QList<RegisteredDevice> m_devices;
    int m_activeDeviceCount = 0;
    int m_maxDevices = 3;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    bool m_showDeviceLimitSheet = false;
    QList<RegisteredDevice> m_deviceLimitDevices;
};
