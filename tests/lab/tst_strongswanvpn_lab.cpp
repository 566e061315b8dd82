// The strongSwan adapter against the lab's daemons. Traffic and lookups are
// made inside the client namespace; the client as other users of the machine
// runs as velorin-lab-client under setpriv.
#include "Lab.h"

#include <QElapsedTimer>
#include <QSignalSpy>

namespace {

const QByteArray PasswordReference = "lab-password-ref";

struct DaemonState
{
    QList<QByteArray> connections;
    QList<QByteArray> sharedKeys;
    QStringList saNames;
    QList<QByteArray> saIds;  // unique ids of the IKE SAs
    bool answered = false;
};

// What the daemon holds: loaded connections, shared keys, IKE SAs.
DaemonState daemonState(const QString &socket)
{
    DaemonState state;
    ViciClient client(socket);
    int answers = 0;
    QObject::connect(&client, &ViciClient::eventReceived, &client,
                     [&state](const QByteArray &name, const Vici::Message &message) {
                         if (name != "list-sa")
                             return;
                         for (const Vici::Entry &entry : message.entries()) {
                             state.saNames.append(QString::fromUtf8(entry.name));
                             if (!entry.section.empty())
                                 state.saIds.append(entry.section.front().value("uniqueid").value_or("?"));
                         }
                     });
    client.registerEvent("list-sa", [&answers](const ViciClient::Reply &) { ++answers; });
    client.call("get-conns", {}, [&](const ViciClient::Reply &reply) {
        state.connections = reply.message.list("conns");
        ++answers;
    });
    client.call("get-shared", {}, [&](const ViciClient::Reply &reply) {
        state.sharedKeys = reply.message.list("keys");
        ++answers;
    });
    Vici::Message noblock;
    noblock.set("noblock", "yes");
    client.call("list-sas", noblock, [&answers](const ViciClient::Reply &) { ++answers; });
    state.answered = QTest::qWaitFor([&answers]() { return answers == 4; }, 5000);
    return state;
}

// velorin-lab-client run as another user, its lines read as they come.
struct LabClient
{
    QProcess process;
    QStringList lines;

    bool waitFor(const QString &line, int timeoutMs = 15000)
    {
        return QTest::qWaitFor(
            [&]() {
                while (process.canReadLine())
                    lines.append(QString::fromUtf8(process.readLine()).trimmed());
                return lines.contains(line);
            },
            timeoutMs);
    }
    void say(const QByteArray &line) { process.write(line + '\n'); }
};

} // namespace

class TestStrongSwanLab : public QObject
{
    Q_OBJECT

private:
    Lab m_lab;

    QString fact(const char *name) const { return m_lab.fact(name); }
    QString socket() const { return fact("VELORIN_VICI_SOCKET"); }

    bool command(const QByteArray &name, const QByteArray &ike, const QByteArray &extraKey = {})
    {
        Vici::Message arguments;
        arguments.set("ike", ike);
        if (!extraKey.isEmpty())
            arguments.set(extraKey, "yes");
        const auto answer = vici(socket(), name, arguments);
        return answer && answer->ok() && answer->message.value("success") == "yes";
    }

    IKEv2Profile profileFor(const QString &address, const QString &serverId = {}) const
    {
        IKEv2Profile profile;
        profile.serverAddress = address;
        profile.remoteIdentifier = serverId.isEmpty() ? address : serverId;
        profile.username = fact("LAB_EAP_USER");
        profile.passwordReference = PasswordReference;
        profile.serverCertificateIssuerCommonName = u"Velorin VPN CA"_s;
        profile.serverCertificateCommonName = address;
        profile.localizedDescription = u"Velorin VPN"_s;
        return profile;
    }

    // No password: the keychain has nothing under the profile's reference.
    std::unique_ptr<StrongSwanVpn> makeVpn(const std::optional<QByteArray> &password, int dpdDelaySeconds = 30) const
    {
        StrongSwanSettings settings = m_lab.clientSettings();
        settings.dpdDelaySeconds = dpdDelaySeconds;
        settings.uid = ::getuid();
        settings.machineHasIPv6 = true;  // the client namespace has IPv6
        return std::make_unique<StrongSwanVpn>(
            [password](const QByteArray &reference) {
                return reference == PasswordReference ? password : std::nullopt;
            },
            settings);
    }

    static std::optional<QString> await(std::function<void(SystemVpn::Completion)> operation)
    {
        std::optional<std::optional<QString>> result;
        operation([&result](const std::optional<QString> &error) { result = error; });
        if (!QTest::qWaitFor([&result]() { return result.has_value(); }, 15000))
            return u"no completion within 15 s"_s;
        return *result;
    }

    // A name lookup as any program in the client namespace makes it, with
    // the resolver configuration the client charon maintains.
    QString lookup() const
    {
        const ChildProcess::Result result = m_lab.inClient(
            {u"unshare"_s, u"-m"_s, u"sh"_s, u"-c"_s,
             u"mount --bind '%1' /etc/resolv.conf && exec getent ahostsv4 '%2'"_s.arg(fact("LAB_CLIENT_RESOLV_CONF"),
                                                                                      fact("LAB_DNS_NAME"))});
        return result.out.section(u' ', 0, 0).trimmed();
    }

    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }

    void verifyNothingLoaded(const QString &connection = u"Velorin VPN (uid 0)"_s, const QByteArray &secret = "velorin-vpn-eap-0")
    {
        const DaemonState state = daemonState(socket());
        QVERIFY(state.answered);
        QVERIFY2(!state.connections.contains(connection.toUtf8()), "the connection stayed loaded");
        QVERIFY2(!state.sharedKeys.contains(secret), "the password stayed loaded");
        QVERIFY2(!state.saNames.contains(connection), qPrintable(u"SAs left: "_s + state.saNames.join(u", "_s)));
    }

    std::unique_ptr<LabClient> startClient(uint uid, const QStringList &arguments, const QString &password = {},
                                           const QString &viciSocket = {}, const QString &caFile = {})
    {
        auto client = std::make_unique<LabClient>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"VELORIN_VICI_SOCKET"_s, viciSocket.isEmpty() ? socket() : viciSocket);
        env.insert(u"VELORIN_IKEV2_CA_FILE"_s, caFile.isEmpty() ? fact("LAB_CA_FILE") : caFile);
        client->process.setProcessEnvironment(env);
        ChildProcess::dieWithParent(client->process);
        const QString id = QString::number(uid);
        client->process.start(u"setpriv"_s, QStringList{u"--reuid="_s + id, u"--regid="_s + id, u"--clear-groups"_s,
                                                        qEnvironmentVariable("VELORIN_LAB_TOOLS") + u"/velorin-lab-client"_s}
                                                + arguments);
        if (!password.isEmpty())
            client->say(password.toUtf8());
        return client;
    }

    bool addEapUser(const QString &user, const QString &password)
    {
        const ChildProcess::Result result = ChildProcess::run(qEnvironmentVariable("VELORIN_LAB_SCRIPT"),
                                                              {u"add-eap-user"_s, fact("LAB_DIR"), user},
                                                              password.toUtf8() + '\n');
        return result.exitCode == 0;
    }

private slots:
    void initTestCase()
    {
        LAB_SKIP_WITHOUT_ROOT();
        QElapsedTimer timer;
        timer.start();
        const QString esp = qEnvironmentVariable("VELORIN_LAB_ESP", u"userspace"_s);
        const QString failed = m_lab.up(
            {u"--esp"_s, esp, u"--dns-tool"_s, qEnvironmentVariable("VELORIN_LAB_TOOLS") + u"/velorin-lab-dns"_s});
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qInfo("lab up in %lld ms (%s ESP)", qint64(timer.elapsed()), qPrintable(esp));
    }

    void cleanupTestCase()
    {
        const QString failed = m_lab.down();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    // While connected, IPv4, IPv6 and lookups go only through the tunnel;
    // afterwards the resolver is as it was and the daemon holds nothing of ours.
    void connectsCarriesTrafficAndLeaksNothing()
    {
        QVERIFY2(!m_lab.ping("LAB_TUNNEL_TARGET"), "the address behind the tunnel answers without a tunnel");
        QVERIFY2(!m_lab.ping("LAB_TUNNEL_TARGET6"), "the IPv6 address behind the tunnel answers without a tunnel");
        const QByteArray resolverBefore = contents(fact("LAB_CLIENT_RESOLV_CONF"));
        auto vpn = makeVpn(fact("LAB_EAP_PASSWORD").toUtf8());
        QSignalSpy statuses(vpn.get(), &SystemVpn::statusChanged);
        QCOMPARE(await([&vpn](auto done) { vpn->loadFromPreferences(done); }), std::nullopt);
        QCOMPARE(await([&](auto done) { vpn->saveToPreferences(profileFor(fact("LAB_SERVER_ADDRESS")), done); }),
                 std::nullopt);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        qInfo("connected in %lld ms", qint64(timer.elapsed()));
        QVERIFY2(m_lab.ping("LAB_TUNNEL_TARGET"), "no answer through the tunnel");
        QVERIFY2(m_lab.ping("LAB_TUNNEL_TARGET6"), "no IPv6 answer through the tunnel");
        const QString route6 = m_lab.inClient({u"ip"_s, u"-6"_s, u"route"_s, u"get"_s, fact("LAB_TUNNEL_TARGET6")}).out;
        QVERIFY2(route6.contains(u"dev ipsec"_s), qPrintable(route6));
        QCOMPARE(lookup(), fact("LAB_DNS_TUNNEL_ANSWER"));
        QVERIFY2(contents(fact("LAB_DNS_TUNNEL_LOG")).contains(fact("LAB_DNS_NAME").toUtf8()), "no query in the tunnel");
        QCOMPARE(contents(fact("LAB_DNS_LAN_LOG")), QByteArray());
        QVERIFY(vpn->lastFailureReason().isEmpty());

        // A reauthentication replaces the IKE SA; the tunnel comes back.
        const QList<QByteArray> before = daemonState(socket()).saIds;
        QCOMPARE(before.size(), 1);
        QVERIFY(command("rekey", vpn->names().connection.toUtf8(), "reauth"));
        QTRY_VERIFY_WITH_TIMEOUT(daemonState(socket()).saIds != before, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        QVERIFY2(m_lab.ping("LAB_TUNNEL_TARGET"), "no answer through the tunnel after the reauthentication");

        timer.restart();
        vpn->stopTunnel();
        QCOMPARE(vpn->status(), SystemVpn::Status::Disconnecting);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, 10000);
        qInfo("disconnected in %lld ms", qint64(timer.elapsed()));
        QList<SystemVpn::Status> seen;
        for (const QList<QVariant> &signal : statuses) {
            const auto status = signal.at(0).value<SystemVpn::Status>();
            if (status != SystemVpn::Status::Reasserting && (seen.isEmpty() || seen.last() != status))
                seen.append(status);
        }
        QCOMPARE(seen, (QList<SystemVpn::Status>{SystemVpn::Status::Connecting, SystemVpn::Status::Connected,
                                                 SystemVpn::Status::Disconnecting, SystemVpn::Status::Disconnected}));
        QVERIFY(!m_lab.ping("LAB_TUNNEL_TARGET"));
        QCOMPARE(contents(fact("LAB_CLIENT_RESOLV_CONF")), resolverBefore);
        verifyNothingLoaded();
    }

    void failuresEndWithTheReason_data()
    {
        QTest::addColumn<QString>("addressKey");
        QTest::addColumn<int>("password");  // 0 right, 1 wrong, 2 none
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("withinMs");
        QTest::newRow("wrong password") << u"LAB_SERVER_ADDRESS"_s << 1
                                        << u"The server rejected the user name or password"_s << 6000;
        QTest::newRow("no password stored") << u"LAB_SERVER_ADDRESS"_s << 2
                                            << u"No password is stored for this VPN profile"_s << 6000;
        QTest::newRow("certificate of another CA")
            << u"LAB_IMPOSTOR_ADDRESS"_s << 0 << u"The server's certificate is not trusted"_s << 3000;
        // The configuration names the trusted server, but the address dialled
        // answers with that server's certificate, which does not name it.
        QTest::newRow("certificate for another address")
            << u"LAB_WRONG_NAME_ADDRESS"_s << 0 << u"The server refused the authentication"_s << 3000;
        QTest::newRow("no DNS server") << u"LAB_NO_DNS_ADDRESS"_s << 0 << StrongSwanRules::Messages::noDns() << 3000;
        QTest::newRow("DNS server outside the tunnel")
            << u"LAB_BAD_DNS_ADDRESS"_s << 0 << StrongSwanRules::Messages::unusableDns(u"10.231.0.53"_s) << 3000;
        QTest::newRow("no IPv6 through the tunnel")
            << u"LAB_IPV4_ONLY_ADDRESS"_s << 0 << StrongSwanRules::Messages::ipv6NotCarried() << 3000;
        QTest::newRow("unreachable server") << u"LAB_UNREACHABLE_ADDRESS"_s << 0
                                            << u"The server does not respond"_s << 10000;
    }

    void failuresEndWithTheReason()
    {
        QFETCH(QString, addressKey);
        QFETCH(int, password);
        QFETCH(QString, reason);
        QFETCH(int, withinMs);
        const QByteArray right = fact("LAB_EAP_PASSWORD").toUtf8();
        auto vpn = makeVpn(password == 0   ? std::optional<QByteArray>(right)
                           : password == 1 ? std::optional<QByteArray>("not-the-password")
                                           : std::nullopt);
        const QByteArray resolverBefore = contents(fact("LAB_CLIENT_RESOLV_CONF"));
        QCOMPARE(await([&](auto done) {
                     vpn->saveToPreferences(profileFor(m_lab.fact(addressKey), fact("LAB_SERVER_ADDRESS")), done);
                 }),
                 std::nullopt);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QCOMPARE(vpn->status(), SystemVpn::Status::Connecting);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, withinMs);
        qInfo("%s: failed in %lld ms: %s", QTest::currentDataTag(), qint64(timer.elapsed()),
              qPrintable(vpn->lastFailureReason()));
        QVERIFY2(vpn->lastFailureReason().startsWith(reason), qPrintable(vpn->lastFailureReason()));
        verifyNothingLoaded();
        QTRY_COMPARE(contents(fact("LAB_CLIENT_RESOLV_CONF")), resolverBefore);
    }

    void aDeadServerEndsTheTunnelWithTheReason()
    {
        auto vpn = makeVpn(fact("LAB_EAP_PASSWORD").toUtf8(), 1);
        QCOMPARE(await([&](auto done) { vpn->saveToPreferences(profileFor(fact("LAB_SERVER_ADDRESS")), done); }),
                 std::nullopt);
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        const QStringList link{u"ip"_s, u"-n"_s, fact("LAB_SERVER_NETNS"), u"link"_s, u"set"_s, u"veth0"_s};
        QCOMPARE(ChildProcess::run(link.first(), link.mid(1) + QStringList{u"down"_s}).exitCode, 0);
        QElapsedTimer timer;
        timer.start();
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, 15000);
        qInfo("dead server noticed in %lld ms after the link went down", qint64(timer.elapsed()));
        QCOMPARE(ChildProcess::run(link.first(), link.mid(1) + QStringList{u"up"_s}).exitCode, 0);
        QCOMPARE(vpn->lastFailureReason(), StrongSwanRules::Messages::deadPeer());
        verifyNothingLoaded();
    }

    // A stop and a new connect right after it: the stop's clean-up never
    // takes out what the newer attempt loaded.
    void aStopRacingANewConnectKeepsTheNewTunnel()
    {
        auto vpn = makeVpn(fact("LAB_EAP_PASSWORD").toUtf8());
        const IKEv2Profile profile = profileFor(fact("LAB_SERVER_ADDRESS"));
        QCOMPARE(await([&](auto done) { vpn->saveToPreferences(profile, done); }), std::nullopt);
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        vpn->stopTunnel();
        vpn->saveToPreferences(profile, {});
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        QVERIFY(daemonState(socket()).sharedKeys.contains(vpn->names().secretId));
        QVERIFY(m_lab.ping("LAB_TUNNEL_TARGET"));
        vpn->stopTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, 10000);
        verifyNothingLoaded();
    }

    // Two users of the machine on one daemon: one stopping leaves the other's
    // tunnel alone.
    void twoUsersDoNotTouchEachOther()
    {
        QVERIFY(addEapUser(u"lab-user-a"_s, u"password-a"_s));
        QVERIFY(addEapUser(u"lab-user-b"_s, u"password-b"_s));
        auto a = startClient(1000, {u"connect"_s, fact("LAB_SERVER_ADDRESS"), u"lab-user-a"_s}, u"password-a"_s);
        QVERIFY2(a->waitFor(u"status Connected"_s), qPrintable(a->lines.join(u'\n')));
        auto b = startClient(1001, {u"connect"_s, fact("LAB_SERVER_ADDRESS"), u"lab-user-b"_s}, u"password-b"_s);
        QVERIFY2(b->waitFor(u"status Connected"_s), qPrintable(b->lines.join(u'\n')));
        DaemonState state = daemonState(socket());
        QCOMPARE(state.saNames.size(), 2);
        QVERIFY(state.connections.contains("Velorin VPN (uid 1000)") && state.connections.contains("Velorin VPN (uid 1001)"));
        QVERIFY(state.sharedKeys.contains("velorin-vpn-eap-1000") && state.sharedKeys.contains("velorin-vpn-eap-1001"));

        b->say("stop");
        QVERIFY(b->waitFor(u"status Disconnected"_s));
        verifyNothingLoaded(u"Velorin VPN (uid 1001)"_s, "velorin-vpn-eap-1001");
        state = daemonState(socket());
        QCOMPARE(state.saNames, QStringList{u"Velorin VPN (uid 1000)"_s});
        QVERIFY(state.sharedKeys.contains("velorin-vpn-eap-1000"));
        QTest::qWait(200);
        QVERIFY2(!a->lines.contains(u"status Disconnected"_s), qPrintable(a->lines.join(u'\n')));
        b->say("quit");

        // Quitting keeps an established tunnel but not the password.
        a->say("quit");
        QVERIFY(a->process.waitForFinished(5000));
        state = daemonState(socket());
        QVERIFY(!state.sharedKeys.contains("velorin-vpn-eap-1000"));
        QCOMPARE(state.saNames, QStringList{u"Velorin VPN (uid 1000)"_s});
        QVERIFY(command("terminate", "Velorin VPN (uid 1000)"));
    }

    void quittingWhileConnectingLeavesNothing()
    {
        auto client = startClient(1000, {u"connect"_s, fact("LAB_UNREACHABLE_ADDRESS"), fact("LAB_EAP_USER")},
                                  fact("LAB_EAP_PASSWORD"));
        QVERIFY2(client->waitFor(u"status Connecting"_s), qPrintable(client->lines.join(u'\n')));
        QTRY_VERIFY(daemonState(socket()).sharedKeys.contains("velorin-vpn-eap-1000"));
        client->say("quit");
        QVERIFY(client->process.waitForFinished(3000));
        verifyNothingLoaded(u"Velorin VPN (uid 1000)"_s, "velorin-vpn-eap-1000");
    }

    void findsTheSocketAndSaysWhenItIsNotUsable()
    {
        auto nobody = startClient(65534, {u"load"_s}, {}, fact("LAB_SERVER_VICI_SOCKET"));
        QVERIFY(nobody->process.waitForFinished(10000));
        const QString said = QString::fromUtf8(nobody->process.readAll()).trimmed();
        QCOMPARE(said, u"error IKEv2 is not available: no permission to use the IKE daemon's socket %1: join the "
                       "velorin group, then log in again"_s.arg(fact("LAB_SERVER_VICI_SOCKET")));

        const QString secret = fact("LAB_DIR") + u"/eap-password"_s;
        auto noCa = startClient(65534, {u"connect"_s, fact("LAB_SERVER_ADDRESS"), fact("LAB_EAP_USER")}, u"x"_s, {}, secret);
        QVERIFY(noCa->waitFor(u"error The certificate of the VPN's CA cannot be read from %1: Permission denied"_s.arg(secret)));

        // The standard place (Fedora's and Arch's), in a mount namespace of its own.
        const ChildProcess::Result found = ChildProcess::run(
            u"unshare"_s,
            {u"-m"_s, u"sh"_s, u"-c"_s,
             u"mount -t tmpfs lab /run && mkdir /run/strongswan && ln -s '%1' /run/strongswan/charon.vici"
             " && exec env -u VELORIN_VICI_SOCKET '%2/velorin-lab-client' load"_s.arg(
                 socket(), qEnvironmentVariable("VELORIN_LAB_TOOLS"))});
        QCOMPARE(found.out.trimmed(), u"ready"_s);
    }
};

QTEST_GUILESS_MAIN(TestStrongSwanLab)
#include "tst_strongswanvpn_lab.moc"
