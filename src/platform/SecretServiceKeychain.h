#pragma once

#include "platform/Keychain.h"

#include <chrono>

// The keychain on Linux: generic-password items kept by the desktop's Secret
// Service (gnome-keyring, KeePassXC, KWallet's bridge) through QtKeychain.
// Items are stored with QtKeychain's attributes: the service as "server", the
// account as "user".
//
// QtKeychain works asynchronously; each operation here runs its job to the end
// in a local event loop (user input is held back meanwhile). That usually takes
// a few milliseconds; a job that has not ended after the time limit (a service
// waiting for an unlock prompt nobody answers) gives TimedOut and is left to
// finish and delete itself.
//
// When no Secret Service can be reached (no session bus, or nothing on it
// provides org.freedesktop.secrets), add, update and copy give NotAvailable.
// remove gives ItemNotFound instead: an item can only exist inside a running
// Secret Service, so with none reachable nothing of it exists and the
// deletion's result ("the item is gone") holds.
//
// add and update check for an existing item first and then write; the check
// and the write are two requests, so another process writing the same item in
// between is not detected.
class SecretServiceKeychain : public Keychain
{
public:
    explicit SecretServiceKeychain(std::chrono::milliseconds timeLimit = std::chrono::seconds(10));

    Status add(const QString &service, const QString &account, const QByteArray &value,
               QByteArray *persistentRef = nullptr) override;
    Status update(const QString &service, const QString &account, const QByteArray &value) override;
    Status copy(const QString &service, const QString &account, QByteArray *value,
                QByteArray *persistentRef = nullptr) override;
    Status remove(const QString &service, const QString &account) override;

    // Whether a Secret Service is running on the session bus or can be started there.
    static bool isServiceReachable();

    // QtKeychain's text for the last failure, for diagnostics; empty after a success.
    QString lastErrorString() const { return m_lastError; }

private:
    Status read(const QString &service, const QString &account, QByteArray *value);
    Status write(const QString &service, const QString &account, const QByteArray &value);

    std::chrono::milliseconds m_timeLimit;
    QString m_lastError;
};
