#include "backend/DeviceManager.h"

#include "backend/HttpExchange.h"
#include "model/AppError.h"
#include "platform/DirectNetwork.h"
#include "platform/Log.h"
#include "platform/Utf8.h"
#include "storage/DeviceIdentifier.h"
#include "storage/KeychainManager.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The start of a body for a "response" line.
QString bodyStart(const QByteArray &body)
{
    return HttpExchange::loggedBody(body).value_or(QString());
}

QString bodyOrUnknown(const QByteArray &body)
{
    return Utf8::decode(body).value_or(u"Unknown error"_s);
}

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

int clampedCount(qint64 value)
{
    return int(std::clamp<qint64>(value, 0, std::numeric_limits<int>::max()));
}

QList<RegisteredDevice> activeOnly(const QList<RegisteredDevice> &devices)
{
    QList<RegisteredDevice> active;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(active),
                 [](const RegisteredDevice &device) { return device.isActive; });
    return active;
}

// One value of a shell-style assignment: 'single', "double" (backslash
// escapes), or bare (backslash escapes, ends at an unquoted blank or '#').
QString shellValue(QStringView text)
{
    QString value;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'\'') {
            const qsizetype end = text.indexOf(u'\'', i + 1);
            const qsizetype stop = end < 0 ? text.size() : end;
            value += text.mid(i + 1, stop - i - 1);
            i = stop + 1;
        } else if (c == u'"') {
            ++i;
            while (i < text.size() && text[i] != u'"') {
                if (text[i] == u'\\' && i + 1 < text.size())
                    ++i;
                value += text[i++];
            }
            ++i;
        } else if (c == u'\\' && i + 1 < text.size()) {
            value += text[i + 1];
            i += 2;
        } else if (c.isSpace() || c == u'#') {
            break;
        } else {
            value += c;
            ++i;
        }
    }
    return value;
}

} // namespace

DeviceManager::DeviceManager(KeychainManager &keychainManager, DeviceIdentifier &deviceIdentifier,
                             Endpoints endpoints, QNetworkAccessManager *network, AppInfoSource appInfo,
                             QObject *parent)
    : QObject(parent)
    , m_keychain(keychainManager)
    , m_identifier(deviceIdentifier)
    , m_endpoints(std::move(endpoints))
    , m_network(network ? network : DirectNetwork::create(this))
    , m_appInfo(appInfo ? std::move(appInfo) : AppInfoSource(&AppInfo::current))
    , m_computerName(&DeviceManager::systemComputerName)
{
}

QString DeviceManager::platformName()
{
#if defined(Q_OS_MACOS)
    return u"macos"_s;
#else
    return u"linux"_s;
#endif
}

std::optional<QString> DeviceManager::prettyHostName(const QByteArray &machineInfo)
{
    std::optional<QString> found;
    const QString text = Utf8::decode(machineInfo).value_or(QString());
    for (const QString &rawLine : text.split(u'\n')) {
        const QStringView line = QStringView(rawLine).trimmed();
        if (!line.startsWith(u"PRETTY_HOSTNAME="))
            continue;
        // The last assignment wins, as when the file is sourced by a shell.
        found = shellValue(line.mid(16)).trimmed();
    }
    if (!found || found->isEmpty())
        return std::nullopt;
    return found;
}

std::optional<QString> DeviceManager::systemComputerName()
{
    QFile machineInfo(u"/etc/machine-info"_s);
    if (machineInfo.open(QIODevice::ReadOnly)) {
        if (auto pretty = prettyHostName(machineInfo.read(64 * 1024)))
            return pretty;
    }
    const QString hostName = QSysInfo::machineHostName().trimmed();
    if (hostName.isEmpty())
        return std::nullopt;
    return hostName;
}

QString DeviceManager::computerName() const
{
    const auto name = m_computerName ? m_computerName() : std::nullopt;
    return name && !name->isEmpty() ? *name : u"Mac"_s;
}

bool DeviceManager::isCurrentDevice(const RegisteredDevice &device) const
{
    return device.isCurrentDevice(m_identifier.storedDeviceId());
}

QNetworkRequest DeviceManager::makeRequest(const QString &path, const QString &token, bool hasBody) const
{
    return HttpExchange::makeRequest(QUrl(m_endpoints.vpnApiBaseURL() + path), m_timeout, token,
                                     "VelorinSecure-iOS/" + m_appInfo().shortVersion().toUtf8(), hasBody);
}

QCoro::Task<> DeviceManager::registerDevice()
{
    const auto token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::out(u"❌ DeviceManager: No access token — skipping device registration"_s);
        co_return;
    }
    const QString deviceId = m_identifier.currentDeviceId();
    const QString name = computerName();
    const QString version = m_appInfo().shortVersion();
    Log::out(u"📱 DeviceManager: Registering device '"_s + name + u"' (ID: "_s + deviceId.left(8) + u"...)"_s);

    const QByteArray body = DeviceRegistrationRequest(deviceId, name, platformName(), version).toJson();
    const QNetworkRequest request = makeRequest(ApiPath::registerDevice, *token, true);
    auto sending = HttpExchange::outcomeOf(HttpExchange::sendAuthorized(m_network, request, "POST", body, this));
    const HttpExchange::Outcome outcome = co_await std::move(sending);
    if (!outcome.answer) {
        Log::out(u"❌ DeviceManager: Registration failed: "_s + outcome.failure);
        co_return;
    }
    const HttpExchange::Answer &answer = *outcome.answer;
    if (!answer.status) {
        Log::out(u"❌ DeviceManager: Invalid response"_s);
        co_return;
    }
    const int status = *answer.status;
    Log::out(u"📱 DeviceManager: Raw response ("_s + QString::number(status) + u"): "_s + bodyStart(answer.body));

    if (isSuccess(status)) {
        std::optional<DeviceRegisterSuccessResponse> registered;
        QString failure;
        try {
            registered = decodeBody<DeviceRegisterSuccessResponse>(answer.body);
        } catch (const std::exception &error) {
            failure = errorDescription(error);
        }
        if (!registered) {
            Log::out(u"❌ DeviceManager: Registration failed: "_s + failure);
            co_return;
        }
        Log::out(u"✅ DeviceManager: "_s + registered->message);
        co_await fetchDevices();
    } else if (status == 401) {
        Log::out(u"❌ DeviceManager: Unauthorized — token expired"_s);
        setErrorMessage(u"Session expired. Please log in again."_s);
    } else if (status == 403) {
        handleLimitRefusal(answer.body);
    } else {
        Log::out(u"❌ DeviceManager: Server error "_s + QString::number(status) + u": "_s + bodyOrUnknown(answer.body));
    }
}

void DeviceManager::handleLimitRefusal(const QByteArray &body)
{
    Log::out(u"⚠️ DeviceManager: 403 response"_s);
    const DeviceLimitRefusal refusal = DeviceLimitRefusal::parse(body);
    switch (refusal.kind) {
    case DeviceLimitRefusal::Kind::Limit:
        setDeviceLimitDevices(activeOnly(refusal.limit.devices));
        setMaxDevices(clampedCount(refusal.limit.deviceLimit));
        setActiveDeviceCount(clampedCount(refusal.limit.activeCount));
        setShowDeviceLimitSheet(true);
        Log::out(u"⚠️ DeviceManager: Device limit reached. Active: "_s + QString::number(refusal.limit.activeCount)
                 + u'/' + QString::number(refusal.limit.deviceLimit));
        break;
    case DeviceLimitRefusal::Kind::Message:
        Log::out(u"⚠️ DeviceManager: "_s + refusal.text);
        setErrorMessage(refusal.text);
        break;
    case DeviceLimitRefusal::Kind::Undecodable:
        Log::out(u"❌ DeviceManager: Registration failed: "_s + refusal.text);
        break;
    case DeviceLimitRefusal::Kind::Nothing:
        break;
    }
}

QCoro::Task<> DeviceManager::fetchDevices()
{
    const auto token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::out(u"❌ DeviceManager: No access token"_s);
        co_return;
    }
    setIsLoading(true);
    setErrorMessage(std::nullopt);

    const QNetworkRequest request = makeRequest(ApiPath::devices, *token, false);
    auto sending = HttpExchange::outcomeOf(HttpExchange::sendAuthorized(m_network, request, "GET", std::nullopt, this));
    const HttpExchange::Outcome outcome = co_await std::move(sending);

    if (!outcome.answer) {
        setErrorMessage(u"Network error: "_s + outcome.failure);
        Log::out(u"❌ DeviceManager: Fetch failed: "_s + outcome.failure);
    } else if (!outcome.answer->status) {
        setErrorMessage(u"Invalid response"_s);
    } else {
        const HttpExchange::Answer &answer = *outcome.answer;
        const int status = *answer.status;
        Log::out(u"📱 DeviceManager: List response ("_s + QString::number(status) + u"): "_s + bodyStart(answer.body));
        if (status == 401) {
            setErrorMessage(u"Session expired"_s);
        } else if (!isSuccess(status)) {
            setErrorMessage(u"Failed to load devices"_s);
            Log::out(u"❌ DeviceManager: Fetch error "_s + QString::number(status) + u": "_s + bodyOrUnknown(answer.body));
        } else {
            try {
                const auto list = decodeBody<DeviceListResponse>(answer.body);
                setDevices(activeOnly(list.devices));
                setActiveDeviceCount(clampedCount(list.activeCount));
                setMaxDevices(clampedCount(list.deviceLimit));
                Log::out(u"✅ DeviceManager: Fetched "_s + QString::number(list.activeCount) + u" active device(s) of "_s
                         + QString::number(list.deviceLimit) + u" limit"_s);
            } catch (const std::exception &error) {
                setErrorMessage(u"Network error: "_s + errorDescription(error));
                Log::out(u"❌ DeviceManager: Fetch failed: "_s + errorDescription(error));
            }
        }
    }
    setIsLoading(false);
}

QCoro::Task<> DeviceManager::revokeDevice(QString deviceId)
{
    Log::out(u"📱 DeviceManager: Revoking device "_s + deviceId.left(8) + u"..."_s);
    const auto token = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (!token) {
        Log::out(u"❌ DeviceManager: No access token"_s);
        co_return;
    }
    setIsLoading(true);

    const QByteArray body = DeviceRevokeRequest(deviceId).toJson();
    const QNetworkRequest request = makeRequest(ApiPath::revokeDevice, *token, true);
    auto sending = HttpExchange::outcomeOf(HttpExchange::sendAuthorized(m_network, request, "POST", body, this));
    const HttpExchange::Outcome outcome = co_await std::move(sending);

    if (!outcome.answer) {
        setErrorMessage(u"Network error: "_s + outcome.failure);
        Log::out(u"❌ DeviceManager: Revoke failed: "_s + outcome.failure);
    } else if (!outcome.answer->status) {
        setErrorMessage(u"Invalid response"_s);
    } else {
        const HttpExchange::Answer &answer = *outcome.answer;
        const int status = *answer.status;
        Log::out(u"📱 DeviceManager: Revoke response ("_s + QString::number(status) + u"): "_s + bodyStart(answer.body));
        if (!isSuccess(status)) {
            setErrorMessage(u"Failed to remove device"_s);
            Log::out(u"❌ DeviceManager: Revoke error "_s + QString::number(status) + u": "_s + bodyOrUnknown(answer.body));
        } else {
            try {
                const auto revoked = decodeBody<DeviceRevokeSuccessResponse>(answer.body);
                Log::out(u"✅ DeviceManager: "_s + revoked.message);
                QList<RegisteredDevice> remaining = m_devices;
                remaining.removeIf([&deviceId](const RegisteredDevice &device) { return device.deviceId == deviceId; });
                setDevices(remaining);
                setActiveDeviceCount(std::max(0, m_activeDeviceCount - 1));
            } catch (const std::exception &error) {
                setErrorMessage(u"Network error: "_s + errorDescription(error));
                Log::out(u"❌ DeviceManager: Revoke failed: "_s + errorDescription(error));
            }
        }
    }
    setIsLoading(false);
}

void DeviceManager::setDevices(const QList<RegisteredDevice> &devices)
{
    if (m_devices == devices)
        return;
    m_devices = devices;
    emit devicesChanged();
}

void DeviceManager::setActiveDeviceCount(int count)
{
    if (m_activeDeviceCount == count)
        return;
    m_activeDeviceCount = count;
    emit activeDeviceCountChanged(count);
}

void DeviceManager::setMaxDevices(int max)
{
    if (m_maxDevices == max)
        return;
    m_maxDevices = max;
    emit maxDevicesChanged(max);
}

void DeviceManager::setIsLoading(bool isLoading)
{
    if (m_isLoading == isLoading)
        return;
    m_isLoading = isLoading;
    emit isLoadingChanged(isLoading);
}

void DeviceManager::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    emit errorMessageChanged(message);
}

void DeviceManager::reset()
{
    setDevices({});
    setActiveDeviceCount(0);
    setMaxDevices(3);
    setErrorMessage(std::nullopt);
    setShowDeviceLimitSheet(false);
    setDeviceLimitDevices({});
}

void DeviceManager::setShowDeviceLimitSheet(bool show)
{
    if (m_showDeviceLimitSheet == show)
        return;
    m_showDeviceLimitSheet = show;
    emit showDeviceLimitSheetChanged(show);
}

void DeviceManager::setDeviceLimitDevices(const QList<RegisteredDevice> &devices)
{
    if (m_deviceLimitDevices == devices)
        return;
    m_deviceLimitDevices = devices;
    emit deviceLimitDevicesChanged();
}
