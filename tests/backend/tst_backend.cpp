// The API client, and sign-in, entitlements and devices against a stub backend;
// the account services as a whole against the real development backend.
#include "backend/APIClient.h"
#include "backend/APIError.h"
#include "backend/AuthService.h"
#include "backend/DeviceManager.h"
#include "backend/EntitlementManager.h"
#include "model/AuthMessages.h"
#include "model/NotificationNames.h"
#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/BackendFixture.h"
#include "support/DevServerProcess.h"
#include "support/ServiceRig.h"
#include "vpn/ConfigRequest.h"

#include <QNetworkAccessManager>
#include <QtTest>

#include <QCoro/QCoroTask>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A bare client: no other service reacts to what it does.
struct ClientFixture : ServiceRig
{
    APIClient client;

    explicit ClientFixture(std::optional<QString> version = u"2.5"_s)
        : ServiceRig({})
        , client(tokens, endpoints(std::nullopt), nullptr, [version] { return AppInfo(version, {}); })
    {
        client.setTimeouts(2s, 5s);
    }
};

const QByteArray kTokenBody = R"({"access_token":"AT-secret-1","refresh_token":"RT-secret-1","expires_in":3600})";

const QString kStatusPath = u"/api/v1/subscriptions/status"_s;

QByteArray statusBody(const QString &status, const QString &expiresAt = u"2026-01-31T12:00:00Z"_s)
{
    return "{\"status\":\"" + status.toUtf8() + "\",\"plan\":\"personal_yearly\",\"expires_at\":\""
        + expiresAt.toUtf8() + "\",\"is_trial\":false}";
}

QByteArray device(const QString &deviceId, bool active, const QByteArray &platform = "\"platform\":\"macos\",")
{
    return "{\"id\":7,\"device_id\":\"" + deviceId.toUtf8() + "\",\"nickname\":\"Desk\"," + platform
        + "\"is_active\":" + (active ? "true" : "false")
        + ",\"last_seen_at\":null,\"created_at\":\"2026-01-31T12:00:00Z\",\"app_version\":\"2.5\"}";
}

// Three devices, the second one removed; the backend counts five active.
QByteArray listBody(const QString &first = u"AAAAAAAA-1"_s)
{
    return "{\"devices\":[" + device(first, true) + "," + device(u"BBBBBBBB-2"_s, false) + ","
        + device(u"CCCCCCCC-3"_s, true, "") + "],\"device_limit\":3,\"active_count\":5,\"can_add_more\":false}";
}

// A working account on the server; signedIn: an access token is stored as well.
struct Fixture : BackendFixture
{
    AuthService &auth = services.auth;
    DeviceManager &devices = services.devices;
    EntitlementManager &entitlements = services.entitlements;
    QList<QVariantMap> notices;

    explicit Fixture(bool signedIn = false)
    {
        serveAccount();
        services.center.observe(NotificationNames::authStatusChanged, &server,
                                [this](const QVariantMap &info) { notices.append(info); });
        if (signedIn)
            services.tokens.save(u"AT-1"_s, u"access_token"_s);
    }

    std::exception_ptr sync() { return runToEnd(entitlements.syncWithBackend(u"AT-1"_s)); }
};

template<typename T>
bool succeeds(QCoro::Task<Outcome<T>> &&outcome)
{
    return !QCoro::waitFor(std::move(outcome)).error;
}

} // namespace

class TestBackend : public QObject
{
    Q_OBJECT

private slots:
    void postSendsTheJsonBodyAndHeaders_data()
    {
        QTest::addColumn<std::optional<QString>>("version");
        QTest::addColumn<QByteArray>("userAgent");
        QTest::newRow("built version") << std::optional<QString>(u"2.5"_s) << QByteArray("VelorinSecure-macOS/2.5");
        QTest::newRow("no version") << std::optional<QString>() << QByteArray("VelorinSecure-macOS/1.0");
    }

    void postSendsTheJsonBodyAndHeaders()
    {
        QFETCH(std::optional<QString>, version);
        QFETCH(QByteArray, userAgent);
        ClientFixture f(version);
        f.server.on("POST", u"/auth/verify-email"_s, StubServer::Response::json(200, kTokenBody));
        const auto outcome = outcomeOf(f.client.post<VerifyEmailResponse>(
            ApiPath::verifyEmail, VerifyEmailRequest{u"a@b.c"_s, u"123456"_s}, false));
        QVERIFY2(outcome.value, qPrintable(outcome.description()));
        QCOMPARE(outcome.value->accessToken, u"AT-secret-1"_s);
        QCOMPARE(outcome.value->expiresIn, 3600);

        const StubServer::Request sent = f.server.requests().constFirst();
        QCOMPARE(f.server.requests().size(), 1);
        QCOMPARE((QList<QByteArray>{sent.method, sent.body, sent.header("Content-Type"), sent.header("User-Agent")}),
                 (QList<QByteArray>{"POST", R"({"email":"a@b.c","code":"123456"})", "application/json", userAgent}));
        QVERIFY(!sent.hasHeader("Authorization"));
    }

    // Requests refused at the same time share one renewal. A refused refresh
    // ends the session; a server fault during it is the request's error alone.
    void aRefusedTokenIsRenewedOnceAndTheRequestsRetried_data()
    {
        QTest::addColumn<int>("refreshStatus");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("sessionsEnded");
        QTest::newRow("renewed") << 200 << QString() << 0;
        QTest::newRow("refused") << 401 << u"Unauthorized"_s << 1;
        QTest::newRow("server fault") << 500 << u"HTTP 500: down"_s << 0;
    }

    void aRefusedTokenIsRenewedOnceAndTheRequestsRetried()
    {
        QFETCH(int, refreshStatus);
        QFETCH(QString, failure);
        QFETCH(int, sessionsEnded);
        ClientFixture f;
        f.tokens.save(u"AT-old"_s, u"access_token"_s);
        f.tokens.save(u"RT-old"_s, u"refresh_token"_s);
        f.server.on("GET", u"/auth/me"_s, [](const StubServer::Request &request) {
            if (request.header("Authorization") != "Bearer AT-secret-1")
                return StubServer::Response::json(401, R"({"error":"expired"})");
            return StubServer::Response::json(200, R"({"id":"u1","email":"a@b.c","email_verified":true,)"
                                                   R"("apple_linked":false,"created_at":"2026-01-31T12:00:00Z"})");
        });
        f.server.on("POST", u"/auth/refresh"_s,
                    refreshStatus == 200 ? StubServer::Response::json(200, kTokenBody).after(100ms)
                                         : StubServer::Response::text(refreshStatus, "down"));
        QSignalSpy ended(&f.client, &APIClient::sessionEnded);
        auto first = captured(f.client.request<UserResponse>(ApiPath::me, u"GET"_s, std::nullopt, true));
        auto second = captured(f.client.request<UserResponse>(ApiPath::me, u"GET"_s, std::nullopt, true));
        const auto a = QCoro::waitFor(std::move(first));
        const auto b = QCoro::waitFor(std::move(second));
        QCOMPARE(f.server.requests("POST", ApiPath::refresh).size(), 1);
        QCOMPARE(ended.size(), sessionsEnded);
        if (failure.isEmpty()) {
            QVERIFY2(a.value && b.value, qPrintable(a.description() + u" / "_s + b.description()));
            const auto sent = f.server.requests("GET", ApiPath::me);
            QCOMPARE(sent.size(), 4);
            QCOMPARE(sent[3].header("Authorization"), QByteArray("Bearer AT-secret-1"));
        } else {
            QCOMPARE(a.description(), failure);
            QCOMPARE(b.description(), failure);
            QCOMPARE(f.server.requests("GET", ApiPath::me).size(), 2);
            // The client deletes nothing and keeps the pair it had.
            QCOMPARE(f.tokens.retrieveString(u"access_token"_s), u"AT-old"_s);
            QCOMPARE(f.tokens.retrieveString(u"refresh_token"_s), u"RT-old"_s);
        }
    }

    void refusedBeforeSending_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("error");
        const QString missing = u"Missing access token"_s;
        QTest::newRow("no token stored") << QVariant() << ApiPath::me << missing;
        QTest::newRow("token not UTF-8") << QVariant(QString::fromLatin1(QByteArray("\xff\xfe").toBase64())) << ApiPath::me
                                         << missing;
        QTest::newRow("path that is no URL") << QVariant(u"QVQ="_s) << u"/auth/bad path"_s
                                             << u"Invalid URL: /auth/bad path"_s;
    }

    void refusedBeforeSending()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, path);
        QFETCH(QString, error);
        ClientFixture f;
        if (stored.isValid())
            f.defaults.standard().set(u"secure_access_token"_s, stored);
        f.server.on("GET", ApiPath::me, StubServer::Response::json(200, "{}"));
        const auto outcome = outcomeOf(f.client.request<UserResponse>(path, u"GET"_s, std::nullopt, true));
        QCOMPARE(outcome.description(), error);
        QTest::qWait(50);
        QVERIFY(f.server.requests().isEmpty());
    }

    void statusesBecomeErrors_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("kind");
        const int http = int(APIError::Kind::HttpError);
        QTest::newRow("401 with JSON body") << 401 << QByteArray(R"({"error":"token expired"})") << u"Unauthorized"_s
                                            << int(APIError::Kind::Unauthorized);
        QTest::newRow("403") << 403 << QByteArray("nope") << u"Forbidden"_s << int(APIError::Kind::Forbidden);
        QTest::newRow("404") << 404 << QByteArray() << u"Not found"_s << int(APIError::Kind::NotFound);
        QTest::newRow("409 not UTF-8") << 409 << QByteArray("\xff\xfe\xfd") << u"HTTP 409: Conflict"_s << http;
        QTest::newRow("409 text") << 409 << QByteArray(R"({"error":"Email already registered"})")
                                  << uR"(HTTP 409: {"error":"Email already registered"})"_s << http;
        QTest::newRow("429 not UTF-8") << 429 << QByteArray("\xc3") << u"HTTP 429: Rate limited"_s << http;
        QTest::newRow("500 not UTF-8") << 500 << QByteArray("\x80") << u"HTTP 500: Unknown error"_s << http;
        QTest::newRow("400") << 400 << QByteArray("bad") << u"HTTP 400: bad"_s << http;
    }

    void statusesBecomeErrors()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, description);
        QFETCH(int, kind);
        ClientFixture f;
        f.server.on("POST", u"/auth/register"_s, StubServer::Response::text(status, body));
        Log::Capture log;
        const auto outcome = outcomeOf(f.client.post<RegisterResponse>(
            ApiPath::registration, RegisterRequest{u"a@b.c"_s, u"pw"_s}, false));
        const auto error = outcome.errorAs<APIError>();
        QVERIFY2(error, qPrintable(outcome.description()));
        QCOMPARE(int(error->kind()), kind);
        QCOMPARE(error->description(), description);
        if (error->kind() == APIError::Kind::HttpError)
            QCOMPARE(error->statusCode(), status);
        QVERIFY(log.matching(u"📄"_s).isEmpty()); // error bodies are not logged
    }

    // Cut to 500 characters, a flag of two code points counting as one, but
    // decoded whole; which secrets are masked is the mask's own test.
    void answersAreLoggedMaskedAndCut_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<QString>>("logged");
        const auto row = [](const char *name, const QByteArray &body, const std::optional<QString> &logged) {
            QTest::newRow(name) << body << logged;
        };
        row("token pair", kTokenBody, uR"({"access_token":"***","refresh_token":"***","expires_in":3600})"_s);
        const QString ascii = u"{\"message\":\""_s + QString(700, u'm') + u"\"}"_s;
        row("ASCII", ascii.toUtf8(), ascii.left(500));
        QString flags = u"{\"message\":\""_s;
        for (int i = 0; i < 600; ++i)
            flags += u"🇮🇪"_s;
        row("flags", QString(flags + u"\"}"_s).toUtf8(), flags.left(12 + 488 * 4));
        row("not UTF-8", "{\"access_token\":\"AT-secret-1\xff\"}", std::nullopt);
    }

    void answersAreLoggedMaskedAndCut()
    {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<QString>, logged);
        ClientFixture f;
        f.tokens.save(u"RT-old"_s, u"refresh_token"_s);
        f.server.on("POST", u"/auth/login"_s, StubServer::Response::json(200, body));
        Log::Capture log;
        const auto outcome = outcomeOf(
            f.client.post<LoginResponse>(ApiPath::login, LoginRequest{u"a@b.c"_s, u"hunter2"_s}, false));
        if (body == kTokenBody)
            QCOMPARE(outcome.value->accessToken, u"AT-secret-1"_s); // the decoded values are whole
        if (!logged)
            QVERIFY2(outcome.errorAs<DecodeError>(), qPrintable(outcome.description()));
        const QString prefix = u"📄 AuthAPI: Raw response: "_s;
        QCOMPARE(log.lines(Log::Destination::SystemLog),
                 logged ? QStringList{prefix + *logged} : QStringList());
        const QString all = log.lines().join(u'\n');
        for (const QString &secret : {u"AT-secret"_s, u"RT-secret"_s, u"RT-old"_s, u"hunter2"_s})
            QVERIFY2(!all.contains(secret), qPrintable(all));
    }

    // Each waiter resumes with the refresh no longer marked as running, so a
    // call made from it starts afresh. A token another process stored since
    // the refused one is used as it is.
    void refreshesShareOneRequestAndTakeATokenAnotherProcessStored()
    {
        ClientFixture f;
        f.server.on("POST", u"/auth/refresh"_s, StubServer::Response::json(200, kTokenBody).after(150ms));
        QCOMPARE(outcomeOf(f.client.refreshAccessToken()).errorAs<APIError>(), APIError::missingAccessToken());
        QVERIFY(!f.client.isRefreshing());
        QVERIFY(f.server.requests().isEmpty());

        f.tokens.save(u"AT-old"_s, u"access_token"_s);
        f.tokens.save(u"RT-old"_s, u"refresh_token"_s);
        QList<bool> stillRunning;
        auto waiter = [](APIClient *client, QList<bool> *seen) -> QCoro::Task<Outcome<Done>> {
            QCoro::Task<Outcome<Done>> refreshing = captured(client->refreshAccessToken());
            auto outcome = co_await std::move(refreshing);
            seen->append(client->isRefreshing());
            co_return outcome;
        };
        auto first = waiter(&f.client, &stillRunning);
        auto second = waiter(&f.client, &stillRunning);
        QVERIFY(f.client.isRefreshing());
        const auto a = QCoro::waitFor(std::move(first));
        const auto b = QCoro::waitFor(std::move(second));
        QVERIFY2(a.value && b.value, qPrintable(a.description() + u" / "_s + b.description()));
        QCOMPARE(stillRunning, (QList<bool>{false, false}));
        QCOMPARE(f.server.requests().size(), 1);
        QCOMPARE(f.server.requests().constFirst().body, QByteArray(R"({"refresh_token":"RT-old"})"));
        QCOMPARE(f.tokens.retrieveString(u"access_token"_s), u"AT-secret-1"_s);
        QCOMPARE(f.tokens.retrieveString(u"refresh_token"_s), u"RT-secret-1"_s);

        {
            UserDefaults otherProcess(f.defaults.standardPath());
            KeychainManager(otherProcess, f.keychain).save(u"AT-other"_s, u"access_token"_s);
        }
        QCOMPARE(QCoro::waitFor(f.client.renewedAccessToken(u"AT-secret-1"_s)), u"AT-other"_s);
        QCOMPARE(f.server.requests().size(), 1);
    }

    // A reset or a body cut short, in every flow, are the hostile server's.
    void failedTransportsEndInATransportError_data()
    {
        QTest::addColumn<std::optional<StubServer::Response>>("answer");
        QTest::addColumn<int>("totalMs");
        QTest::addColumn<int>("error");
        const int timeout = int(QNetworkReply::TimeoutError);
        QTest::newRow("closed port") << std::optional<StubServer::Response>() << 5000 << int(QNetworkReply::ConnectionRefusedError);
        QTest::newRow("stalled server") << std::optional(StubServer::Response::stall()) << 5000 << timeout;
        QTest::newRow("over the total limit") << std::optional(StubServer::Response::stall()) << 400 << timeout;
    }

    void failedTransportsEndInATransportError()
    {
        QFETCH(std::optional<StubServer::Response>, answer);
        QFETCH(int, totalMs);
        QFETCH(int, error);
        ClientFixture f;
        const QString base = answer ? f.server.baseUrl() : u"http://127.0.0.1:"_s + QString::number(StubServer::closedPort());
        APIClient client(f.tokens, Endpoints::at(base));
        // The transfer limit alone ends a stall unless the total limit comes first.
        client.setTimeouts(totalMs < 5000 ? 5s : 300ms, std::chrono::milliseconds(totalMs));
        if (answer)
            f.server.on("POST", u"/auth/login"_s, *answer);
        QElapsedTimer clock;
        clock.start();
        const auto outcome = outcomeOf(client.post<LoginResponse>(ApiPath::login, LoginRequest{u"a@b.c"_s, u"pw"_s}, false));
        const auto transport = outcome.errorAs<TransportError>();
        QVERIFY2(transport, qPrintable(outcome.description()));
        QCOMPARE(int(transport->error()), error);
        QVERIFY(!transport->description().isEmpty());
        if (transport->isTimeout())
            QCOMPARE(transport->description(), u"The request timed out."_s);
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    }

    void endpointsComeFromTheBuildUnlessTheEnvironmentSaysOtherwise()
    {
        const char *names[] = {"VELORIN_BACKEND_URL", "VELORIN_AUTH_BASE_URL", "VELORIN_VPN_API_HOST"};
        const QString dev = u"http://127.0.0.1:8787"_s;
        const struct
        {
            QStringList environment; // backend, auth, VPN host; empty: unset
            QString auth, vpnHost;
        } cases[] = {
            {{{}, {}, {}}, dev, dev},
            {{u"http://127.0.0.1:9999/"_s, {}, {}}, u"http://127.0.0.1:9999"_s, u"http://127.0.0.1:9999"_s},
            {{u"http://127.0.0.1:9999"_s, u"https://auth.example"_s, {}}, u"https://auth.example"_s, u"http://127.0.0.1:9999"_s},
            {{{}, u"http://a:1"_s, u"http://v:2//"_s}, u"http://a:1"_s, u"http://v:2"_s},
        };
        for (const auto &c : cases) {
            for (int i = 0; i < 3; ++i)
                c.environment[i].isEmpty() ? qunsetenv(names[i]) : qputenv(names[i], c.environment[i].toUtf8());
            const Endpoints endpoints = Endpoints::fromBuild();
            for (const char *name : names)
                qunsetenv(name);
            QCOMPARE((QStringList{endpoints.authBaseURL, endpoints.vpnApiHostURL, endpoints.vpnApiBaseURL()}),
                     (QStringList{c.auth, c.vpnHost, c.vpnHost + u"/api/v1"_s}));
        }
    }

    void syncStoresTheRecordAndComparesTheStatusExactly()
    {
        Fixture f;
        f.server.on("GET", kStatusPath, StubServer::Response::json(200, statusBody(u"active"_s)));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(!f.sync());

        const auto request = f.server.requests().constFirst();
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer AT-1"));
        QVERIFY(!request.hasHeader("Content-Type"));

        const QJsonObject stored = QJsonDocument::fromJson(*f.defaults.appGroup().data(u"current_entitlement"_s)).object();
        QCOMPARE(stored.keys(), (QStringList{u"expiresAt"_s, u"isActive"_s, u"lastVerified"_s, u"provider"_s}));
        QCOMPARE(stored.value(u"expiresAt"_s).toDouble(), 791553600.0);
        QCOMPARE(stored.value(u"provider"_s).toString(), u"personal_yearly"_s);

        UserDefaults nextStart(f.defaults.appGroupPath());
        EntitlementManager next(nextStart, Endpoints::at(f.server.baseUrl()));
        const auto cache = next.loadCachedEntitlement();
        QVERIFY(cache);
        QVERIFY(cache->isActive);
        QCOMPARE(cache->expiresAt, QDateTime(QDate(2026, 1, 31), QTime(12, 0), Qt::UTC));
        QVERIFY(cache->lastVerified >= before && cache->lastVerified <= QDateTime::currentDateTimeUtc());

        for (const QString &status : {u"Active"_s, u"trial"_s}) {
            f.server.on("GET", kStatusPath, StubServer::Response::json(200, statusBody(status)));
            QVERIFY(!f.sync());
            QVERIFY(!f.entitlements.loadCachedEntitlement()->isActive);
        }

        // A cleared record, or one missing members, reads as none.
        f.entitlements.clearCache();
        QVERIFY(!f.entitlements.loadCachedEntitlement());
        f.defaults.appGroup().set(u"current_entitlement"_s, QByteArray("{\"isActive\":true}"));
        QVERIFY(!f.entitlements.loadCachedEntitlement());
    }

    void failuresKeepTheOldRecord_data()
    {
        QTest::addColumn<StubServer::Response>("response");
        QTest::addColumn<QString>("error");
        QTest::newRow("fractional seconds")
            << StubServer::Response::json(200, statusBody(u"active"_s, u"2027-01-31T12:00:00.5Z"_s))
            << u"Cannot decode date: 2027-01-31T12:00:00.5Z"_s;
        QTest::newRow("401") << StubServer::Response::json(401, R"({"error":"expired"})")
                             << u"Subscription status request unauthorized"_s;
        QTest::newRow("201") << StubServer::Response::json(201, statusBody(u"active"_s))
                             << u"Subscription status server error"_s;
    }

    void failuresKeepTheOldRecord()
    {
        QFETCH(StubServer::Response, response);
        QFETCH(QString, error);
        Fixture f;
        f.entitlements.saveEntitlement(true, QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC), u"monthly"_s);
        const QByteArray before = *f.defaults.appGroup().data(u"current_entitlement"_s);
        f.server.on("GET", kStatusPath, response);
        const std::exception_ptr thrown = f.sync();
        QVERIFY(thrown);
        QVERIFY2(describe(thrown).contains(error), qPrintable(describe(thrown)));
        QCOMPARE(*f.defaults.appGroup().data(u"current_entitlement"_s), before);
    }

    void registrationSendsThisComputerThenFetches()
    {
        Fixture f(true);
        f.server.on("POST", u"/api/v1/devices/register"_s,
                    StubServer::Response::json(201, R"({"status":"ok","message":"Device registered","device_id":"x"})"));
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody()));
        Log::Capture log;
        QCoro::waitFor(f.devices.registerDevice());

        const QString id = f.services.identifier.storedDeviceId().value_or(QString());
        QVERIFY(QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s).match(id).hasMatch());
        const auto sent = f.server.requests();
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0].body, "{\"device_id\":\"" + id.toUtf8() + "\",\"device_name\":\"Test Computer\","
                                   "\"platform\":\"linux\",\"app_version\":\"2.5\"}");
        for (const auto &request : sent) {
            QCOMPARE(request.header("Authorization"), QByteArray("Bearer AT-1"));
            QCOMPARE(request.header("User-Agent"), QByteArray("VelorinSecure-iOS/2.5"));
        }
        QCOMPARE(sent[0].header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!sent[1].hasHeader("Content-Type"));
        QCOMPARE(f.devices.devices().size(), 2);

        for (const QString &line : log.lines())
            QVERIFY2(!line.contains(id), qPrintable(line));
    }

    // Only the device limit opens the sheet; only a refusal the user can act
    // on shows a message.
    void registrationRefusals_data()
    {
        QTest::addColumn<StubServer::Response>("response");
        QTest::addColumn<std::optional<QString>>("error");
        QTest::addColumn<bool>("limitSheet");
        const QByteArray limit = "{\"error\":\"Device limit reached\",\"detail\":{\"devices\":[" + device(u"A"_s, true) + ","
            + device(u"B"_s, false) + "," + device(u"C"_s, true) + "],\"device_limit\":3,\"active_count\":3,\"can_add_more\":false}}";
        QTest::newRow("limit") << StubServer::Response::json(403, limit) << std::optional<QString>() << true;
        QTest::newRow("detail text") << StubServer::Response::json(403, R"({"detail":"Subscription expired"})")
                                     << std::optional<QString>(u"Subscription expired"_s) << false;
        QTest::newRow("401") << StubServer::Response::json(401, "{}")
                             << std::optional<QString>(u"Session expired. Please log in again."_s) << false;
        QTest::newRow("500 not UTF-8") << StubServer::Response::text(502, "\xff\xfe") << std::optional<QString>() << false;
    }

    void registrationRefusals()
    {
        QFETCH(StubServer::Response, response);
        QFETCH(std::optional<QString>, error);
        QFETCH(bool, limitSheet);
        Fixture f(true);
        f.server.on("POST", u"/api/v1/devices/register"_s, response);
        QCoro::waitFor(f.devices.registerDevice());
        QCOMPARE(f.devices.errorMessage(), error);
        QCOMPARE(f.devices.showDeviceLimitSheet(), limitSheet);
        QCOMPARE(f.devices.deviceLimitDevices().size(), limitSheet ? 2 : 0);
        QCOMPARE(f.devices.activeDeviceCount(), limitSheet ? 3 : 0);
        QCOMPARE(f.server.requests().size(), 1);
    }

    void listFailures_data()
    {
        QTest::addColumn<StubServer::Response>("response");
        QTest::addColumn<QString>("error");
        QTest::newRow("401") << StubServer::Response::json(401, "{}") << u"Session expired"_s;
        QTest::newRow("500") << StubServer::Response::text(500, "down") << u"Failed to load devices"_s;
        QTest::newRow("not a list") << StubServer::Response::json(200, R"({"devices":{}})")
                                    << u"Network error: Wrong type for key \"devices\": expected array, found object"_s;
        QTest::newRow("reset") << StubServer::Response::close() << u"Network error: "_s;
    }

    void listFailures()
    {
        QFETCH(StubServer::Response, response);
        QFETCH(QString, error);
        Fixture f(true);
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody()));
        QCoro::waitFor(f.devices.fetchDevices());
        f.server.on("GET", u"/api/v1/devices"_s, response);
        QSignalSpy loading(&f.devices, &DeviceManager::isLoadingChanged);
        QCoro::waitFor(f.devices.fetchDevices());
        QVERIFY2(f.devices.errorMessage().value_or(QString()).startsWith(error), qPrintable(f.devices.errorMessage().value_or(QString())));
        QCOMPARE(loading.size(), 2);
        QVERIFY(!f.devices.isLoading());
        QCOMPARE(f.devices.devices().size(), 2); // the earlier list stays
    }

    void revokeRemovesTheDeviceEvenWhenItIsThisOne()
    {
        Fixture f(true);
        const QString mine = f.services.identifier.currentDeviceId();
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody(mine)));
        QCoro::waitFor(f.devices.fetchDevices());
        QVERIFY(f.devices.isCurrentDevice(f.devices.devices().first()));
        QVERIFY(!f.devices.isCurrentDevice(f.devices.devices().last()));

        f.server.on("POST", u"/api/v1/devices/revoke"_s, StubServer::Response::json(200, R"({"status":"ok","message":"Device removed"})"));
        QCoro::waitFor(f.devices.revokeDevice(mine));
        QCOMPARE(f.server.requests().last().body, "{\"device_id\":\"" + mine.toUtf8() + "\"}");
        QCOMPARE(f.devices.devices().size(), 1);
        QCOMPARE(f.devices.activeDeviceCount(), 4);

        f.server.on("POST", u"/api/v1/devices/revoke"_s, StubServer::Response::json(404, R"({"error":"Unknown device"})"));
        QCoro::waitFor(f.devices.revokeDevice(u"CCCCCCCC-3"_s));
        QCOMPARE(f.devices.errorMessage(), u"Failed to remove device"_s);
        QCOMPARE(f.devices.devices().size(), 1);
        QVERIFY(!f.devices.isLoading());
    }

    void platformIcons()
    {
        const std::pair<std::optional<QString>, QString> icons[] = {
            {std::nullopt, u"questionmark.circle"_s}, {u"MACOS"_s, u"laptopcomputer"_s}, {u"iOS"_s, u"iphone"_s},
            {u"Linux"_s, u"desktopcomputer"_s}, {u"android"_s, u"questionmark.circle"_s}};
        for (const auto &[platform, icon] : icons) {
            RegisteredDevice device;
            device.platform = platform;
            QCOMPARE(device.platformIcon(), icon);
        }
    }

    void signedOutComputer()
    {
        Fixture f;
        QCoro::waitFor(f.devices.registerDevice());
        QCoro::waitFor(f.devices.fetchDevices());
        QCoro::waitFor(f.devices.revokeDevice(u"AAAAAAAA-1"_s));
        QVERIFY(f.server.requests().isEmpty());
        QVERIFY(!f.services.identifier.storedDeviceId());

        const std::pair<QByteArray, std::optional<QString>> names[] = {
            {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Laptop\\\"\"\n", u"Ada's \"Laptop\""_s},
            {"  PRETTY_HOSTNAME=studio # comment", u"studio"_s},
            {"PRETTY_HOSTNAME=\"\"", std::nullopt}};
        for (const auto &[machineInfo, name] : names) {
            QCOMPARE(DeviceManager::prettyHostName(machineInfo), name);
            f.devices.setComputerNameSource([name = name] { return name; });
            QCOMPARE(f.devices.computerName(), name.value_or(u"Mac"_s));
        }
    }

    void messages_data()
    {
        QTest::addColumn<std::shared_ptr<std::exception>>("error");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, auto error, const QString &message) {
            QTest::newRow(name) << std::shared_ptr<std::exception>(new decltype(error)(error)) << message;
        };
        row("401 error member", APIError::httpError(401, uR"({"error":"Account locked"})"_s), u"Account locked"_s);
        row("401 empty", APIError::httpError(401, {}), u"Invalid email or password"_s);
        row("429 plain text", APIError::httpError(429, u"slow down"_s), u"Too many attempts. Please try again later."_s);
        row("error wins over message", APIError::httpError(400, uR"({"message":"m","error":"e"})"_s), u"e"_s);
        row("500 empty", APIError::httpError(500, {}), u"Login failed (500)"_s);
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
        QVERIFY(f.entitlements.loadCachedEntitlement()->isActive);
        QCOMPARE(f.server.requests("POST", u"/api/v1/devices/register"_s).size(), 1);

        // A failed sync on the next sign-in leaves the user signed in, with no message.
        f.auth.signOut();
        f.server.on("GET", kStatusPath, StubServer::Response::empty(500));
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

    void signOutKeepsTheDeviceIdentifierAndForgetsTheAccount()
    {
        Fixture f;
        QCoro::waitFor(f.auth.login(u"ada@example.com"_s, u"pw-secret"_s));
        f.notices.clear();
        QCOMPARE(f.devices.devices().size(), 1);
        const QString deviceId = *f.services.identifier.storedDeviceId();
        f.auth.signOut();
        // The next account must not see this one's devices.
        QVERIFY(f.devices.devices().isEmpty());
        QCOMPARE(f.devices.maxDevices(), 3);
        QCOMPARE(f.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(f.notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, false}}}));
        QVERIFY(!f.token(u"access_token"_s) && !f.token(u"refresh_token"_s));
        QCOMPARE(f.token(u"device_id"_s), deviceId);
        QVERIFY(!f.entitlements.loadCachedEntitlement());

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

    // The account services against the real development backend.
    void signUpRestartAndDeviceLimitOnTheDevelopmentBackend()
    {
        QTemporaryDir data;
        DevServerProcess server(data.path(), DevServerProcess::fastArguments() + QStringList{u"--device-limit"_s, u"1"_s});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString email = u"ada@example.com"_s;
        const QString password = u"correct horse battery"_s;
        const QString base = server.url().toString();
        TempDefaults defaults;
        FakeKeychain keychain;
        QString deviceId;
        QString userId;
        {
            AccountServices app(defaults, keychain, base);
            QCoro::waitFor(app.auth.registerAccount(email, password));
            QCOMPARE(app.auth.pendingVerificationEmail(), email);
            QCOMPARE(app.auth.authState(), AuthState::unauthenticated());
            QCoro::waitFor(app.auth.verifyEmail(email, server.lastCode(email)));
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
        QCoro::waitFor(other.auth.login(email, password));
        QVERIFY(other.auth.authState().isAuthenticated());
        QVERIFY(other.devices.showDeviceLimitSheet());
        QCOMPARE(other.devices.deviceLimitDevices().first().deviceId, deviceId);
        QCOMPARE(other.devices.maxDevices(), 1);
        QCoro::waitFor(other.devices.revokeDevice(deviceId));
        QVERIFY(!other.devices.errorMessage());
        QCoro::waitFor(other.devices.registerDevice());
        QCOMPARE(other.devices.devices().size(), 1);
        QVERIFY(other.devices.isCurrentDevice(other.devices.devices().first()));
        QVERIFY(server.stop());
    }

    // Access tokens that last 3 s, and the command line on the same token store.
    void sessionsOutliveShortLivedTokensOnTheDevelopmentBackend()
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
        notices.clear();
        QCoro::waitFor(app.devices.fetchDevices());
        QCOMPARE(app.devices.errorMessage(), u"Session expired"_s);
        QCOMPARE(app.auth.authState(), AuthState::unauthenticated());
        QCOMPARE(app.auth.errorMessage(), u"Session expired. Please log in again."_s);
        QVERIFY(!app.tokens.contains(KeychainManager::refreshTokenKey));
        QCOMPARE(notices, (QList<QVariantMap>{{{u"isAuthenticated"_s, false}}}));
        QTRY_VERIFY(!cliTokens.contains(KeychainManager::accessTokenKey));
    }
};

QTEST_GUILESS_MAIN(TestBackend)
#include "tst_backend.moc"
