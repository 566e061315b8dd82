#include "backend/APIClient.h"
#include "model/AuthMessages.h"
#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/BackendFixture.h"
#include "support/ServiceRig.h"

#include <QtTest>

#include <QCoro/QCoroTask>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A bare client: no other service reacts to what it does.
struct Fixture : ServiceRig
{
    APIClient client;

    explicit Fixture(std::optional<QString> version = u"2.5"_s)
        : ServiceRig({})
        , client(tokens, endpoints(std::nullopt), nullptr, [version] { return AppInfo(version, {}); })
    {
        client.setTimeouts(2s, 5s);
    }
};

const QByteArray kTokenBody = R"({"access_token":"AT-secret-1","refresh_token":"RT-secret-1","expires_in":3600})";

} // namespace

class TestAPIClient : public QObject
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
        Fixture f(version);
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
        Fixture f;
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

    // (The renewal ahead of a known expiry is the account flow's.)
    void renewalUsesATokenAnotherProcessStored()
    {
        Fixture f;
        f.tokens.save(u"AT-old"_s, u"access_token"_s);
        f.tokens.save(u"RT-old"_s, u"refresh_token"_s);
        f.server.on("POST", u"/auth/refresh"_s, StubServer::Response::json(200, kTokenBody));
        {
            UserDefaults otherProcess(f.defaults.standardPath());
            KeychainManager(otherProcess, f.keychain).save(u"AT-other"_s, u"access_token"_s);
        }
        QCOMPARE(QCoro::waitFor(f.client.renewedAccessToken(u"AT-old"_s)), u"AT-other"_s);
        QVERIFY(f.server.requests().isEmpty());
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
        Fixture f;
        if (stored.isValid())
            f.defaults.standard().set(u"secure_access_token"_s, stored);
        f.server.on("GET", ApiPath::me, StubServer::Response::json(200, "{}"));
        const auto outcome = outcomeOf(f.client.request<UserResponse>(path, u"GET"_s, std::nullopt, true));
        QVERIFY(!outcome.value);
        QCOMPARE(outcome.errorAs<APIError>(),
                 path == ApiPath::me ? APIError::missingAccessToken() : APIError::invalidURL(path));
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
        Fixture f;
        f.server.on("POST", u"/auth/register"_s, StubServer::Response::text(status, body));
        Log::Capture log;
        const auto outcome = outcomeOf(f.client.post<RegisterResponse>(
            ApiPath::registration, RegisterRequest{u"a@b.c"_s, u"pw"_s}, false));
        QVERIFY(!outcome.value);
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
        Fixture f;
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
    // call made from it starts afresh.
    void concurrentRefreshesShareOneRequest()
    {
        Fixture f;
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
        Fixture f;
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
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
