// The smaller pieces of the VPN layer: the server choice and its recents,
// the WireGuard service over a stub VPN API on 127.0.0.1, and the Xray
// configuration record and file (its exact layout, and where and how it is
// written: it holds the user's credential).
#include "model/JsonReader.h"
#include "support/ServiceRig.h"
#include "support/XrayRig.h"
#include "vpn/ServerManager.h"
#include "vpn/wireguard/WireGuardService.h"
#include "vpn/xray/XrayConfig.h"

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
const ServerLocation &row(const QString &id)
{
    return *ServerLocation::find(id);
}

QStringList ids(const QList<ServerLocation> &servers)
{
    QStringList result;
    for (const auto &s : servers)
        result.append(s.id);
    return result;
}

// Two active rows are not enough to test the limit of three, so tests use
// active copies of offline rows.
ServerLocation active(const QString &id)
{
    ServerLocation server = row(id);
    server.isActive = true;
    return server;
}

const QString ConfigPath = u"/api/v1/wireguard/config"_s;
const QString PrivateKey = u"cGx1bS1wcml2YXRlLWtleS1mb3ItdGVzdHMtb25seS0="_s;
const QString ComingSoon = u"WireGuard coming soon — use IKEv2 or Xray Reality"_s;

QByteArray fullConfig()
{
    QJsonObject config = QJsonDocument::fromJson(R"({"interface_address": "10.66.0.7/32",
        "interface_dns": "10.66.0.1", "peer_public_key": "IxcfPpUFvgWJvdyFio2mIhLj9aSFzsYXfJzdWKfOKLM=",
        "peer_endpoint": "203.0.113.10:51820", "peer_allowed_ips": "0.0.0.0/0, ::/0",
        "server_name": "sg-node-01", "server_location": "Singapore, SG"})").object();
    config.insert(u"interface_private_key"_s, PrivateKey);
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

struct Rig : ServiceRig
{
    std::unique_ptr<WireGuardService> service;

    explicit Rig(bool withToken = true)
        : ServiceRig(withToken ? u"token-wg"_s : QString())
    {
        service = std::make_unique<WireGuardService>(tokens, endpoints(std::nullopt));
        recordStates(service.get());
    }
};

QByteArray bytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

mode_t modeOf(const QString &path)
{
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class TestVpn : public QObject
{
    Q_OBJECT

private slots:
    // de-node-01 is offline and cannot be selected; a server chosen again
    // moves to the front, and the list keeps three.
    void selectionAndRecents()
    {
        TempDefaults defaults;
        {
            ServerManager manager(defaults.standard());
            QCOMPARE(manager.mapRegion(), (MapRegion{20.0, 60.0, 120.0, 120.0}));
            QSignalSpy selected(&manager, &ServerManager::selectedServerChanged);
            manager.selectServer(row(u"us-west-01"_s));
            QCOMPARE(selected.size(), 1);
            manager.selectServer(row(u"de-node-01"_s));
            QCOMPARE(manager.selectedServer().id, u"us-west-01"_s);
            QCOMPARE(selected.size(), 1);
            manager.selectServer(row(u"sg-node-01"_s));
        }
        defaults.restart();
        ServerManager restored(defaults.standard());
        QCOMPARE(restored.selectedServer().id, u"sg-node-01"_s);
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(defaults.standard().stringList(u"recent_server_ids"_s),
                 std::optional(QStringList{u"sg-node-01"_s, u"us-west-01"_s}));

        restored.selectServer(row(u"us-west-01"_s));
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"us-west-01"_s, u"sg-node-01"_s}));
        restored.selectServer(active(u"uk-node-01"_s));
        restored.selectServer(active(u"ie-node-01"_s));
        QCOMPARE(ids(restored.recentServers()), (QStringList{u"ie-node-01"_s, u"uk-node-01"_s, u"us-west-01"_s}));
    }

    void storedValuesAreRestoredAsTheyAre_data()
    {
        QTest::addColumn<QVariant>("selected");
        QTest::addColumn<QVariant>("recents");
        QTest::addColumn<QString>("expectedSelected");
        QTest::addColumn<QStringList>("expectedRecents");
        QTest::newRow("first launch") << QVariant() << QVariant() << u"sg-node-01"_s << QStringList{};
        // An offline row is restored although selectServer would refuse it.
        QTest::newRow("inactive stored") << QVariant(u"uk-node-01"_s) << QVariant() << u"uk-node-01"_s << QStringList{};
        QTest::newRow("unknown id") << QVariant(u"xx-node-99"_s) << QVariant() << u"sg-node-01"_s << QStringList{};
        QTest::newRow("not a text") << QVariant(7) << QVariant() << u"sg-node-01"_s << QStringList{};
        QTest::newRow("unknown recents dropped")
            << QVariant() << QVariant(QStringList{u"us-west-01"_s, u"nope"_s, u"sg-node-01"_s}) << u"sg-node-01"_s
            << QStringList{u"us-west-01"_s, u"sg-node-01"_s};
        QTest::newRow("number among recents") << QVariant() << QVariant(QVariantList{u"us-west-01"_s, 3})
                                              << u"sg-node-01"_s << QStringList{};
        // Loading neither de-duplicates nor cuts the list.
        QTest::newRow("long list kept") << QVariant()
                                        << QVariant(QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s,
                                                                u"uk-node-01"_s})
                                        << u"sg-node-01"_s
                                        << QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s, u"uk-node-01"_s};
    }

    void storedValuesAreRestoredAsTheyAre()
    {
        QFETCH(QVariant, selected);
        QFETCH(QVariant, recents);
        QFETCH(QString, expectedSelected);
        QFETCH(QStringList, expectedRecents);
        TempDefaults defaults;
        if (selected.isValid())
            defaults.standard().set(u"selected_server_id"_s, selected);
        if (recents.isValid())
            defaults.standard().set(u"recent_server_ids"_s, recents);
        defaults.restart();
        ServerManager manager(defaults.standard());
        QCOMPARE(manager.selectedServer().id, expectedSelected);
        QCOMPARE(ids(manager.recentServers()), expectedRecents);
    }

    void aFetchedConfigurationEndsInComingSoon()
    {
        Rig rig;
        rig.server.on("GET", ConfigPath + u"?server_id=sg-node-01"_s, StubServer::Response::json(200, fullConfig()));
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.service->protocolType(), VPNProtocolType::WireGuard);
        rig.service->connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::connecting());
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(ComingSoon));
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"error: "_s + ComingSoon}));
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);

        const StubServer::Request request = rig.server.requests().first();
        QCOMPARE(request.query, u"server_id=sg-node-01"_s);
        QCOMPARE(request.header("Authorization"), "Bearer token-wg");
        QVERIFY(!request.hasHeader("Content-Type"));

        QTest::qWait(20);
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);
        rig.service->disconnect();
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::disconnected());
    }

    void failuresEndInFailedToFetch_data()
    {
        QTest::addColumn<int>("status"); // of a valid configuration
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<bool>("signedIn");
        const QString id = u"sg-node-01"_s;
        QTest::newRow("no token") << 200 << id << false;
        QTest::newRow("blank in the server id") << 200 << u"sg node"_s << true;
        QTest::newRow("201 with a valid body") << 201 << id << true;
    }

    void failuresEndInFailedToFetch()
    {
        QFETCH(int, status);
        QFETCH(QString, serverId);
        QFETCH(bool, signedIn);
        Log::Capture log;
        Rig rig(signedIn);
        rig.server.on("GET", ConfigPath, StubServer::Response::json(status, fullConfig()));
        rig.service->connect(std::nullopt, serverId);
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(u"Failed to fetch WireGuard config"_s));
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QCOMPARE(rig.server.requests().size(), signedIn && !serverId.contains(u' ') ? 1 : 0);
        QVERIFY(log.matching(PrivateKey).isEmpty());
    }

    // A disconnect resets at once; the answer that arrives later still sets
    // its state.
    void disconnectWhileConnectingThenTheLateAnswer()
    {
        Rig rig;
        rig.server.on("GET", ConfigPath, StubServer::Response::json(200, fullConfig()).after(150ms));
        rig.service->connect(std::nullopt, std::nullopt);
        QVERIFY(rig.server.waitForRequests(1));
        QCOMPARE(rig.server.requests().first().query, QString());
        rig.service->disconnect();
        QCOMPARE(rig.service->connectionState(), VPNConnectionState::disconnected());
        QCOMPARE(rig.service->serverName(), u"Not Connected"_s);
        QTRY_COMPARE(rig.service->connectionState(), VPNConnectionState::error(ComingSoon));
        QCOMPARE(rig.service->serverName(), u"Singapore, SG"_s);
        QCOMPARE(rig.states, (QStringList{u"connecting"_s, u"disconnected"_s, u"error: "_s + ComingSoon}));
    }

    void decodesTheResponse_data()
    {
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QString>("result"); // the name shown, or the decode error
        QJsonObject body = XrayTest::configBody();
        QTest::newRow("complete") << body << u"Singapore"_s;
        body.insert(u"display_name"_s, QJsonValue::Null);
        QTest::newRow("null display_name") << body << u"Singapore, SG"_s;
        body.remove(u"display_name"_s);
        QTest::newRow("no display_name") << body << u"Singapore, SG"_s;
        body.remove(u"flow"_s);
        QTest::newRow("no flow") << body << u"Missing key \"flow\""_s;
        body = XrayTest::configBody();
        body.insert(u"server_port"_s, u"443"_s);
        QTest::newRow("port as text") << body << u"Wrong type for key \"server_port\": expected integer, found string"_s;
    }

    void decodesTheResponse()
    {
        QFETCH(QJsonObject, body);
        QFETCH(QString, result);
        QString error;
        const auto config = tryDecodeBody<XrayConfigResponse>(bytes(body), &error);
        QCOMPARE(config ? config->displayNameOrLocation() : error, result);
        if (config)
            QCOMPARE(XrayConfigResponse::decode(JsonReader(config->encode())), *config);
    }

    void theFileHasTheExactLayout()
    {
        const auto config = decodeBody<XrayConfigResponse>(bytes(XrayTest::configBody()));
        QFile expectedFile(QStringLiteral(VELORIN_TEST_DATA "/xray-config-expected.json"));
        QVERIFY(expectedFile.open(QIODevice::ReadOnly));
        const QJsonObject expected = QJsonDocument::fromJson(expectedFile.readAll()).object();
        QVERIFY(!expected.isEmpty());

        const QByteArray written = XrayConfigFile::serialise(XrayConfigFile::build(config, 10808, 10809));
        // Ports are numbers in the expected document, and a number never equals a text.
        QCOMPARE(QJsonDocument::fromJson(written).object(), expected);
        QVERIFY(written.contains("\n    \"inbounds\": ["));
    }

    void writesAPrivateFileThroughNoLink()
    {
        QTemporaryDir base;
        const QString dir = base.filePath(u"private"_s);
        const QString victim = base.filePath(u"victim.txt"_s);
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("untouched");
        }
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(dir));
        QCOMPARE(modeOf(dir), mode_t(0700));
        // Someone plants a link at the file's name, pointing at a file of the user's.
        const QString path = dir + u"/kavro_xray_config.json"_s;
        QVERIFY(QFile::link(victim, path));

        const auto result = XrayConfigFile::write(dir, "{\"secret\": 1}");
        QCOMPARE(result.path, path);
        QVERIFY(result.error.isEmpty());
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(modeOf(path), mode_t(0600));
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("{\"secret\": 1}"));
        QFile original(victim);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("untouched"));

        // No temporary files stay behind.
        QVERIFY(!XrayConfigFile::write(dir, "{}").path.isEmpty());
        QCOMPARE(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{u"kavro_xray_config.json"_s});
    }

    void refusesFoldersThatAreNotPrivate()
    {
        QTemporaryDir base;
        const QString elsewhere = base.filePath(u"elsewhere"_s);
        QVERIFY(QDir().mkdir(elsewhere));
        const QString linked = base.filePath(u"linked"_s);
        QVERIFY(QFile::link(elsewhere, linked));
        const auto result = XrayConfigFile::write(linked, "{}");
        QVERIFY(result.path.isEmpty());
        QVERIFY2(result.error.contains(u"symbolic link"_s), qPrintable(result.error));
        QVERIFY(QDir(elsewhere).isEmpty());

        const QString file = base.filePath(u"plain"_s);
        QFile(file).open(QIODevice::WriteOnly);
        QVERIFY(XrayConfigFile::ensurePrivateDirectory(file).value_or(QString()).contains(u"not a folder"_s));

        // A folder of ours that others may enter is closed to them.
        const QString open = base.filePath(u"open"_s);
        QVERIFY(QDir().mkdir(open));
        ::chmod(QFile::encodeName(open).constData(), 0755);
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(open));
        QCOMPARE(modeOf(open), mode_t(0700));

        // A folder of another user (the root folder, unless the tests run as root).
        if (::geteuid() != 0)
            QVERIFY(XrayConfigFile::ensurePrivateDirectory(u"/"_s).value_or(QString()).contains(u"another user"_s));
    }

    void choosesTheRuntimeFolderOnlyWhenItIsPrivate()
    {
        QTemporaryDir base;
        const QString cache = base.filePath(u"cache"_s);
        const QString fallback = cache + u"/velorin/private"_s;
        const QString runtime = base.filePath(u"runtime"_s);
        QVERIFY(QDir().mkdir(runtime));

        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        QCOMPARE(XrayConfigFile::chooseDirectory(runtime, cache), runtime + u"/velorin"_s);
        ::chmod(QFile::encodeName(runtime).constData(), 0755);
        QCOMPARE(XrayConfigFile::chooseDirectory(runtime, cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(QString(), cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(u"relative/run"_s, cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(base.filePath(u"missing"_s), cache), fallback);
        const QString link = base.filePath(u"runtime-link"_s);
        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        QVERIFY(QFile::link(runtime, link));
        QCOMPARE(XrayConfigFile::chooseDirectory(link, cache), fallback);

        // The fallback is created private, parents included.
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(fallback));
        QCOMPARE(modeOf(fallback), mode_t(0700));
    }
};

QTEST_GUILESS_MAIN(TestVpn)
#include "tst_vpn.moc"
