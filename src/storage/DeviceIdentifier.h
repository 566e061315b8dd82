#pragma once

#include <QString>

#include <optional>

class KeychainManager;

// This installation's identity towards the VPN API: a random UUID made once,
// kept in the token store under "device_id" and sent with every device
// registration. It survives sign-out (the sign-out clean-up leaves
// "device_id" alone); only removing the stored entry makes a new one.
//
// Holds no state beyond the stored entry. Main thread only. Its diagnostic
// lines go to standard output.
class DeviceIdentifier
{
public:
    explicit DeviceIdentifier(KeychainManager &keychainManager);

    KeychainManager &keychainManager() const { return m_keychain; }

    // The stored identifier, or a new one (upper-case, hyphenated, 36
    // characters) that is stored at once. Never fails: when the new value
    // cannot be stored it is still returned, and the next call makes another.
    QString currentDeviceId();

    // The stored identifier when there is one and it is valid UTF-8; never
    // creates one.
    std::optional<QString> storedDeviceId() const;

private:
    KeychainManager &m_keychain;
};
