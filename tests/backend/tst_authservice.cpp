#include "backend/APIError.h"
#include "backend/AuthService.h"
#include "model/NotificationNames.h"
#include "support/BackendFixture.h"

#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct Fixture : BackendFixture
{
    AuthService &auth = services.auth;
    QList<QVariantMap> notices;

    Fixture()
    {
        serveAccount();
        services.center.observe(NotificationNames::authStatusChanged, &server,
                                [this](const QVariantMap &info) { notices.append(info); });
    }

    void signIn()
    {
        QCoro::waitFor(auth.login(u"ada@example.com"_s, u"pw-secret"_s));
        QVERIFY(auth.authState().isAuthenticated());
        notices.clear();
    }
};

APIError http(int status, const char *body)
{
    return APIError::httpError(status, QString::fromUtf8(body));
}

} // namespace

class TestAuthService : public QObject
{
    Q_OBJECT

private slots:
    void messages_data()
    {
        QTest::addColumn<std::shared_ptr<std::exception>>("error");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, auto error, const QString &message) {
            QTest::newRow(name) << std::shared_ptr<std::exception>(new decltype(error)(error)) << message;
        };
        row("401 error member", http(401, R"({"error":"Account locked"})"), u"Account locked"_s);
        row("401 empty", http(401, ""), u"Invalid email or password"_s);
        row("429 plain text", http(429, "slow down"), u"Too many attempts. Please try again later."_s);
        row("error wins over message", http(400, R"({"message":"m","error":"e"})"), u"e"_s);
        row("500 empty", http(500, ""), u"Login failed (500)"_s);
        row("unauthorized", APIError::unauthorized(), u"Invalid email or password"_s);
        row("missing token", APIError::missingAccessToken(), u"Missing access token"_s);
        row("transport", TransportError::timedOut(), u"Login failed: The request timed out."_s);
        row("decoding", DecodeError(u"Missing key \"access_token\""_s), u"Login failed: Missing key \"access_token\""_s);
    }

    void messages()
    {
        QFETCH(std::shared_ptr<std::exception>, error);
        QFETCH(QString, message);
        QCOMPARE(AuthService::messageFor(*error, u"Login failed"_s), message);
    }

    void refusalsOverHttp_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<StubServer::Response>("response");
        QTest::addColumn<QString>("message");
        QTest::newRow("login 401 with error member")
            << u"/auth/login"_s << StubServer::Response::json(401, R"({"error":"Account locked"})")
            << u"Invalid email or password"_s;
        QTest::newRow("register 409 text") << u"/auth/register"_s << StubServer::Response::text(409, "taken")
                                           << u"An account with this email already exists"_s;
        QTest::newRow("verify 400") << u"/auth/verify-email"_s
                                    << StubServer::Response::json(400, R"({"error":"That code is not right."})")
                                    << u"That code is not right."_s;
        QTest::newRow("resend 429") << u"/auth/resend-code"_s << StubServer::Response::json(429, R"({"message":"Wait a minute"})")
                                    << u"Wait a minute"_s;
    }

    void refusalsOverHttp()
    {
        QFETCH(QString, path);
        QFETCH(StubServer::Response, response);
        QFETCH(QString, message);
        Fixture f;
        const QString email = u"ada@example.com"_s;
        f.server.on("POST", path, response);
        if (path == u"/auth/login")
            QCoro::waitFor(f.auth.login(email, u"pw"_s));
        else if (path == u"/auth/register")
            QCoro::waitFor(f.auth.registerAccount(email, u"pw"_s));
        else if (path == u"/auth/verify-email")
            QCoro::waitFor(f.auth.verifyEmail(email, u"123456"_s));
        else
            QCoro::waitFor(f.auth.resendCode(email));
        QCOMPARE(f.auth.errorMessage(), message);
        QCOMPARE(f.auth.authState(), AuthState::unauthenticated());
        QVERIFY(!f.auth.isLoading());
        QVERIFY(f.notices.isEmpty());
        QCOMPARE(f.server.requests().size(), 1);
    }

    void loginSignsInSyncsAndRegisters()
    {
        Fixture f;
        QSignalSpy loading(&f.auth, &AuthService::isLoadingChanged);
        QCoro::waitFor(f.auth.login(u"ada@example.com"_s, u"pw-secret"_s));

        const User user = *f.auth.authState().user();
        QCOMPARE(user.id, u"u-1"_s);
        QCOMPARE(user.createdAt, QDateTime(QDate(2026, 1, 31), QTime(12, 0, 0, 123), Qt::UTC));
        QVERIFY(!user.subscription);
        QCOMPARE(loading.size(), 2);
        QCOMPARE(f.notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, true}}}));
        QCOMPARE(f.token(u"refresh_token"_s), u"RT-new"_s);
        QVERIFY(f.services.entitlements.loadCachedEntitlement()->isActive);
        QCOMPARE(f.server.requests("POST", u"/api/v1/devices/register"_s).size(), 1);

        // A failed sync on the next sign-in leaves the user signed in, with no message.
        f.auth.signOut();
        f.server.on("GET", u"/api/v1/subscriptions/status"_s, StubServer::Response::empty(500));
        QCoro::waitFor(f.auth.login(u"ada@example.com"_s, u"pw"_s));
        QVERIFY(f.auth.authState().isAuthenticated() && !f.auth.errorMessage());
        QCOMPARE(f.server.requests("POST", u"/api/v1/devices/register"_s).size(), 2);
    }

    void registrationStoresNoToken()
    {
        for (const bool requiresVerification : {true, false}) {
            Fixture f;
            f.server.on("POST", u"/auth/register"_s,
                        StubServer::Response::json(201, "{\"message\":\"Check your mail\",\"requires_verification\":"
                                                            + QByteArray(requiresVerification ? "true}" : "false}")));
            QCoro::waitFor(f.auth.registerAccount(u"ada@example.com"_s, u"pw"_s));
            QCOMPARE(f.auth.pendingVerificationEmail(),
                     requiresVerification ? std::optional<QString>(u"ada@example.com"_s) : std::nullopt);
            QCOMPARE(f.auth.authState(), AuthState::unauthenticated());
            QVERIFY(!f.token(u"access_token"_s));
        }
    }

    void restore_data()
    {
        QTest::addColumn<StubServer::Response>("refresh");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("tokensKept");
        QTest::newRow("accepted") << StubServer::Response::json(200, BackendFixture::tokens) << true << true;
        QTest::newRow("refused") << StubServer::Response::json(401, R"({"error":"spent"})") << false << false;
        QTest::newRow("no answer") << StubServer::Response::close() << false << true;
        QTest::newRow("server fault") << StubServer::Response::empty(500) << false << true;
        QTest::newRow("too many requests") << StubServer::Response::empty(429) << false << true;
    }

    void restore()
    {
        QFETCH(StubServer::Response, refresh);
        QFETCH(bool, signedIn);
        QFETCH(bool, tokensKept);
        Fixture f;
        f.services.tokens.save(u"RT-old"_s, u"refresh_token"_s);
        f.services.tokens.save(u"AT-old"_s, u"access_token"_s);
        f.server.on("POST", u"/auth/refresh"_s, refresh);
        QSignalSpy checking(&f.auth, &AuthService::isCheckingSessionChanged);
        QSignalSpy states(&f.auth, &AuthService::authStateChanged);
        QCoro::waitFor(f.auth.restoreSession());

        QCOMPARE(f.auth.authState().isAuthenticated(), signedIn);
        QCOMPARE(states.first().first().value<AuthState>(), AuthState::loading());
        QCOMPARE(checking.size(), 2);
        QVERIFY(!f.auth.isCheckingSession());
        QCOMPARE(f.server.requests("POST", u"/api/v1/devices/register"_s).size(), signedIn ? 1 : 0);
        QCOMPARE(f.token(u"refresh_token"_s).has_value(), tokensKept);
        QCOMPARE(f.notices.size(), signedIn ? 1 : 0);
        QVERIFY(!f.auth.errorMessage()); // a failed restore is no expired session
    }

    // Sign-out, here or in another program, forgets the account but keeps the device identifier.
    void signOutKeepsTheDeviceIdentifierAndForgetsTheAccount()
    {
        Fixture f;
        f.signIn();
        QCOMPARE(f.services.devices.devices().size(), 1);
        const QString deviceId = *f.services.identifier.storedDeviceId();
        f.auth.signOut();
        // The next account must not see this one's devices.
        QVERIFY(f.services.devices.devices().isEmpty());
        QCOMPARE(f.services.devices.maxDevices(), 3);
        QCOMPARE(f.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(f.notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, false}}}));
        QVERIFY(!f.token(u"access_token"_s) && !f.token(u"refresh_token"_s));
        QCOMPARE(f.token(u"device_id"_s), deviceId);
        QVERIFY(!f.services.entitlements.loadCachedEntitlement());

        // Without a refresh token the next start's restore sends nothing and shows no check.
        const qsizetype sent = f.server.requests().size();
        QSignalSpy checking(&f.auth, &AuthService::isCheckingSessionChanged);
        QCoro::waitFor(f.auth.restoreSession());
        QCOMPARE(f.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(checking.size(), 0);
        QCOMPARE(f.server.requests().size(), sent);

        // Another program on the same token store (`velorin login`, then
        // `velorin logout`): the app follows at once.
        f.notices.clear();
        UserDefaults otherFile(f.defaults.standardPath());
        KeychainManager other(otherFile, f.keychain);
        other.save(u"AT-cli"_s, u"access_token"_s);
        other.save(u"RT-cli"_s, u"refresh_token"_s);
        QTRY_VERIFY(f.auth.authState().isAuthenticated());
        QCOMPARE(f.server.requests("GET", ApiPath::me).constLast().header("Authorization"), QByteArray("Bearer AT-cli"));
        QCOMPARE(f.server.requests("POST", ApiPath::refresh).size(), 0);
        other.deleteAllAuthTokens();
        QTRY_COMPARE(f.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(f.notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, true}}, {{u"isAuthenticated"_s, false}}}));
    }
};

QTEST_GUILESS_MAIN(TestAuthService)
#include "tst_authservice.moc"
