// Every network flow against a server that answers badly: each must end in
// its error state within its time-out, the event loop must keep turning, and
// what the client stored before must stay (a failed restore may sign out).
#include "backend/DeviceManager.h"
#include "platform/Log.h"
#include "support/BackendFixture.h"
#include "support/FakeSystemVpn.h"
#include "support/ProxyClient.h"
#include "support/ServiceRig.h"
#include "support/StubServer.h"
#include "support/Watchdog.h"
#include "support/XrayRig.h"
#include "vpn/ConfigRequest.h"
#include "vpn/ServerManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"
#include "vpn/wireguard/WireGuardService.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

enum class Flow { SignIn, Restore, Register, List, Revoke, Entitlements, IKEv2, WireGuard, Xray };
enum class Hostility { CutJson, CutConnection, WrongTypes, Huge, HugeUnannounced, Drip, Reset, WrongStatus };

constexpr auto kTimeout = 1500ms;
constexpr qint64 kSlackMs = 1500;
// CPU time the event loop may work without turning; the stub's own writes
// count, as it shares the loop. ThreadSanitizer slows the 10 MB rows tenfold.
#if defined(__SANITIZE_THREAD__)
constexpr qint64 kMaxBusyMs = 1500;
#else
constexpr qint64 kMaxBusyMs = 100;
#endif

const QByteArray kRevoked = R"({"status":"ok","message":"Device removed"})";
const QByteArray kIKEv2 = R"({"protocol":"ikev2","server_address":"203.0.113.10","server_id":"vpn.example.net","remote_id":"vpn.example.net","local_id":"user-1@velorin","username":"user-1","password":"eap-secret","ca_name":"Velorin VPN CA","server_name":"US","server_location":"San Francisco, US"})";
const QByteArray kWireGuard =
    R"({"interface_private_key":"cGx1bS1wcml2YXRlLWtleS1mb3ItdGVzdHMtb25seS0=","interface_address":"10.66.0.7/32","interface_dns":"10.66.0.1","peer_public_key":"IxcfPpUFvgWJvdyFio2mIhLj9aSFzsYXfJzdWKfOKLM=","peer_endpoint":"203.0.113.10:51820","peer_allowed_ips":"0.0.0.0/0","server_name":"sg-node-01","server_location":"Singapore, SG"})";

QByteArray wrongTypes(const QByteArray &good)
{
    QJsonObject object = QJsonDocument::fromJson(good).object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue v = it.value();
        if (v.isString())
            it.value() = 7;
        else if (v.isDouble())
            it.value() = u"7"_s;
        else if (v.isBool())
            it.value() = QJsonArray{true};
        else
            it.value() = false;
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

StubServer::Response hostile(Hostility hostility, const QByteArray &good)
{
    switch (hostility) {
    case Hostility::CutJson:
        return StubServer::Response::json(200, good.left(good.size() / 2));
    case Hostility::CutConnection:
        return StubServer::Response::rawBytes("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                                              + QByteArray::number(good.size()) + "\r\n\r\n" + good.left(good.size() / 2))
            .thenClose();
    case Hostility::WrongTypes:
        return StubServer::Response::json(200, wrongTypes(good));
    case Hostility::Huge:
        return StubServer::Response::json(200, "{\"detail\":\"" + QByteArray(10 * 1024 * 1024, 'a') + "\"}");
    case Hostility::HugeUnannounced:
        return StubServer::Response::rawBytes("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
                                              + QByteArray(10 * 1024 * 1024, ' '))
            .thenClose();
    case Hostility::Drip:
        // Each byte well within the idle limit, the whole takes minutes.
        return StubServer::Response::json(200, good + QByteArray(8000, ' ')).dripped(20ms);
    case Hostility::Reset:
        return StubServer::Response::close();
    case Hostility::WrongStatus:
        return StubServer::Response::text(418, "<html>I'm a teapot</html>");
    }
    return {};
}

struct Stored
{
    std::optional<QString> accessToken;
    std::optional<QString> refreshToken;
    std::optional<QString> deviceId;
    QVariant subscription;
    QVariant selection;

    static Stored of(KeychainManager &tokens, TempDefaults &defaults)
    {
        return {tokens.retrieveString(KeychainManager::accessTokenKey),
                tokens.retrieveString(KeychainManager::refreshTokenKey),
                tokens.retrieveString(KeychainManager::deviceIdKey), defaults.appGroup().value(EntitlementManager::cacheKey),
                defaults.standard().value(ServerManager::selectedServerKey)};
    }
    bool operator==(const Stored &) const = default;
};

void seed(KeychainManager &tokens, TempDefaults &defaults, bool signedIn)
{
    if (signedIn) {
        tokens.save(u"AT-old"_s, KeychainManager::accessTokenKey);
        tokens.save(u"RT-old"_s, KeychainManager::refreshTokenKey);
    }
    tokens.save(u"AAAAAAAA-0000-4000-8000-000000000001"_s, KeychainManager::deviceIdKey);
    defaults.standard().set(ServerManager::selectedServerKey, u"sg-node-01"_s);
    defaults.appGroup().set(EntitlementManager::cacheKey,
                            EntitlementCache{true, QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC),
                                             QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC), u"monthly"_s}
                                .toJson());
}

} // namespace

Q_DECLARE_METATYPE(Flow)
Q_DECLARE_METATYPE(Hostility)

class TestHostileServer : public QObject
{
    Q_OBJECT

    struct Outcome
    {
        bool ended = false;
        bool inErrorState = false;
        QString state;
        qint64 tookMs = 0;
        qint64 worstGapMs = 0;
        qint64 worstBusyMs = 0;
        Stored before;
        Stored after;
    };

    static Outcome runAccountFlow(Flow flow, Hostility hostility)
    {
        // Each flow's request and the good answer the hostile one is made from.
        static const QHash<Flow, std::tuple<QByteArray, QString, QByteArray>> target{
            {Flow::SignIn, {"POST", u"/auth/login"_s, BackendFixture::tokens}},
            {Flow::Restore, {"POST", u"/auth/refresh"_s, BackendFixture::tokens}},
            {Flow::Register, {"POST", u"/api/v1/devices/register"_s, BackendFixture::registered}},
            {Flow::List, {"GET", u"/api/v1/devices"_s, BackendFixture::devices}},
            {Flow::Revoke, {"POST", u"/api/v1/devices/revoke"_s, kRevoked}},
            {Flow::Entitlements, {"GET", u"/api/v1/subscriptions/status"_s, BackendFixture::subscription}},
        };
        BackendFixture backend;
        backend.serveAccount();
        const auto &[method, path, good] = target[flow];
        backend.server.on(method, path, hostile(hostility, good));

        AccountServices &app = backend.services;
        app.api.setTimeouts(kTimeout, kTimeout);
        app.devices.setTimeout(kTimeout);
        app.entitlements.setTimeout(kTimeout);
        seed(app.tokens, backend.defaults, flow != Flow::SignIn);

        Outcome outcome;
        outcome.before = Stored::of(app.tokens, backend.defaults);
        std::exception_ptr thrown;
        // Watched from here: the stub's own set-up (a 10 MB body) is not the client's.
        Watchdog watchdog;
        QElapsedTimer clock;
        clock.start();
        switch (flow) {
        case Flow::SignIn:
            thrown = runToEnd(app.auth.login(u"ada@example.com"_s, u"pw-secret"_s));
            outcome.inErrorState = !app.auth.authState().isAuthenticated() && app.auth.errorMessage()
                && !app.auth.isLoading();
            outcome.state = app.auth.errorMessage().value_or(u"(no message)"_s);
            break;
        case Flow::Restore:
            thrown = runToEnd(app.auth.restoreSession());
            outcome.inErrorState = app.auth.authState() == AuthState::unauthenticated() && !app.auth.isCheckingSession();
            outcome.state = app.auth.authState().isAuthenticated() ? u"authenticated"_s : u"signed out"_s;
            break;
        case Flow::Register:
            thrown = runToEnd(app.devices.registerDevice());
            outcome.inErrorState = !app.devices.isLoading() && app.devices.devices().isEmpty()
                && !app.devices.showDeviceLimitSheet();
            outcome.state = app.devices.errorMessage().value_or(u"(no message)"_s);
            break;
        case Flow::List:
        case Flow::Revoke:
            thrown = runToEnd(flow == Flow::List ? app.devices.fetchDevices() : app.devices.revokeDevice(u"D-2"_s));
            outcome.inErrorState = !app.devices.isLoading() && app.devices.errorMessage().has_value();
            outcome.state = app.devices.errorMessage().value_or(u"(no message)"_s);
            break;
        case Flow::Entitlements:
            thrown = runToEnd(app.entitlements.syncWithBackend(u"AT-old"_s));
            outcome.inErrorState = thrown != nullptr;
            outcome.state = describe(thrown);
            break;
        default:
            break;
        }
        if (flow != Flow::Entitlements && thrown)
            outcome.state += u" / threw: "_s + describe(thrown);
        outcome.ended = true;
        outcome.tookMs = clock.elapsed();
        outcome.worstGapMs = watchdog.worstGapMs();
        outcome.worstBusyMs = watchdog.worstBusyMs();
        outcome.after = Stored::of(app.tokens, backend.defaults);
        return outcome;
    }

    static Outcome runConfigFlow(Flow flow, Hostility hostility)
    {
        Outcome outcome;
        // `failed`: the message the service must end with.
        const auto finish = [&outcome](VPNServiceProtocol &service, const std::function<Stored()> &stored,
                                       const QString &failed) {
            outcome.before = stored();
            Watchdog watchdog;
            QElapsedTimer clock;
            clock.start();
            service.connect(u"203.0.113.10"_s, u"sg-node-01"_s);
            outcome.ended = ProxyClient::spinUntil([&] { return service.connectionState().isError(); },
                                                   int(kTimeout.count() + kSlackMs));
            outcome.tookMs = clock.elapsed();
            outcome.worstGapMs = watchdog.worstGapMs();
            outcome.worstBusyMs = watchdog.worstBusyMs();
            outcome.inErrorState = service.connectionState() == VPNConnectionState::error(failed);
            outcome.state = service.connectionState().description();
            outcome.after = stored();
        };
        if (flow == Flow::Xray) {
            XrayTest::Rig rig;
            rig.server.on("GET", u"/api/v1/xray/config"_s,
                          hostile(hostility, QJsonDocument(XrayTest::configBody()).toJson(QJsonDocument::Compact)));
            seed(rig.keychain, rig.defaults, true);
            finish(rig.make(), [&] { return Stored::of(rig.keychain, rig.defaults); }, XrayService::fetchFailedMessage);
            return outcome;
        }
        ServiceRig rig({});
        seed(rig.tokens, rig.defaults, true);
        const auto stored = [&] { return Stored::of(rig.tokens, rig.defaults); };
        if (flow == Flow::IKEv2) {
            rig.server.on("GET", u"/api/v1/ikev2/config"_s, hostile(hostility, kIKEv2));
            FakeSystemVpn vpn;
            IKEv2Manager manager(vpn, rig.keychain, rig.tokens, rig.endpoints(std::nullopt));
            IKEv2Service service(manager);
            const bool malformed = hostility == Hostility::CutJson || hostility == Hostility::WrongTypes;
            finish(service, stored,
                   hostility == Hostility::WrongStatus ? u"The VPN service could not provide a configuration (HTTP 418)."_s
                       : malformed                     ? IKEv2Manager::invalidConfigMessage
                                                       : IKEv2Manager::unreachableMessage);
        } else {
            rig.server.on("GET", u"/api/v1/wireguard/config"_s, hostile(hostility, kWireGuard));
            WireGuardService service(rig.tokens, rig.endpoints(std::nullopt));
            finish(service, stored, WireGuardService::fetchFailedMessage);
        }
        return outcome;
    }

private slots:
    void initTestCase() { ConfigRequest::setTimeout(kTimeout); }
    void cleanupTestCase() { ConfigRequest::setTimeout(ConfigRequest::defaultTimeout); }

    void everyFlowFailsCleanly_data()
    {
        QTest::addColumn<Flow>("flow");
        QTest::addColumn<Hostility>("hostility");
        const QList<QPair<const char *, Flow>> flows{
            {"sign-in", Flow::SignIn},   {"restore", Flow::Restore},     {"register", Flow::Register},
            {"devices", Flow::List},     {"revoke", Flow::Revoke},       {"subscription", Flow::Entitlements},
            {"ikev2", Flow::IKEv2},      {"wireguard", Flow::WireGuard}, {"xray", Flow::Xray},
        };
        const QList<QPair<const char *, Hostility>> hostilities{
            {"cut JSON", Hostility::CutJson},   {"cut connection", Hostility::CutConnection},
            {"wrong types", Hostility::WrongTypes}, {"10 MB", Hostility::Huge},
            {"10 MB unannounced", Hostility::HugeUnannounced},
            {"drip", Hostility::Drip},          {"reset", Hostility::Reset},
            {"status 418", Hostility::WrongStatus},
        };
        for (const auto &[flowName, flow] : flows)
            for (const auto &[hostilityName, hostility] : hostilities)
                QTest::addRow("%s, %s", flowName, hostilityName) << flow << hostility;
    }

    void everyFlowFailsCleanly()
    {
        QFETCH(Flow, flow);
        QFETCH(Hostility, hostility);
        Log::Capture log;
        const bool config = flow == Flow::IKEv2 || flow == Flow::WireGuard || flow == Flow::Xray;
        const Outcome outcome = config ? runConfigFlow(flow, hostility) : runAccountFlow(flow, hostility);

        QVERIFY2(outcome.ended, qPrintable(u"still running: "_s + outcome.state));
        QCOMPARE_LE(outcome.tookMs, kTimeout.count() + kSlackMs);
        QVERIFY2(outcome.inErrorState, qPrintable(outcome.state));
        QCOMPARE_LE(outcome.worstBusyMs, kMaxBusyMs);
        QCOMPARE_LE(outcome.worstGapMs, kSlackMs);
        // Refused for its size as soon as that shows, not left to the time-out.
        if (hostility == Hostility::Huge || hostility == Hostility::HugeUnannounced)
            QVERIFY2(!log.matching(u"The response is too large"_s).isEmpty(), qPrintable(log.lines().join(u'\n')));
        Stored expected = outcome.before;
        if (flow == Flow::Restore && !outcome.after.accessToken && !outcome.after.refreshToken) {
            expected.accessToken.reset();
            expected.refreshToken.reset();
        }
        QVERIFY(outcome.after == expected);
    }
};

QTEST_GUILESS_MAIN(TestHostileServer)
#include "tst_hostile_server.moc"
