#include "storage/DeviceIdentifier.h"

#include "platform/Log.h"
#include "storage/KeychainManager.h"

#include <QUuid>

using namespace Qt::StringLiterals;

DeviceIdentifier::DeviceIdentifier(KeychainManager &keychainManager)
    : m_keychain(keychainManager)
{
}

std::optional<QString> DeviceIdentifier::storedDeviceId() const
{
    return m_keychain.retrieveString(KeychainManager::deviceIdKey);
}

QString DeviceIdentifier::currentDeviceId()
{
    if (const auto existing = storedDeviceId()) {
        Log::out(u"✅ DeviceIdentifier: Found existing device ID: "_s + existing->left(8) + u"..."_s);
        return *existing;
    }
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (m_keychain.save(created, KeychainManager::deviceIdKey))
        Log::out(u"✅ DeviceIdentifier: Generated and saved new device ID: "_s + created.left(8) + u"..."_s);
    else
        Log::out(u"❌ DeviceIdentifier: Failed to save device ID to Keychain — using ephemeral ID"_s);
    return created;
}
