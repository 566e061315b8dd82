// The system proxy and its back-ends: the proxy tool's commands, listing and
// clean-ups against the recording fake tool; GSettings with its keyfile store
// read back with `gsettings`; kioslaverc read back with kreadconfig5, its
// reparse signal seen on a private session bus.
#include "support/XrayRig.h"

#include "backend/APIClient.h"
#include "platform/DirectNetwork.h"
#include "support/ChildProcess.h"
#include "vpn/xray/GnomeProxy.h"
#include "vpn/xray/KdeProxy.h"
#include "vpn/xray/NetworkSetupProxy.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QNetworkInterface>
#include <QNetworkReply>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace XrayTest;

namespace {

constexpr int kSocks = 10808;
constexpr int kHttp = 10809;

QString gsettings(const QStringList &arguments)
{
    const ChildProcess::Result result = ChildProcess::run(u"gsettings"_s, arguments);
    return result.exitCode == 0 ? result.out.trimmed() : u"exit "_s + QString::number(result.exitCode) + result.err;
}

// "http.port" is the key port of org.gnome.system.proxy.http.
QStringList schemaAndKey(const QString &key)
{
    return {key.contains(u'.') ? u"org.gnome.system.proxy."_s + key.section(u'.', 0, 0) : u"org.gnome.system.proxy"_s,
            key.section(u'.', -1)};
}

QString proxyKey(const QString &key)
{
    return gsettings(QStringList{u"get"_s} + schemaAndKey(key));
}

void setProxyKey(const QString &key, const QString &value)
{
    QCOMPARE(gsettings(QStringList{u"set"_s} + schemaAndKey(key) + QStringList{value}), QString());
}

// This process sees another process's writes once its store reloads.
bool gnomeSees(GnomeProxy &gnome, const QString &key, const QVariant &value)
{
    return spinUntil([&] {
        QString error;
        return gnome.capture(&error).value_or(QVariantMap()).value(key) == value;
    });
}

QString kread(const QString &key)
{
    return ChildProcess::run(u"kreadconfig5"_s, {u"--file"_s, u"kioslaverc"_s, u"--group"_s, KdeProxy::group,
                                                 u"--key"_s, key})
        .out.trimmed();
}

void compareKeys(QString (*read)(const QString &), const QMap<QString, QString> &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(read(it.key()), it.value());
}

ProxyChoice choice(const QString &id)
{
    return ProxyChoice{id, u"test"_s, {}, {}};
}

// The body, or the error.
QByteArray fetch(QNetworkAccessManager &network, const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(5000);
    QNetworkReply *reply = network.get(request);
    spinUntil([&] { return reply->isFinished(); }, 8000);
    const QByteArray answer = reply->error() == QNetworkReply::NoError ? reply->readAll() : reply->errorString().toUtf8();
    reply->deleteLater();
    return answer;
}

QCoro::Task<QByteArray> sendCatching(APIClient &client, QString path)
{
    try {
        co_return co_await client.send(std::move(path), u"GET"_s, std::nullopt, false);
    } catch (const std::exception &error) {
        co_return QByteArray("failed: ") + error.what();
    }
}

} // namespace

class TestDesktopProxy : public QObject
{
    Q_OBJECT

    QProcess m_bus;
    QString m_busAddress;
    int m_reparses = 0;
    QTemporaryDir m_kde;
    std::unique_ptr<FakeNetworkSetup> m_tool;
    std::unique_ptr<TempDefaults> m_defaults;
    std::unique_ptr<SystemProxy> m_proxy;

    UserDefaults &defaults() { return m_defaults->standard(); }
    NetworkSetupProxy tool() const { return NetworkSetupProxy(m_tool->toolPath(), {u"127.0.0.1"_s, kSocks, kHttp}); }

public slots:
    void reparsed(const QString &) { ++m_reparses; }

private slots:
    void initTestCase()
    {
        QVERIFY2(qgetenv("GSETTINGS_BACKEND") == "keyfile", "run by CTest, which sets GSETTINGS_BACKEND=keyfile");
        // A private session bus for this process, before anything opens one.
        ChildProcess::dieWithParent(m_bus);
        m_bus.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
        QVERIFY(m_bus.waitForReadyRead(5000));
        m_busAddress = QString::fromUtf8(m_bus.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
        QDBusConnection observer = QDBusConnection::connectToBus(m_busAddress, u"observer"_s);
        QVERIFY(observer.connect(QString(), u"/KIO/Scheduler"_s, u"org.kde.KIO.Scheduler"_s,
                                 u"reparseSlaveConfiguration"_s, this, SLOT(reparsed(QString))));
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished(3000);
    }

    void init()
    {
        QCOMPARE(gsettings({u"reset-recursively"_s, u"org.gnome.system.proxy"_s}), QString());
        m_tool = std::make_unique<FakeNetworkSetup>();
        m_tool->apply();
        m_defaults = std::make_unique<TempDefaults>();
        m_proxy = std::make_unique<SystemProxy>(defaults(), m_tool->toolPath(), kSocks, kHttp);
    }

    void cleanup()
    {
        FakeNetworkSetup::unapply();
        m_proxy.reset();
    }

    void listsOnlyEnabledServicesWithAnAddress_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("mixed")
            << u"[-listallnetworkservices]\n"
               "An asterisk (*) denotes that a network service is disabled.\n"
               "Wi-Fi\n*Bluetooth PAN\nThunderbolt Bridge\nUSB LAN\n"
               "[-getinfo Wi-Fi]\nIP address: 192.168.1.20\n"
               "[-getinfo USB LAN]\nDHCP Configuration\nIP address: none\n"_s
            << QStringList{u"Wi-Fi"_s}
            << QStringList{u"-listallnetworkservices"_s, u"-getinfo Wi-Fi"_s, u"-getinfo USB LAN"_s};
        QTest::newRow("two, in the tool's order, names trimmed")
            << u"[-listallnetworkservices]\n  Ethernet \r\n\nWi-Fi\n"
               "[-getinfo Ethernet]\nIP address: 10.0.0.2\n[-getinfo Wi-Fi]\nIP address: 192.168.1.20\n"_s
            << QStringList{u"Ethernet"_s, u"Wi-Fi"_s}
            << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s, u"-getinfo Wi-Fi"_s};
        QTest::newRow("none active falls back to Wi-Fi")
            << u"[-listallnetworkservices]\nEthernet\n[-getinfo Ethernet]\nIP address: none\n"_s
            << QStringList{u"Wi-Fi"_s} << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s};
        QTest::newRow("no address line at all")
            << u"[-listallnetworkservices]\nEthernet\n[-getinfo Ethernet]\nRouter: none\n"_s
            << QStringList{u"Wi-Fi"_s} << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s};
    }

    void listsOnlyEnabledServicesWithAnAddress()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, calls);
        m_tool->setScript(script);
        QCOMPARE(tool().listActiveNetworkServices(), expected);
        QCOMPARE(m_tool->calls(), calls);
    }

    // The tool calls of a set and a restore are the Xray service's checks;
    // here what the record keeps and when a restore is owed.
    void setsAndRestoresTwoServicesInOrder()
    {
        m_tool->setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        QVERIFY(m_proxy->setSystemProxy().set);
        QCOMPARE(m_proxy->activeNetworkServices(), (QStringList{u"Wi-Fi"_s, u"Ethernet"_s}));
        // A launch clean-up coming after this run's set leaves the proxies set.
        m_tool->clearCalls();
        m_proxy->cleanupStaleProxy();
        QVERIFY(m_tool->calls().isEmpty());
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), true);

        m_proxy->restoreSystemProxy();
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!defaults().contains(SystemProxy::servicesKey));
        QVERIFY(m_proxy->activeNetworkServices().isEmpty());

        // With nothing set in this run: the recorded list, else Wi-Fi.
        m_tool->clearCalls();
        defaults().set(SystemProxy::servicesKey, QStringList{u"Ethernet"_s});
        m_proxy->restoreSystemProxy();
        m_proxy->restoreSystemProxy();
        QCOMPARE(m_tool->calls(), proxyOffCalls(u"Ethernet"_s) + proxyOffCalls(u"Wi-Fi"_s));
    }

    void aMissingToolIsNamedAndSetsNothing()
    {
        const QString missing = m_tool->toolPath() + u"-missing"_s;
        SystemProxy proxy(defaults(), missing, kSocks, kHttp);
        QCOMPARE(proxy.unavailableReason(), u"The system proxy tool "_s + missing + u" is missing."_s);
        const SystemProxy::Outcome outcome = proxy.setSystemProxy();
        QVERIFY(!outcome.set);
        QVERIFY(!outcome.error.isEmpty());
        QVERIFY(!NetworkSetupProxy(missing, {}).isServiceActive(u"Wi-Fi"_s));
    }

    void aSetNoLongerWantedDoesNothing()
    {
        m_tool->setActiveServices({u"Wi-Fi"_s});
        QVERIFY(!m_proxy->setSystemProxy([] { return false; }).set);
        QVERIFY(m_tool->calls().isEmpty());
        QVERIFY(!defaults().contains(SystemProxy::activeKey));
    }

    void launchCleanup_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("keysLeft");
        const QString active = SystemProxy::activeKey;
        const QString list = SystemProxy::servicesKey;
        const QString single = SystemProxy::legacyServiceKey;
        const QString killSwitch = SystemProxy::killSwitchKey;
        QTest::newRow("older single-service key") << QVariantMap{{active, true}, {single, u"Ethernet"_s}}
                                                  << proxyOffCalls(u"Ethernet"_s) << QStringList{active};
        QTest::newRow("list recorded but no restore owed") << QVariantMap{{active, false}, {list, QStringList{u"Wi-Fi"_s}}}
                                                           << QStringList() << QStringList{active, list};
        QTest::newRow("kill switch key") << QVariantMap{{killSwitch, true}} << QStringList() << QStringList{killSwitch};
        QTest::newRow("active flag without any list") << QVariantMap{{active, true}} << QStringList()
                                                      << QStringList{active};
    }

    void launchCleanup()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, keysLeft);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            defaults().set(it.key(), it.value());
        m_proxy->cleanupStaleProxy();
        QCOMPARE(m_tool->calls(), calls);
        for (const QString &key : {SystemProxy::activeKey, SystemProxy::servicesKey, SystemProxy::legacyServiceKey,
                                   SystemProxy::killSwitchKey})
            QVERIFY2(defaults().contains(key) == keysLeft.contains(key), qPrintable(key));
        if (!calls.isEmpty())
            QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
    }

    void terminationCleanups()
    {
        m_proxy->appTerminationCleanup(false);
        QVERIFY(m_tool->calls().isEmpty());
        defaults().set(SystemProxy::activeKey, true);
        defaults().set(SystemProxy::servicesKey, QStringList{u"Ethernet"_s});
        Log::Capture log;
        m_proxy->terminationSignalCleanup();
        QCOMPARE(m_tool->calls(), proxyOffCalls(u"Ethernet"_s));
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!defaults().contains(SystemProxy::servicesKey));
        QVERIFY(log.lines().isEmpty());
    }

    void choosesTheBackEnd_data()
    {
        QTest::addColumn<QStringList>("inputs"); // variable, setting, XDG_CURRENT_DESKTOP, DESKTOP_SESSION, tool
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("reason"); // or the error, when no id
        const QString gnome = ProxyBackends::gnome;
        const QString kde = ProxyBackends::kde;
        QTest::newRow("GNOME") << QStringList{{}, {}, u"GNOME"_s, {}, {}} << gnome << u"XDG_CURRENT_DESKTOP=GNOME"_s;
        QTest::newRow("Ubuntu") << QStringList{{}, {}, u"ubuntu:GNOME"_s, {}, {}} << gnome
                                << u"XDG_CURRENT_DESKTOP=ubuntu:GNOME"_s;
        QTest::newRow("KDE") << QStringList{{}, {}, u"KDE"_s, {}, {}} << kde << u"XDG_CURRENT_DESKTOP=KDE"_s;
        QTest::newRow("session name only") << QStringList{{}, {}, {}, u"plasmawayland"_s, {}} << kde
                                           << u"DESKTOP_SESSION=plasmawayland"_s;
        QTest::newRow("XFCE") << QStringList{{}, {}, u"XFCE"_s, u"xfce"_s, {}} << QString()
                              << u"XDG_CURRENT_DESKTOP=XFCE"_s;
        QTest::newRow("sway, nothing set") << QStringList{{}, {}, {}, {}, {}} << QString()
                                           << u"XDG_CURRENT_DESKTOP is not set"_s;
        QTest::newRow("the tool where it exists") << QStringList{{}, {}, u"GNOME"_s, {}, u"tool"_s}
                                                  << ProxyBackends::networkSetup << u"the proxy tool is installed"_s;
        QTest::newRow("setting over detection") << QStringList{{}, u"KDE"_s, u"GNOME"_s, {}, u"tool"_s} << kde
                                                << u"the setting xrayProxyBackendChoice=kde"_s;
        QTest::newRow("variable over setting") << QStringList{u"gnome"_s, u"kde"_s, u"XFCE"_s, {}, {}} << gnome
                                               << u"VELORIN_PROXY_BACKEND=gnome"_s;
        QTest::newRow("auto") << QStringList{u"auto"_s, {}, u"KDE"_s, {}, {}} << kde << u"XDG_CURRENT_DESKTOP=KDE"_s;
        QTest::newRow("unknown name") << QStringList{u"wayfire"_s, {}, u"GNOME"_s, {}, {}} << QString()
                                      << u"VELORIN_PROXY_BACKEND names \"wayfire\", which is not gnome, kde, "
                                         "networksetup or auto"_s;
    }

    void choosesTheBackEnd()
    {
        QFETCH(QStringList, inputs);
        QFETCH(QString, id);
        QFETCH(QString, reason);
        const ProxyChoice chosen =
            ProxyBackends::choose({inputs[0], inputs[1], inputs[2], inputs[3], !inputs[4].isEmpty()});
        QCOMPARE(chosen.id, id);
        QCOMPARE(chosen.error.isEmpty() ? chosen.reason : chosen.error, reason);
    }

    // The user's own proxy (automatic, with a manual HTTP proxy kept for
    // later) comes back; a value changed while connected is left as set.
    void gnomeSetsAndPutsBackTheUsersValues()
    {
        setProxyKey(u"mode"_s, u"auto"_s);
        setProxyKey(u"autoconfig-url"_s, u"http://wpad.example/wpad.dat"_s);
        setProxyKey(u"http.host"_s, u"proxy.example"_s);
        setProxyKey(u"http.port"_s, u"3128"_s);
        setProxyKey(u"ignore-hosts"_s, u"['localhost', '*.example']"_s);
        GnomeProxy gnome({u"127.0.0.1"_s, kSocks, kHttp});
        QCOMPARE(gnome.unavailableReason(), QString());
        QVERIFY(gnomeSees(gnome, u"http.port"_s, 3128));

        SystemProxy proxy(defaults(), choice(ProxyBackends::gnome), {u"127.0.0.1"_s, kSocks, kHttp}, {});
        QVERIFY(proxy.setSystemProxy().set);
        const QMap<QString, QString> ours{
            {u"mode"_s, u"'manual'"_s},       {u"ignore-hosts"_s, u"['localhost', '127.0.0.0/8', '::1']"_s},
            {u"socks.host"_s, u"'127.0.0.1'"_s}, {u"socks.port"_s, u"10808"_s},
            {u"http.host"_s, u"'127.0.0.1'"_s},  {u"http.port"_s, u"10809"_s},
            {u"https.host"_s, u"'127.0.0.1'"_s}, {u"https.port"_s, u"10809"_s},
        };
        compareKeys(proxyKey, ours);
        QCOMPARE(defaults().string(SystemProxy::backendKey), ProxyBackends::gnome);
        QCOMPARE(defaults().value(SystemProxy::previousKey).toMap().value(u"mode"_s), u"auto"_s);

        QVERIFY(proxy.restoreSystemProxy());
        compareKeys(proxyKey, {{u"mode"_s, u"'auto'"_s},
                               {u"http.host"_s, u"'proxy.example'"_s},
                               {u"http.port"_s, u"3128"_s},
                               {u"ignore-hosts"_s, u"['localhost', '*.example']"_s},
                               {u"socks.port"_s, u"0"_s},
                               {u"autoconfig-url"_s, u"'http://wpad.example/wpad.dat'"_s}});
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!defaults().contains(SystemProxy::previousKey));

        QVERIFY(proxy.setSystemProxy().set);
        setProxyKey(u"https.host"_s, u"secure.example"_s);
        QVERIFY(gnomeSees(gnome, u"https.host"_s, u"secure.example"_s));
        QVERIFY(proxy.restoreSystemProxy());
        QCOMPARE(proxyKey(u"https.host"_s), u"'secure.example'"_s);
        QCOMPARE(proxyKey(u"mode"_s), u"'auto'"_s);

        // A hand-edited record found by the next start: what cannot be used is
        // reset to GNOME's default; an unknown back-end changes nothing.
        QVERIFY(proxy.setSystemProxy().set);
        QVariantMap previous = defaults().value(SystemProxy::previousKey).toMap();
        QCOMPARE(previous.value(u"http.host"_s), u"proxy.example"_s);
        previous.insert(u"mode"_s, u"sideways"_s);
        previous.insert(u"socks.port"_s, u"ten"_s);
        previous.insert(u"https.port"_s, 70000);
        defaults().set(SystemProxy::previousKey, previous);

        SystemProxy next(defaults(), choice(ProxyBackends::gnome), {u"127.0.0.1"_s, kSocks, kHttp}, {});
        next.cleanupStaleProxy();
        compareKeys(proxyKey, {{u"mode"_s, u"'none'"_s},
                               {u"socks.port"_s, u"0"_s},
                               {u"https.port"_s, u"0"_s},
                               {u"http.host"_s, u"'proxy.example'"_s}});
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);

        setProxyKey(u"mode"_s, u"manual"_s);
        defaults().set(SystemProxy::activeKey, true);
        defaults().set(SystemProxy::backendKey, u"registry"_s);
        SystemProxy third(defaults(), choice(ProxyBackends::gnome), {u"127.0.0.1"_s, kSocks, kHttp}, {});
        third.cleanupStaleProxy();
        QCOMPARE(proxyKey(u"mode"_s), u"'manual'"_s);
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
    }

    // The rest of the file is untouched; running KDE programs are told both times.
    void kdeSetsAndPutsBackTheUsersValues()
    {
        const QString path = QDir(KdeProxy::defaultConfigDirectory()).filePath(u"kioslaverc"_s);
        QDir().mkpath(KdeProxy::defaultConfigDirectory());
        const QByteArray before = "# written by hand\n[General]\nKeepAlive=true\n\n"
                                  "[Proxy Settings]\nProxy Config Script=http://wpad.example/wpad.dat\nProxyType=2\n"
                                  "httpProxy=http://proxy.example 3128\n\n[Cache]\nMaxCacheSize=5120\n";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(before);
        }
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        SystemProxy proxy(defaults(), choice(ProxyBackends::kde), {u"127.0.0.1"_s, kSocks, kHttp}, {});
        QCOMPARE(proxy.unavailableReason(), QString());
        m_reparses = 0;
        QVERIFY(proxy.setSystemProxy().set);
        compareKeys(kread, {{u"ProxyType"_s, u"1"_s},
                            {u"httpProxy"_s, u"http://127.0.0.1 10809"_s},
                            {u"httpsProxy"_s, u"http://127.0.0.1 10809"_s},
                            {u"socksProxy"_s, u"socks://127.0.0.1 10808"_s},
                            {u"NoProxyFor"_s, u"localhost,127.0.0.1,::1"_s},
                            {u"Proxy Config Script"_s, u"http://wpad.example/wpad.dat"_s}});
        QVERIFY(spinUntil([&] { return m_reparses == 1; }));
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0640u);

        QVERIFY(proxy.restoreSystemProxy());
        QVERIFY(spinUntil([&] { return m_reparses == 2; }));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    void kdeCannotBeUsed_data()
    {
        QTest::addColumn<QByteArray>("file"); // empty: kioslaverc is a folder
        QTest::addColumn<QString>("reason");
        QTest::newRow("locked group") << QByteArray("[Proxy Settings][$i]\nProxyType=0\n") << u"locked"_s;
        QTest::newRow("locked key") << QByteArray("[Proxy Settings]\nProxyType[$i]=0\n") << u"locked"_s;
        QTest::newRow("not a file") << QByteArray() << u"is not a file"_s;
    }

    void kdeCannotBeUsed()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"kioslaverc"_s);
        if (file.isEmpty()) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file);
        }
        KdeProxy kde(dir.path(), {});
        QVERIFY2(kde.unavailableReason().contains(reason), qPrintable(kde.unavailableReason()));
    }

    // GNOME's proxy points at a dead port: Qt follows it (libproxy) for any
    // host but loopback, so the server listens on this machine's own address.
    void theClientsOwnRequestsIgnoreTheSystemProxy()
    {
        QHostAddress own;
        for (const QHostAddress &address : QNetworkInterface::allAddresses())
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                own = address;
        if (own.isNull())
            QSKIP("this machine has no address besides loopback");
        const QString dead = QString::number(StubServer::closedPort());
        setProxyKey(u"mode"_s, u"manual"_s);
        for (const QString &kind : {u"http"_s, u"https"_s, u"socks"_s}) {
            setProxyKey(kind + u".host"_s, u"127.0.0.1"_s);
            setProxyKey(kind + u".port"_s, dead);
        }
        StubServer server(nullptr, QHostAddress::Any);
        server.on("GET", u"/hello"_s, StubServer::Response::text(200, "direct"));
        server.on("GET", u"/api/v1/xray/config"_s, StubServer::Response::json(200, QJsonDocument(configBody()).toJson()));
        const QString base = u"http://"_s + own.toString() + u':' + QString::number(server.port());
        QNetworkAccessManager plain;
        QVERIFY2(fetch(plain, QUrl(base + u"/hello"_s)) != "direct",
                 "Qt did not follow GNOME's proxy: is libproxy1-plugin-gsettings installed?");

        std::unique_ptr<QNetworkAccessManager> direct(DirectNetwork::create(nullptr));
        QCOMPARE(fetch(*direct, QUrl(base + u"/hello"_s)), QByteArray("direct"));
        Rig rig;
        APIClient client(rig.keychain, Endpoints::at(base));
        QCOMPARE(QCoro::waitFor(sendCatching(client, u"/hello"_s)), QByteArray("direct"));
        rig.options.endpoints = Endpoints::at(base);
        rig.make().setProxyOnly(true);
        QVERIFY(rig.connectNow());
        QCOMPARE(server.requests("GET", u"/api/v1/xray/config"_s).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDesktopProxy)
#include "tst_desktopproxy.moc"
