#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class Keychain;
class UserDefaults;

// The store of sign-in tokens and the installation's device identifier.
//
// Values live in the standard user defaults under "secure_" + key, as the
// Base64 text of their UTF-8 bytes (the defaults file is readable by the user
// only). The keychain is touched only by deletion, which also removes a
// generic-password item of the same account under the service
// "com.velorin.vpn.mac". Nothing here creates a keychain item.
//
// The object holds no state: any number of instances over the same defaults
// see the same entries, and so do other processes over the same file (the
// defaults merge each write into the file and publish others' changes).
// Main thread only; every call is synchronous.
class KeychainManager
{
public:
    static inline const QString accessTokenKey = QStringLiteral("access_token");
    static inline const QString refreshTokenKey = QStringLiteral("refresh_token");
    static inline const QString userEmailKey = QStringLiteral("user_email");
    static inline const QString claimTokenKey = QStringLiteral("claim_token");
    static inline const QString deviceIdKey = QStringLiteral("device_id");

    // The keychain service of the items deletion removes.
    static inline const QString keychainService = QStringLiteral("com.velorin.vpn.mac");
    // Prefix of the defaults keys.
    static inline const QString defaultsPrefix = QStringLiteral("secure_");

    KeychainManager(UserDefaults &standardDefaults, Keychain &keychain);

    // Stores the value, replacing any earlier one. False when the value is
    // not valid Unicode (an unpaired surrogate) or could not be written to the
    // defaults file (it then holds in memory for this run only).
    bool save(const QString &value, const QString &key);
    // The stored UTF-8 bytes; nothing when absent, not a text or not Base64.
    std::optional<QByteArray> retrieve(const QString &key);
    // retrieve, read as UTF-8; bytes that are not valid UTF-8 count as missing.
    std::optional<QString> retrieveString(const QString &key);
    // Removes the entry and its keychain item. True when nothing of it is
    // left (a missing keychain item counts as removed; a defaults file that
    // could not be rewritten does not).
    bool deleteKey(const QString &key);
    // Deletes "access_token", "refresh_token", "user_email" and "claim_token",
    // each whatever the others gave; true only when all four succeeded.
    // "device_id" survives.
    bool deleteAllAuthTokens();

    // Whether an entry is stored under the key, without a log line.
    bool contains(const QString &key) const;
    // Re-reads the defaults file now, for entries another process has just
    // changed (the folder watch would deliver them a moment later).
    void reload();
    // The defaults the entries live in, and the defaults key of an entry
    // (for following changes made elsewhere).
    UserDefaults &defaults() const { return m_defaults; }
    static QString defaultsKey(const QString &key) { return defaultsPrefix + key; }
    // The lock file that serialises token refreshes across the processes
    // sharing this store (a refresh token works once).
    QString refreshLockPath() const;

private:
    UserDefaults &m_defaults;
    Keychain &m_keychain;
};
