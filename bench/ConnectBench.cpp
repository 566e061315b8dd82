// Connect: Xray Reality (the fake xray and the fake proxy tool) and IKEv2
// (the strongSwan lab), each driven through VPNServiceManager as the
// application drives it, against the development backend; and the memory
// of many connect/disconnect cycles.
#include "ConnectBench.h"

#include "Bench.h"

#include "platform/Keychain.h"
#include "platform/SecretServiceKeychain.h"
#include "platform/StrongSwanVpn.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakeSystemVpn.h"
#include "support/FakeTools.h"
#include "support/StubServer.h"
#include "support/TempDefaults.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayService.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString kServerId = u"sg-node-01"_s;

// The manager the screens drive, over one protocol service.
struct Services
{
    TempDefaults defaults;
    FakeKeychain tokenKeychain;
    KeychainManager tokens{defaults.standard(), tokenKeychain};
    VPNServiceProtocol *service = nullptr;
    std::unique_ptr<VPNServiceManager> manager;

    void bind(VPNServiceProtocol &protocolService, VPNProtocolType type)
    {
        service = &protocolService;
        manager = std::make_unique<VPNServiceManager>(
            defaults.standard(), [this](VPNProtocolType) -> VPNServiceProtocol & { return *service; });
        manager->setSelectedProtocol(type);
    }

    bool waitFor(VPNConnectionState::Kind kind, int timeoutMs)
    {
        return Bench::spinUntil([this, kind] { return manager->connectionState().is(kind); }, timeoutMs);
    }

    // connect() to connected, in milliseconds; nothing when it failed.
    std::optional<double> connectOnce(const QString &address, int timeoutMs)
    {
        const long long start = Bench::nowNs();
        manager->connect(address, kServerId);
        if (!waitFor(VPNConnectionState::Kind::Connected, timeoutMs))
            return std::nullopt;
        return Bench::msSince(start);
    }

    // The same, timed from the state change itself rather than a poll of it.
    std::optional<double> connectOnceTimedBySignal(const QString &address, int timeoutMs)
    {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        std::optional<double> ms;
        long long start = 0;
        QObject::connect(manager.get(), &VPNServiceManager::connectionStateChanged, &loop,
                         [&](const VPNConnectionState &state) {
                             if (state.is(VPNConnectionState::Kind::Connected))
                                 ms = Bench::msSince(start);
                             if (ms || state.isError())
                                 loop.quit();
                         });
        start = Bench::nowNs();
        manager->connect(address, kServerId);
        loop.exec();
        return ms;
    }

    bool disconnectOnce(int timeoutMs)
    {
        manager->disconnect();
        return waitFor(VPNConnectionState::Kind::Disconnected, timeoutMs);
    }

    QString describeState() const { return manager->connectionState().description(); }
};

// Xray Reality over the stand-in programs, on free local ports.
struct XraySetup
{
    Bench::Backend backend;
    Services services;
    FakeNetworkSetup tool;
    FakeXray xray;
    QTemporaryDir work;
    std::unique_ptr<XrayService> service;

    explicit XraySetup(int readinessDelayMs)
    {
        services.tokens.save(QString::fromUtf8(backend.signIn()), KeychainManager::accessTokenKey);
        XrayService::Options options;
        options.endpoints = Endpoints::at(backend.url());
        options.proxyToolPath = tool.toolPath();
        options.bundledXrayPaths = {xray.executablePath()};
        options.pathMonitorFactory = QtPathMonitor::factory();
        options.configDirectory = work.filePath(u"private"_s);
        options.socksPort = StubServer::closedPort();
        do
            options.httpPort = StubServer::closedPort();
        while (options.httpPort == options.socksPort);
        options.readinessDelayMs = readinessDelayMs;
        tool.setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        tool.apply();
        xray.apply();
        service = std::make_unique<XrayService>(services.tokens, services.defaults.standard(), options);
        services.bind(*service, VPNProtocolType::XrayReality);
    }

    ~XraySetup()
    {
        services.manager.reset();
        service.reset();
        QThreadPool::globalInstance()->waitForDone();
        FakeXray::unapply();
        FakeNetworkSetup::unapply();
    }
};

QString labFact(const char *name)
{
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty())
        Bench::fail(u"%1 is not set: run inside the IKEv2 lab (scripts/ikev2-lab.sh run -- ...)"_s.arg(
            QString::fromLatin1(name)));
    return value;
}

bool run(const QString &program, const QStringList &arguments, const QByteArray &input = {},
         const QStringList &environment = {}, QString *output = nullptr)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000))
        process.kill();
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// IKEv2 through the lab's two daemons: the backend's "sg-node-01" is the
// lab's responder; the responder accepts the account's served credentials.
// A bare swanctl connection with the same settings stands beside ours.
struct Ikev2LabSetup
{
    static inline const QString bareName = u"bench-bare"_s;

    QString serverAddress = labFact("LAB_SERVER_ADDRESS");
    QString labDir = labFact("LAB_DIR");
    QString clientSocket = labFact("VELORIN_VICI_SOCKET");
    QString caFile = labFact("LAB_CA_FILE");
    QString labScript = labFact("VELORIN_LAB_SCRIPT");
    QTemporaryDir work;
    std::unique_ptr<Bench::Backend> backend;
    Services services;
    FakeKeychain fakeKeychain;
    std::unique_ptr<SecretServiceKeychain> secretService;
    Keychain *keychain = nullptr;
    std::unique_ptr<StrongSwanVpn> systemVpn;
    std::unique_ptr<IKEv2Manager> ikev2;
    std::unique_ptr<IKEv2Service> service;

    explicit Ikev2LabSetup(bool realKeychain)
    {
        QFile servers(work.filePath(u"servers.json"_s));
        if (!servers.open(QIODevice::WriteOnly))
            Bench::fail(u"cannot write the server list"_s);
        const QJsonObject server{{u"id"_s, kServerId},
                                 {u"address"_s, serverAddress},
                                 {u"name"_s, u"IKEv2 lab"_s},
                                 {u"location"_s, u"Test net"_s},
                                 {u"ikev2"_s, QJsonObject()}};
        servers.write(QJsonDocument(QJsonObject{{u"servers"_s, QJsonArray{server}}}).toJson());
        servers.close();
        backend = std::make_unique<Bench::Backend>(QStringList{u"--servers"_s, servers.fileName()});
        const QByteArray token = backend->signIn();

        QNetworkAccessManager network;
        const Bench::Answer answer =
            Bench::exchange(network, backend->url(u"/api/v1/ikev2/config?server_id="_s + kServerId), "GET", {}, token);
        const QJsonObject config = Bench::jsonOf(answer.body);
        const QString user = config.value(u"username"_s).toString();
        const QString password = config.value(u"password"_s).toString();
        if (user.isEmpty() || password.isEmpty())
            Bench::fail(u"the backend served no EAP credentials"_s);
        QString output;
        if (!run(labScript, {u"add-eap-user"_s, labDir, user}, password.toUtf8() + '\n', {}, &output))
            Bench::fail(u"the responder did not take the account's secret: "_s + output);
        loadBareConnection(user, password);

        services.tokens.save(QString::fromUtf8(token), KeychainManager::accessTokenKey);
        if (realKeychain) {
            secretService = std::make_unique<SecretServiceKeychain>();
            if (!SecretServiceKeychain::isServiceReachable())
                Bench::fail(u"no Secret Service on the session bus (tests/platform/with-secret-service.sh)"_s);
            keychain = secretService.get();
        } else {
            keychain = &fakeKeychain;
        }
        StrongSwanSettings settings;
        settings.socketPath = clientSocket;
        settings.caCertificateFile = caFile;
        settings.initiateTimeoutMs = 15000;
        // Wired as the application wires it.
        auto manager = std::make_shared<QPointer<IKEv2Manager>>();
        systemVpn = std::make_unique<StrongSwanVpn>(IKEv2Manager::passwordResolver(*keychain, manager), settings);
        ikev2 = std::make_unique<IKEv2Manager>(*systemVpn, *keychain, services.tokens, Endpoints::at(backend->url()));
        *manager = ikev2.get();
        service = std::make_unique<IKEv2Service>(*ikev2);
        services.bind(*service, VPNProtocolType::IKEv2);
        if (!Bench::spinUntil([this] { return ikev2->hasSystemVpn(); }, 10000))
            Bench::fail(u"the lab's client daemon did not answer"_s);
    }

    ~Ikev2LabSetup()
    {
        services.manager.reset();
        service.reset();
        ikev2.reset();
        systemVpn.reset();
    }

    QStringList swanctlEnvironment() const
    {
        return {u"STRONGSWAN_CONF="_s + labDir + u"/client/strongswan.conf"_s,
                u"SWANCTL_DIR="_s + work.filePath(u"swanctl"_s)};
    }

    QString uri() const { return u"unix://"_s + clientSocket; }

    // The same connection as the client's profile, as a swanctl
    // configuration, loaded into the client daemon once.
    void loadBareConnection(const QString &user, const QString &password)
    {
        const QDir dir(work.filePath(u"swanctl"_s));
        dir.mkpath(u"x509ca"_s);
        QFile::copy(caFile, dir.filePath(u"x509ca/ca.pem"_s));
        QFile conf(dir.filePath(u"swanctl.conf"_s));
        if (!conf.open(QIODevice::WriteOnly))
            Bench::fail(u"cannot write the bare swanctl configuration"_s);
        conf.write(u"connections {\n"
                   "  %1 {\n"
                   "    version = 2\n"
                   "    remote_addrs = %2\n"
                   "    vips = 0.0.0.0, ::\n"
                   "    proposals = aes256gcm16-prfsha256-modp2048\n"
                   "    dpd_delay = 30s\n"
                   "    local { auth = eap-mschapv2\n eap_id = %3 }\n"
                   "    remote { auth = pubkey\n id = %2\n cacerts = ca.pem }\n"
                   "    children { %1 { remote_ts = 0.0.0.0/0, ::/0\n esp_proposals = aes256gcm16-modp2048\n"
                   "      dpd_action = clear } }\n"
                   "  }\n"
                   "}\n"
                   "secrets { eap-bench { id = %3\n secret = 0x%4 } }\n"_s
                       .arg(bareName, serverAddress, user, QString::fromLatin1(password.toUtf8().toHex()))
                       .toUtf8());
        conf.close();
        QString output;
        if (!run(u"swanctl"_s, {u"--load-all"_s, u"--noprompt"_s, u"--uri"_s, uri()}, {}, swanctlEnvironment(),
                 &output))
            Bench::fail(u"swanctl could not load the bare connection: "_s + output);
    }

    // `swanctl --initiate` of the bare connection, in milliseconds.
    std::optional<double> bareInitiate()
    {
        const long long start = Bench::nowNs();
        QString output;
        const bool ok = run(u"swanctl"_s,
                            {u"--initiate"_s, u"--child"_s, bareName, u"--ike"_s, bareName, u"--uri"_s, uri()}, {},
                            swanctlEnvironment(), &output);
        const double ms = Bench::msSince(start);
        if (!ok) {
            Bench::note(u"bare swanctl --initiate failed: "_s + output.right(300).simplified());
            return std::nullopt;
        }
        return ms;
    }

    void bareTerminate()
    {
        run(u"swanctl"_s, {u"--terminate"_s, u"--ike"_s, bareName, u"--uri"_s, uri()}, {}, swanctlEnvironment());
    }
};

// IKEv2 over a scripted stand-in for the system's VPN service: everything of
// ours but the daemon.
struct Ikev2FakeSetup
{
    std::unique_ptr<Bench::Backend> backend = std::make_unique<Bench::Backend>();
    Services services;
    FakeKeychain keychain;
    FakeSystemVpn systemVpn;
    std::unique_ptr<IKEv2Manager> ikev2;
    std::unique_ptr<IKEv2Service> service;

    Ikev2FakeSetup()
    {
        services.tokens.save(QString::fromUtf8(backend->signIn()), KeychainManager::accessTokenKey);
        ikev2 = std::make_unique<IKEv2Manager>(systemVpn, keychain, services.tokens, Endpoints::at(backend->url()));
        service = std::make_unique<IKEv2Service>(*ikev2);
        services.bind(*service, VPNProtocolType::IKEv2);
    }

    ~Ikev2FakeSetup()
    {
        services.manager.reset();
        service.reset();
        ikev2.reset();
    }
};

} // namespace

int ConnectBench::xray(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 5);
    XraySetup setup(XrayService::defaultReadinessDelayMs);
    for (int run = 0; run < runs; ++run) {
        const std::optional<double> ms = setup.services.connectOnce(u"203.0.113.10"_s, 15000);
        if (!ms)
            Bench::fail(u"Xray did not connect: "_s + setup.services.describeState());
        Bench::sample(u"connect.xray_ms"_s, run, *ms);
        // The floor: the readiness wait alone.
        Bench::sample(u"connect.xray_floor_ms"_s, run, XrayService::defaultReadinessDelayMs);
        if (!setup.services.disconnectOnce(10000))
            Bench::fail(u"Xray did not disconnect: "_s + setup.services.describeState());
    }
    return 0;
}

int ConnectBench::proxy(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 15);
    // GNOME's settings in their keyfile store and kioslaverc, both in a
    // throw-away folder: set before GLib first looks at them.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("GSETTINGS_BACKEND", "keyfile");
    TempDefaults defaults;
    FakeNetworkSetup tool;
    tool.setActiveServices({u"Wi-Fi"_s});
    tool.apply();
    const ProxyEndpoints ports{u"127.0.0.1"_s, XrayService::defaultSocksPort, XrayService::defaultHttpPort};
    const auto desktop = [&](const QString &id) {
        return std::make_unique<SystemProxy>(defaults.standard(), ProxyChoice{id, u"bench"_s, {}, {}}, ports, QString());
    };
    struct Case
    {
        QString key;
        std::unique_ptr<SystemProxy> proxy;
        QList<double> set;
        QList<double> restore;
    };
    Case cases[] = {
        {u"gnome"_s, desktop(ProxyBackends::gnome), {}, {}},
        {u"kde"_s, desktop(ProxyBackends::kde), {}, {}},
        {u"tool"_s, std::make_unique<SystemProxy>(defaults.standard(), tool.toolPath(), ports.socksPort, ports.httpPort),
         {}, {}},
    };
    for (int run = 0; run < runs; ++run) {
        for (Case &c : cases) {
            const long long start = Bench::nowNs();
            const SystemProxy::Outcome outcome = c.proxy->setSystemProxy();
            if (!outcome.set)
                Bench::fail(c.key + u": the proxy was not set: "_s + outcome.error);
            const double set = Bench::msSince(start);
            const long long restoreStart = Bench::nowNs();
            if (!c.proxy->restoreSystemProxy())
                Bench::fail(c.key + u": the proxy was not restored"_s);
            const double restore = Bench::msSince(restoreStart);
            c.set.append(set);
            c.restore.append(restore);
            Bench::sample(u"proxy."_s + c.key + u"_ms"_s, run, set + restore);
        }
    }
    const auto median = [](QList<double> values) {
        std::sort(values.begin(), values.end());
        return values.isEmpty() ? 0.0 : values[values.size() / 2];
    };
    QStringList parts;
    for (const Case &c : cases)
        parts.append(c.key + u' ' + QString::number(median(c.set), 'f', 2) + u" / "_s
                     + QString::number(median(c.restore), 'f', 2));
    Bench::note(u"system proxy, median set / restore (ms): "_s + parts.join(u", "_s));
    FakeNetworkSetup::unapply();
    return 0;
}

int ConnectBench::ikev2(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 7);
    const bool realKeychain = Bench::option(arguments, u"--keychain"_s) == u"secret-service";
    Ikev2LabSetup setup(realKeychain);
    // A first tunnel of each kind: the daemons' first SA is not what a connect costs.
    if (!setup.services.connectOnce(setup.serverAddress, 20000))
        Bench::fail(u"IKEv2 did not connect: "_s + setup.services.describeState());
    setup.services.disconnectOnce(10000);
    if (setup.bareInitiate())
        setup.bareTerminate();

    for (int run = 0; run < runs; ++run) {
        for (int half = 0; half < 2; ++half) {
            if ((run + half) % 2 == 0) {
                const std::optional<double> ms = setup.services.connectOnceTimedBySignal(setup.serverAddress, 20000);
                if (!ms)
                    Bench::fail(u"IKEv2 did not connect: "_s + setup.services.describeState());
                Bench::sample(u"connect.ikev2_ms"_s, run, *ms);
                if (!setup.services.disconnectOnce(10000))
                    Bench::fail(u"IKEv2 did not disconnect: "_s + setup.services.describeState());
            } else {
                const std::optional<double> ms = setup.bareInitiate();
                if (!ms)
                    Bench::fail(u"the bare swanctl --initiate failed"_s);
                Bench::sample(u"connect.ikev2_floor_ms"_s, run, *ms);
                setup.bareTerminate();
            }
        }
    }
    return 0;
}

int ConnectBench::cycles(const QStringList &arguments)
{
    const int cycles = Bench::intOption(arguments, u"--cycles"_s, 200);
    const QString protocol = Bench::option(arguments, u"--protocol"_s, u"xray"_s);

    std::unique_ptr<XraySetup> xray;
    std::unique_ptr<Ikev2LabSetup> lab;
    std::unique_ptr<Ikev2FakeSetup> fake;
    Services *services = nullptr;
    QString address = u"203.0.113.10"_s;
    QString key;
    if (protocol == u"xray") {
        // The readiness wait is shortened (still long enough for the stand-in
        // to listen on a busy machine): what is measured is what each cycle
        // leaves behind, not the wait.
        xray = std::make_unique<XraySetup>(150);
        services = &xray->services;
        key = u"cycles.xray"_s;
    } else if (protocol == u"ikev2-lab") {
        lab = std::make_unique<Ikev2LabSetup>(Bench::option(arguments, u"--keychain"_s) == u"secret-service");
        services = &lab->services;
        address = lab->serverAddress;
        key = u"cycles.ikev2_lab"_s;
    } else if (protocol == u"ikev2-fake") {
        fake = std::make_unique<Ikev2FakeSetup>();
        services = &fake->services;
        key = u"cycles.ikev2_fake"_s;
    } else {
        Bench::fail(u"--protocol is xray, ikev2-lab or ikev2-fake"_s);
    }

    Bench::runCycles(key, cycles, [&](int) {
        const bool ok = services->connectOnce(address, 20000) && services->disconnectOnce(10000);
        if (!ok)
            Bench::note(key + u": a cycle ended in "_s + services->describeState());
        // The stand-ins' own records of calls.
        services->tokenKeychain.calls.clear();
        if (lab)
            lab->fakeKeychain.calls.clear();
        if (fake) {
            fake->systemVpn.savedProfiles.clear();
            fake->keychain.calls.clear();
        }
        return ok;
    });
    Bench::endCycles(arguments);
    return 0;
}

int ConnectBench::keychainCycles(const QStringList &arguments)
{
    const int cycles = Bench::intOption(arguments, u"--cycles"_s, 200);
    if (!SecretServiceKeychain::isServiceReachable())
        Bench::fail(u"no Secret Service on the session bus (tests/platform/with-secret-service.sh)"_s);
    SecretServiceKeychain keychain;
    const QString service = u"velorin-bench"_s;
    const QString account = u"ikev2-password"_s;
    // --reads-only: the item is written once and each round only reads it.
    const bool readsOnly = arguments.contains(u"--reads-only"_s);
    if (readsOnly) {
        keychain.remove(service, account);
        keychain.add(service, account, "bench-secret");
    }
    Bench::runCycles(readsOnly ? u"cycles.keychain_reads"_s : u"cycles.keychain"_s, cycles, [&](int) {
        if (readsOnly) {
            QByteArray value;
            return keychain.copy(service, account, &value) == Keychain::Success && value == "bench-secret";
        }
        keychain.remove(service, account);
        QByteArray reference;
        if (keychain.add(service, account, "bench-secret", &reference) != Keychain::Success)
            return false;
        QByteArray value;
        return keychain.copyByPersistentRef(reference, &value) == Keychain::Success && value == "bench-secret";
    });
    keychain.remove(service, account);
    Bench::endCycles(arguments);
    return 0;
}
