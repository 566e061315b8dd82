#include "backend/AuthService.h"

#include "backend/APIClient.h"
#include "backend/DeviceManager.h"
#include "backend/EntitlementManager.h"
#include "model/AuthMessages.h"
#include "model/NotificationNames.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace {

// Whether a failed session restore may be only a passing trouble (no answer,
// a server fault, rate limiting) rather than refused credentials. The stored
// tokens are then kept so that the next start tries again.
bool isPassingTrouble(const std::exception &error)
{
    if (dynamic_cast<const TransportError *>(&error))
        return true;
    if (const auto *api = dynamic_cast<const APIError *>(&error))
        return api->kind() == APIError::Kind::HttpError && (api->statusCode() >= 500 || api->statusCode() == 429);
    return false;
}

// Tokens the service issued that could not be written to the token store:
// the sign-in would not outlive this run.
class TokenStoreError : public AppError
{
public:
    explicit TokenStoreError(QString detail)
        : m_detail(std::move(detail))
    {
    }
    QString description() const override { return u"the sign-in could not be saved ("_s + m_detail + u')'; }

private:
    QString m_detail;
};

const QString kSessionExpired = u"Session expired. Please log in again."_s;

} // namespace

AuthService::AuthService(APIClient &apiClient, KeychainManager &keychainManager,
                         EntitlementManager &entitlementManager, DeviceManager &deviceManager,
                         NotificationCenter &notificationCenter, QObject *parent)
    : QObject(parent)
    , m_api(apiClient)
    , m_keychain(keychainManager)
    , m_entitlements(entitlementManager)
    , m_devices(deviceManager)
    , m_notifications(notificationCenter)
{
    connect(&m_api, &APIClient::sessionEnded, this, &AuthService::endExpiredSession);
    connect(&m_keychain.defaults(), &UserDefaults::changedElsewhere, this, &AuthService::followStoredTokens);
}

QString AuthService::messageFor(const std::exception &error, const QString &fallback)
{
    const auto *api = dynamic_cast<const APIError *>(&error);
    if (!api)
        return fallback + u": "_s + errorDescription(error);
    switch (api->kind()) {
    case APIError::Kind::HttpError: {
        const QJsonDocument body = QJsonDocument::fromJson(api->payload().toUtf8());
        if (body.isObject()) {
            const QJsonObject object = body.object();
            if (object.value(u"error"_s).isString())
                return object.value(u"error"_s).toString();
            if (object.value(u"message"_s).isString())
                return object.value(u"message"_s).toString();
        }
        switch (api->statusCode()) {
        case 429:
            return u"Too many attempts. Please try again later."_s;
        case 409:
            return u"An account with this email already exists"_s;
        case 401:
            return u"Invalid email or password"_s;
        default:
            return fallback + u" ("_s + QString::number(api->statusCode()) + u')';
        }
    }
    case APIError::Kind::Unauthorized:
        return u"Invalid email or password"_s;
    default:
        return api->description();
    }
}

QCoro::Task<> AuthService::restoreSession()
{
    if (!m_keychain.retrieveString(KeychainManager::refreshTokenKey)) {
        setAuthState(AuthState::unauthenticated());
        co_return;
    }
    setIsCheckingSession(true);
    setAuthState(AuthState::loading());

    auto restoring = attempt([this]() -> QCoro::Task<> {
        co_await m_api.refreshAccessToken();
        co_await fetchCurrentUser();
    });
    const std::optional<Failure> failure = co_await std::move(restoring);
    if (failure) {
        setIsCheckingSession(false);
        Log::system(u"❌ AuthService: Session restore failed: "_s + failure->why);
        if (!failure->passing)
            m_keychain.deleteAllAuthTokens();
        setAuthState(AuthState::unauthenticated());
        co_return;
    }
    co_await m_devices.registerDevice();
    setIsCheckingSession(false);
}

QCoro::Task<> AuthService::fetchCurrentUser()
{
    Log::system(u"🔐 AuthService: Fetching current user info"_s);
    Log::system(u"🌐 Using auth service for user fetch"_s);
    // The untyped send() and decodeBody() rather than request<UserResponse>():
    // g++ 12 warns falsely (maybe-uninitialized) when the empty body is moved
    // through the inlined template into the coroutine's frame.
    auto sending = m_api.send(ApiPath::me, u"GET"_s, std::nullopt, true);
    const QByteArray body = co_await std::move(sending);
    const UserResponse response = decodeBody<UserResponse>(body);
    Log::system(u"✅ AuthService: User info received: "_s + response.email);

    User user;
    user.id = response.id;
    user.email = response.email;
    user.createdAt = response.createdAt;
    setAuthState(AuthState::authenticated(user));
    setIsLoading(false);
    postAuthStatus(true);

    const auto accessToken = m_keychain.retrieveString(KeychainManager::accessTokenKey);
    if (!accessToken)
        co_return;
    auto syncing = attempt([this, token = *accessToken]() -> QCoro::Task<> {
        co_await m_entitlements.syncWithBackend(token);
    });
    const std::optional<Failure> syncFailure = co_await std::move(syncing);
    if (syncFailure)
        Log::system(u"⚠️ AuthService: Entitlement sync failed (non-fatal): "_s + syncFailure->why);
    else
        Log::system(u"✅ AuthService: Entitlement synced with backend"_s);
}

QCoro::Task<std::optional<AuthService::Failure>> AuthService::attempt(std::function<QCoro::Task<>()> step,
                                                                      QString fallback)
{
    // The step's closure lives in this frame until the step has ended, so
    // its captures stay valid while it runs.
    std::optional<Failure> failure;
    try {
        co_await step();
    } catch (const std::exception &error) {
        failure = Failure{errorDescription(error), messageFor(error, fallback), isPassingTrouble(error)};
    }
    co_return failure;
}

QCoro::Task<bool> AuthService::formStep(std::function<QCoro::Task<>()> step, QString failedLine, QString fallback)
{
    auto attempting = attempt(std::move(step), fallback);
    const std::optional<Failure> failure = co_await std::move(attempting);
    if (!failure)
        co_return true;
    Log::system(u"❌ AuthService: "_s + failedLine + u": "_s + failure->why);
    setErrorMessage(failure->message);
    co_return false;
}

QCoro::Task<> AuthService::login(QString email, QString password)
{
    setIsLoading(true);
    setErrorMessage(std::nullopt);
    Log::system(u"🔐 AuthService: Logging in with email: "_s + email);
    Log::system(u"🌐 Using auth service: "_s + m_api.endpoints().authHost());

    auto step = formStep(
        [this, email, password]() -> QCoro::Task<> {
            auto request = m_api.post<LoginResponse>(ApiPath::login, LoginRequest(email, password), false);
            const LoginResponse tokens = co_await std::move(request);
            Log::system(u"✅ AuthService: Login response received"_s);
            saveTokens(tokens);
            Log::system(u"✅ AuthService: Tokens saved to Keychain"_s);
            co_await fetchCurrentUser();
        },
        u"Login error"_s, u"Login failed"_s);
    const bool signedIn = co_await std::move(step);
    if (!signedIn) {
        setAuthState(AuthState::unauthenticated());
        setIsLoading(false);
        co_return;
    }
    co_await m_devices.registerDevice();
    Log::system(u"✅ AuthService: Login successful"_s);
}

QCoro::Task<> AuthService::registerAccount(QString email, QString password)
{
    setIsLoading(true);
    setErrorMessage(std::nullopt);
    Log::system(u"🔐 AuthService: Registering with email: "_s + email);
    Log::system(u"🌐 Using auth service: "_s + m_api.endpoints().authHost());

    RegisterResponse response;
    auto step = formStep(
        [this, email, password, &response]() -> QCoro::Task<> {
            auto request = m_api.post<RegisterResponse>(ApiPath::registration, RegisterRequest(email, password), false);
            response = co_await std::move(request);
        },
        u"Registration error"_s, u"Registration failed"_s);
    const bool registered = co_await std::move(step);
    if (registered) {
        Log::system(u"✅ AuthService: Registration response: "_s + response.message);
        if (response.requiresVerification)
            setPendingVerificationEmail(email);
    }
    setIsLoading(false);
}

QCoro::Task<> AuthService::verifyEmail(QString email, QString code)
{
    setIsLoading(true);
    setErrorMessage(std::nullopt);
    Log::system(u"🔐 AuthService: Verifying email: "_s + email);

    auto step = formStep(
        [this, email, code]() -> QCoro::Task<> {
            auto request = m_api.post<VerifyEmailResponse>(ApiPath::verifyEmail, VerifyEmailRequest(email, code), false);
            const VerifyEmailResponse tokens = co_await std::move(request);
            Log::system(u"✅ AuthService: Email verified, tokens received"_s);
            saveTokens(tokens);
            setPendingVerificationEmail(std::nullopt);
            co_await fetchCurrentUser();
        },
        u"Verification error"_s, u"Verification failed"_s);
    const bool verified = co_await std::move(step);
    if (!verified) {
        setIsLoading(false);
        co_return;
    }
    co_await m_devices.registerDevice();
    Log::system(u"✅ AuthService: Registration + verification complete"_s);
}

QCoro::Task<> AuthService::resendCode(QString email)
{
    setErrorMessage(std::nullopt);
    Log::system(u"📧 AuthService: Resending code to "_s + email);
    auto step = formStep(
        [this, email]() -> QCoro::Task<> {
            auto request = m_api.post<MessageResponse>(ApiPath::resendCode, ResendCodeRequest(email), false);
            co_await std::move(request);
        },
        u"Resend failed"_s, u"Failed to resend code"_s);
    const bool resent = co_await std::move(step);
    if (resent)
        Log::system(u"✅ AuthService: Verification code resent"_s);
}

void AuthService::signOut()
{
    m_keychain.deleteAllAuthTokens();
    endSession();
}

void AuthService::endSession()
{
    m_entitlements.clearCache();
    m_devices.reset();
    setAuthState(AuthState::unauthenticated());
    postAuthStatus(false);
}

void AuthService::endExpiredSession(const QString &reason)
{
    // A failed restore cleans up after itself.
    if (m_isCheckingSession)
        return;
    Log::system(u"❌ AuthService: Session expired: "_s + reason);
    m_keychain.deleteAllAuthTokens();
    if (!m_authState.isAuthenticated())
        return;
    setErrorMessage(kSessionExpired);
    endSession();
}

void AuthService::followStoredTokens(const QStringList &changedKeys)
{
    if (!changedKeys.contains(KeychainManager::defaultsKey(KeychainManager::refreshTokenKey))
        && !changedKeys.contains(KeychainManager::defaultsKey(KeychainManager::accessTokenKey)))
        return;
    const bool signedIn = m_keychain.contains(KeychainManager::refreshTokenKey)
        && m_keychain.contains(KeychainManager::accessTokenKey);
    if (!signedIn && m_authState.isAuthenticated()) {
        Log::system(u"🔐 AuthService: Signed out in another program"_s);
        endSession();
    } else if (signedIn && m_authState == AuthState::unauthenticated() && !m_isLoading && !m_isCheckingSession) {
        Log::system(u"🔐 AuthService: Signed in in another program"_s);
        adoptSession();
    }
}

QCoro::Task<> AuthService::adoptSession()
{
    auto adopting = attempt([this]() -> QCoro::Task<> { co_await fetchCurrentUser(); });
    const std::optional<Failure> failure = co_await std::move(adopting);
    if (failure)
        Log::system(u"❌ AuthService: Could not take over the sign-in: "_s + failure->why);
}

void AuthService::saveTokens(const TokenPairResponse &tokens)
{
    const bool saved = m_keychain.save(tokens.accessToken, KeychainManager::accessTokenKey)
        && m_keychain.save(tokens.refreshToken, KeychainManager::refreshTokenKey);
    if (!saved)
        throw TokenStoreError(m_keychain.defaults().lastError());
    m_api.noteAccessTokenLifetime(tokens.accessToken, tokens.expiresIn);
}

void AuthService::postAuthStatus(bool isAuthenticated)
{
    m_notifications.post(NotificationNames::authStatusChanged, {{u"isAuthenticated"_s, isAuthenticated}});
}

void AuthService::setAuthState(const AuthState &state)
{
    if (m_authState == state)
        return;
    m_authState = state;
    emit authStateChanged(state);
}

void AuthService::setIsLoading(bool isLoading)
{
    if (m_isLoading == isLoading)
        return;
    m_isLoading = isLoading;
    emit isLoadingChanged(isLoading);
}

void AuthService::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    emit errorMessageChanged(message);
}

void AuthService::setPendingVerificationEmail(const std::optional<QString> &email)
{
    if (m_pendingVerificationEmail == email)
        return;
    m_pendingVerificationEmail = email;
    emit pendingVerificationEmailChanged(email);
}

void AuthService::setIsCheckingSession(bool isChecking)
{
    if (m_isCheckingSession == isChecking)
        return;
    m_isCheckingSession = isChecking;
    emit isCheckingSessionChanged(isChecking);
}
