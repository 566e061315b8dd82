#include "backend/DeviceManager.h"
#include "platform/Log.h"
#include "support/BackendFixture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

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

struct Fixture : BackendFixture
{
    DeviceManager &manager = services.devices;

    explicit Fixture(bool signedIn = true)
    {
        if (signedIn)
            services.tokens.save(u"AT-1"_s, u"access_token"_s);
    }
};

} // namespace

class TestDeviceManager : public QObject
{
    Q_OBJECT

private slots:
    void registrationSendsThisComputerThenFetches()
    {
        Fixture f;
        f.server.on("POST", u"/api/v1/devices/register"_s,
                    StubServer::Response::json(201, R"({"status":"ok","message":"Device registered","device_id":"x"})"));
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody()));
        Log::Capture log;
        QCoro::waitFor(f.manager.registerDevice());

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
        QCOMPARE(f.manager.devices().size(), 2);

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
        Fixture f;
        f.server.on("POST", u"/api/v1/devices/register"_s, response);
        QCoro::waitFor(f.manager.registerDevice());
        QCOMPARE(f.manager.errorMessage(), error);
        QCOMPARE(f.manager.showDeviceLimitSheet(), limitSheet);
        QCOMPARE(f.manager.deviceLimitDevices().size(), limitSheet ? 2 : 0);
        QCOMPARE(f.manager.activeDeviceCount(), limitSheet ? 3 : 0);
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
        Fixture f;
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody()));
        QCoro::waitFor(f.manager.fetchDevices());
        f.server.on("GET", u"/api/v1/devices"_s, response);
        QSignalSpy loading(&f.manager, &DeviceManager::isLoadingChanged);
        QCoro::waitFor(f.manager.fetchDevices());
        QVERIFY2(f.manager.errorMessage().value_or(QString()).startsWith(error), qPrintable(f.manager.errorMessage().value_or(QString())));
        QCOMPARE(loading.size(), 2);
        QVERIFY(!f.manager.isLoading());
        QCOMPARE(f.manager.devices().size(), 2); // the earlier list stays
    }

    void revokeRemovesTheDeviceEvenWhenItIsThisOne()
    {
        Fixture f;
        const QString mine = f.services.identifier.currentDeviceId();
        f.server.on("GET", u"/api/v1/devices"_s, StubServer::Response::json(200, listBody(mine)));
        QCoro::waitFor(f.manager.fetchDevices());
        QVERIFY(f.manager.isCurrentDevice(f.manager.devices().first()));
        QVERIFY(!f.manager.isCurrentDevice(f.manager.devices().last()));

        f.server.on("POST", u"/api/v1/devices/revoke"_s, StubServer::Response::json(200, R"({"status":"ok","message":"Device removed"})"));
        QCoro::waitFor(f.manager.revokeDevice(mine));
        QCOMPARE(f.server.requests().last().body, "{\"device_id\":\"" + mine.toUtf8() + "\"}");
        QCOMPARE(f.manager.devices().size(), 1);
        QCOMPARE(f.manager.activeDeviceCount(), 4);

        f.server.on("POST", u"/api/v1/devices/revoke"_s, StubServer::Response::json(404, R"({"error":"Unknown device"})"));
        QCoro::waitFor(f.manager.revokeDevice(u"CCCCCCCC-3"_s));
        QCOMPARE(f.manager.errorMessage(), u"Failed to remove device"_s);
        QCOMPARE(f.manager.devices().size(), 1);
        QVERIFY(!f.manager.isLoading());
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
        Fixture f(false);
        QCoro::waitFor(f.manager.registerDevice());
        QCoro::waitFor(f.manager.fetchDevices());
        QCoro::waitFor(f.manager.revokeDevice(u"AAAAAAAA-1"_s));
        QVERIFY(f.server.requests().isEmpty());
        QVERIFY(!f.services.identifier.storedDeviceId());

        const std::pair<QByteArray, std::optional<QString>> names[] = {
            {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Laptop\\\"\"\n", u"Ada's \"Laptop\""_s},
            {"  PRETTY_HOSTNAME=studio # comment", u"studio"_s},
            {"PRETTY_HOSTNAME=\"\"", std::nullopt}};
        for (const auto &[machineInfo, name] : names) {
            QCOMPARE(DeviceManager::prettyHostName(machineInfo), name);
            f.manager.setComputerNameSource([name = name] { return name; });
            QCOMPARE(f.manager.computerName(), name.value_or(u"Mac"_s));
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceManager)
#include "tst_devicemanager.moc"
