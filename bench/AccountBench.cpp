// Sign-in: its latency next to the bare HTTP round trips it is made of, and
// the memory of many sign-in/sign-out cycles. Both run against the real
// development backend on loopback.
#include "AccountBench.h"

#include "Bench.h"

#include "backend/DeviceRecords.h"
#include "storage/DeviceIdentifier.h"
#include "support/AccountServices.h"

#include <QNetworkAccessManager>

using namespace Qt::StringLiterals;

namespace {

const QString kEmail = u"demo@example.com"_s;
const QString kPassword = u"velorin-demo"_s;

// One sign-in through the services; false when it did not end authenticated
// with this computer registered.
bool signIn(AccountServices &services)
{
    const std::exception_ptr thrown = runToEnd(services.auth.login(kEmail, kPassword));
    return !thrown && services.auth.authState().isAuthenticated() && !services.devices.errorMessage()
        && !services.devices.showDeviceLimitSheet();
}

// The same requests the sign-in makes, one after the other, with nothing
// around them: the floor of the sign-in. The sign-in signs in, reads the
// user, syncs the subscription, registers this computer and reads the
// account's device list.
bool bareSignIn(QNetworkAccessManager &network, const QString &base, const QString &deviceId)
{
    const QByteArray agent = "VelorinSecure-macOS/2.5";
    const Bench::Answer login =
        Bench::exchange(network, QUrl(base + u"/auth/login"_s), "POST",
                        "{\"email\":\"" + kEmail.toUtf8() + "\",\"password\":\"" + kPassword.toUtf8() + "\"}", {}, agent);
    const QByteArray token = Bench::jsonOf(login.body).value(u"access_token"_s).toString().toUtf8();
    if (login.status != 200 || token.isEmpty())
        return false;
    const Bench::Answer me = Bench::exchange(network, QUrl(base + u"/auth/me"_s), "GET", {}, token, agent);
    const Bench::Answer status =
        Bench::exchange(network, QUrl(base + u"/api/v1/subscriptions/status"_s), "GET", {}, token);
    const QByteArray body = DeviceRegistrationRequest(deviceId, u"Test Computer"_s, u"linux"_s, u"2.5"_s).toJson();
    const Bench::Answer registered =
        Bench::exchange(network, QUrl(base + u"/api/v1/devices/register"_s), "POST", body, token, agent);
    const Bench::Answer list = Bench::exchange(network, QUrl(base + u"/api/v1/devices"_s), "GET", {}, token, agent);
    return me.status == 200 && status.status == 200 && (registered.status == 200 || registered.status == 201)
        && list.status == 200;
}

} // namespace

int AccountBench::signIn(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 15);
    Bench::Backend backend;
    TempDefaults defaults;
    FakeKeychain keychain;
    AccountServices services(defaults, keychain, backend.url());
    QNetworkAccessManager network;

    // One of each first: connections, caches and the server's first query
    // are not what a sign-in costs.
    if (!::signIn(services))
        Bench::fail(u"the warm-up sign-in failed"_s);
    const QString deviceId = services.identifier.storedDeviceId().value_or(u"bench-device"_s);
    services.auth.signOut();
    if (!bareSignIn(network, backend.url(), deviceId))
        Bench::fail(u"the warm-up bare requests failed"_s);

    for (int run = 0; run < runs; ++run) {
        // Alternating which goes first cancels a drift of the machine.
        for (int half = 0; half < 2; ++half) {
            const bool client = (run + half) % 2 == 0;
            const long long start = Bench::nowNs();
            const bool ok = client ? ::signIn(services) : bareSignIn(network, backend.url(), deviceId);
            const double ms = Bench::msSince(start);
            if (!ok)
                Bench::fail(client ? u"a sign-in failed"_s : u"the bare requests failed"_s);
            Bench::sample(client ? u"signin.client_ms"_s : u"signin.floor_ms"_s, run, ms);
            if (client)
                services.auth.signOut();
        }
    }
    return 0;
}

int AccountBench::cycles(const QStringList &arguments)
{
    const int cycles = Bench::intOption(arguments, u"--cycles"_s, 200);
    const bool bare = arguments.contains(u"--bare"_s);
    const QString key = bare ? u"cycles.signin_bare"_s : u"cycles.signin"_s;
    Bench::Backend backend;
    TempDefaults defaults;
    FakeKeychain keychain;
    AccountServices services(defaults, keychain, backend.url());
    QNetworkAccessManager network;
    const QString deviceId = services.identifier.currentDeviceId();

    Bench::runCycles(key, cycles, [&](int) {
        bool ok = true;
        if (bare) {
            ok = bareSignIn(network, backend.url(), deviceId);
        } else {
            ok = ::signIn(services);
            services.auth.signOut();
        }
        keychain.calls.clear(); // the stand-in's own record of calls
        return ok;
    });
    Bench::endCycles(arguments);
    return 0;
}

