// The account services against the real development backend.
#include "model/AuthMessages.h"
#include "model/NotificationNames.h"
#include "platform/Log.h"
#include "support/BackendFixture.h"
#include "support/DevServerProcess.h"
#include "vpn/ConfigRequest.h"

#include <QNetworkAccessManager>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

template<typename T>
bool succeeds(QCoro::Task<Outcome<T>> &&outcome)
{
    return !QCoro::waitFor(std::move(outcome)).error;
}

} // namespace

class TestAccountFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    std::unique_ptr<DevServerProcess> m_server;
    const QString m_email = u"ada@example.com"_s;
    const QString m_password = u"correct horse battery"_s;

private slots:
    void initTestCase()
    {
        m_server = std::make_unique<DevServerProcess>(m_data.path(),
                                                      DevServerProcess::fastArguments() + QStringList{u"--device-limit"_s, u"1"_s});
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void cleanupTestCase() { QVERIFY(m_server->stop()); }

    void signUpRestartAndLimit()
    {
        const QString base = m_server->url().toString();
        TempDefaults defaults;
        FakeKeychain keychain;
        QString deviceId;
        QString userId;
        {
            AccountServices app(defaults, keychain, base);
            QCoro::waitFor(app.auth.registerAccount(m_email, m_password));
            QCOMPARE(app.auth.pendingVerificationEmail(), m_email);
            QCOMPARE(app.auth.authState(), AuthState::unauthenticated());
            QCoro::waitFor(app.auth.verifyEmail(m_email, m_server->lastCode(m_email)));
            QVERIFY2(!app.auth.errorMessage(), qPrintable(app.auth.errorMessage().value_or(QString())));
            QVERIFY(app.auth.authState().isAuthenticated());
            userId = app.auth.authState().user()->id;
            deviceId = *app.identifier.storedDeviceId();
            QCOMPARE(app.devices.devices().size(), 1);
            QVERIFY(app.devices.isCurrentDevice(app.devices.devices().first()));
            QCOMPARE(app.entitlements.loadCachedEntitlement()->provider, u"monthly"_s);
        }

        defaults.restart();
        AccountServices next(defaults, keychain, base);
        QCoro::waitFor(next.auth.restoreSession());
        QCOMPARE(next.auth.authState().user()->id, userId);
        QCOMPARE(*next.identifier.storedDeviceId(), deviceId);
        QCOMPARE(next.devices.activeDeviceCount(), 1);

        // A second computer meets the limit of one, removes the first, and gets in.
        TempDefaults otherDefaults;
        FakeKeychain otherKeychain;
        AccountServices other(otherDefaults, otherKeychain, base);
        QCoro::waitFor(other.auth.login(m_email, m_password));
        QVERIFY(other.auth.authState().isAuthenticated());
        QVERIFY(other.devices.showDeviceLimitSheet());
        QCOMPARE(other.devices.deviceLimitDevices().first().deviceId, deviceId);
        QCOMPARE(other.devices.maxDevices(), 1);
        QCoro::waitFor(other.devices.revokeDevice(deviceId));
        QVERIFY(!other.devices.errorMessage());
        QCoro::waitFor(other.devices.registerDevice());
        QCOMPARE(other.devices.devices().size(), 1);
        QVERIFY(other.devices.isCurrentDevice(other.devices.devices().first()));
    }

    // Access tokens that last 3 s, and the command line on the same token store.
    void sessionsOutliveShortLivedTokens()
    {
        QTemporaryDir data;
        DevServerProcess server(data.path(), DevServerProcess::fastArguments()
                                    + QStringList{u"--seed-demo"_s, u"--access-token-ttl"_s, u"3"_s});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const auto requests = [&server](const QString &what) { return server.output().count(u' ' + what + u' '); };
        const QString base = server.url().toString();
        TempDefaults defaults;
        FakeKeychain keychain;
        AccountServices app(defaults, keychain, base);
        HttpExchange::AccessTokenRenewer::setCurrent(&app.api); // as the application's services do
        QList<QVariantMap> notices;
        app.center.observe(NotificationNames::authStatusChanged, &app.auth,
                           [&notices](const QVariantMap &info) { notices.append(info); });
        QCoro::waitFor(app.auth.login(u"demo@example.com"_s, u"velorin-demo"_s));
        QVERIFY(app.auth.authState().isAuthenticated());
        const auto accessToken = [&app] { return app.tokens.retrieveString(KeychainManager::accessTokenKey).value_or(QString()); };

        // Ahead of the expiry: renewed before use, never refused.
        const QString first = accessToken();
        QTest::qWait(2700);
        QCoro::waitFor(app.devices.fetchDevices());
        QVERIFY(!app.devices.errorMessage());
        QVERIFY(accessToken() != first);
        QCOMPARE(requests(u"/api/v1/devices 401"_s), 0);
        QCOMPARE(requests(u"/auth/refresh 200"_s), 1);

        // The command line signs in again; the app does not know that token's lifetime.
        UserDefaults cliDefaults(defaults.standardPath());
        KeychainManager cliTokens(cliDefaults, keychain);
        APIClient cli(cliTokens, Endpoints::at(base));
        const LoginResponse cliLogin = QCoro::waitFor(
            cli.post<LoginResponse>(ApiPath::login, LoginRequest{u"demo@example.com"_s, u"velorin-demo"_s}, false));
        QVERIFY(cliTokens.save(cliLogin.accessToken, KeychainManager::accessTokenKey));
        QVERIFY(cliTokens.save(cliLogin.refreshToken, KeychainManager::refreshTokenKey));
        QTRY_COMPARE(accessToken(), cliLogin.accessToken);

        // Both programs refresh at the same moment: one request, no reuse.
        auto appRefresh = captured(app.api.refreshAccessToken());
        auto cliRefresh = captured(cli.refreshAccessToken());
        QVERIFY(succeeds(std::move(appRefresh)));
        QVERIFY(succeeds(std::move(cliRefresh)));
        QCOMPARE(requests(u"/auth/refresh 200"_s), 2);
        QVERIFY(!server.output().contains(u"refresh token used twice"_s));

        // The command line refreshes alone, so the app does not know when that
        // token dies; two requests are then refused at once and share one refresh.
        QVERIFY(succeeds(captured(cli.refreshAccessToken())));
        QTest::qWait(3200);
        QNetworkAccessManager network;
        const std::optional<QUrl> url = ConfigRequest::url(app.api.endpoints().vpnApiHostURL, ApiPath::wireguardConfig, std::nullopt);
        QNetworkReply *config = ConfigRequest::get(network, ConfigRequest::make(*url, accessToken(), false));
        QCoro::waitFor(app.devices.fetchDevices());
        QTRY_VERIFY(config->isFinished());
        QCOMPARE(ConfigRequest::read(*config).status, 200);
        delete config;
        QVERIFY(!app.devices.errorMessage());
        QCOMPARE(requests(u"/api/v1/devices 401"_s), 1);
        QCOMPARE(requests(u"/api/v1/wireguard/config 401"_s), 1);
        QCOMPARE(requests(u"/auth/refresh 200"_s), 4);

        // Someone presents a spent refresh token: the service ends the whole
        // sign-in; the next request's refresh is refused and the app signs out.
        QVERIFY(!succeeds(captured(
            cli.post<RefreshTokenResponse>(ApiPath::refresh, RefreshTokenRequest{cliLogin.refreshToken}, false))));
        Log::Capture log;
        notices.clear();
        QCoro::waitFor(app.devices.fetchDevices());
        QCOMPARE(app.devices.errorMessage(), u"Session expired"_s);
        QCOMPARE(app.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(app.auth.errorMessage(), u"Session expired. Please log in again."_s);
        QVERIFY(!app.tokens.contains(KeychainManager::refreshTokenKey));
        QCOMPARE(notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, false}}}));
        QCOMPARE(log.matching(u"AuthService: Session expired"_s).size(), 1);
        QTRY_VERIFY(!cliTokens.contains(KeychainManager::accessTokenKey));
    }
};

QTEST_GUILESS_MAIN(TestAccountFlow)
#include "tst_accountflow.moc"
