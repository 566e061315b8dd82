#pragma once

#include "model/Account.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <exception>
#include <functional>
#include <optional>

class APIClient;
struct TokenPairResponse;
class DeviceManager;
class EntitlementManager;
class KeychainManager;
class NotificationCenter;

// The user's sign-in state. Signs in, registers, verifies the e-mail address
// with a code, re-sends the code, restores the session at start-up and signs
// out. Tokens go to the token store; the authentication calls go through
// APIClient; after a sign-in the subscription is synced (EntitlementManager)
// and this computer registered (DeviceManager).
//
// The operations never throw (except fetchCurrentUser): a failure ends with
// isLoading false, a line in the system log and, for the forms' operations, a
// message in errorMessage. "com.velorin.authStatusChanged" is posted with
// {"isAuthenticated": bool} on every entry into authenticated and on every
// sign-out. Main thread only.
//
// The session follows the token store: tokens removed by another program
// (`velorin logout`) sign out here too, and tokens it stored while this one
// was signed out are taken over. A refresh the service refuses in the middle
// of a session (APIClient::sessionEnded) signs out with "Session expired.
// Please log in again." as the message.
class AuthService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(AuthState authState READ authState NOTIFY authStateChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(std::optional<QString> pendingVerificationEmail READ pendingVerificationEmail NOTIFY pendingVerificationEmailChanged)
    Q_PROPERTY(bool isCheckingSession READ isCheckingSession NOTIFY isCheckingSessionChanged)

public:
    AuthService(APIClient &apiClient, KeychainManager &keychainManager, EntitlementManager &entitlementManager,
                DeviceManager &deviceManager, NotificationCenter &notificationCenter, QObject *parent = nullptr);

    APIClient &apiClient() const { return m_api; }
    KeychainManager &keychainManager() const { return m_keychain; }

    // Unauthenticated at first; loading while a stored session is restored.
    AuthState authState() const { return m_authState; }
    // A login, registration or verification is running.
    bool isLoading() const { return m_isLoading; }
    // The message to show under the form; nothing when there is none.
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    // The address waiting for its e-mail code.
    std::optional<QString> pendingVerificationEmail() const { return m_pendingVerificationEmail; }
    // A session restore is running.
    bool isCheckingSession() const { return m_isCheckingSession; }

    // At start: with a stored refresh token, refreshes the pair, fetches the
    // user and registers the device; a failed refresh or fetch deletes the
    // tokens and ends unauthenticated. Without one, sends nothing.
    QCoro::Task<> restoreSession();
    QCoro::Task<> login(QString email, QString password);
    // Creates the account; when the backend asks for verification,
    // pendingVerificationEmail becomes the address. Stores no token.
    QCoro::Task<> registerAccount(QString email, QString password);
    QCoro::Task<> verifyEmail(QString email, QString code);
    // Sends a new code; leaves isLoading alone.
    QCoro::Task<> resendCode(QString email);
    // GET /auth/me; on success the state becomes authenticated and the
    // subscription is synced (a failed sync is logged and ignored). Throws
    // what APIClient throws.
    QCoro::Task<> fetchCurrentUser();
    // Deletes the sign-in tokens (the device identifier stays), clears the
    // subscription cache and ends unauthenticated. No network call.
    void signOut();

    // The screens clear these two: dismissing the error row clears the
    // message, and leaving the verification sheet clears the pending address.
    // Each emits its signal only when the value changes.
    void setErrorMessage(const std::optional<QString> &message);
    void setPendingVerificationEmail(const std::optional<QString> &email);

    // The text shown for a failed operation, given its fallback ("Login failed").
    static QString messageFor(const std::exception &error, const QString &fallback);

signals:
    void authStateChanged(const AuthState &state);
    void isLoadingChanged(bool isLoading);
    void errorMessageChanged(const std::optional<QString> &message);
    void pendingVerificationEmailChanged(const std::optional<QString> &email);
    void isCheckingSessionChanged(bool isChecking);

private:
    void setAuthState(const AuthState &state);
    void setIsLoading(bool isLoading);
    void setIsCheckingSession(bool isChecking);
    void postAuthStatus(bool isAuthenticated);
    // Stores the pair and tells the client its lifetime; throws when the
    // store could not keep it.
    void saveTokens(const TokenPairResponse &tokens);
    // The sign-out without touching the stored tokens.
    void endSession();
    void endExpiredSession(const QString &reason);
    void followStoredTokens(const QStringList &changedKeys);
    QCoro::Task<> adoptSession();
    // How a step failed: the log's reason, the text for a form (messageFor
    // with the step's fallback) and whether it may be only a passing trouble.
    struct Failure
    {
        QString why;
        QString message;
        bool passing = false;
    };
    // Runs a step and gives its failure instead of letting it escape. This is
    // the one place the service catches: its operations are started from
    // buttons, timers and signals, and nobody awaits them for an outcome.
    QCoro::Task<std::optional<Failure>> attempt(std::function<QCoro::Task<>()> step, QString fallback = {});
    // Runs one step of a form (sign-in, registration, verification, new
    // code). A failure is logged as "❌ AuthService: <failedLine>: <why>" and
    // shown under the form (messageFor with `fallback`); gives whether the
    // step succeeded.
    QCoro::Task<bool> formStep(std::function<QCoro::Task<>()> step, QString failedLine, QString fallback);

    APIClient &m_api;
    KeychainManager &m_keychain;
    EntitlementManager &m_entitlements;
    DeviceManager &m_devices;
    NotificationCenter &m_notifications;

    AuthState m_authState = AuthState::unauthenticated();
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_pendingVerificationEmail;
    bool m_isCheckingSession = false;
};
