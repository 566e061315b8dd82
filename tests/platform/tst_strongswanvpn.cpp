// The strongSwan adapter over a fake VICI socket: what it sends, how events
// become statuses, how failures end (the real daemons are in tests/lab).
#include "platform/StrongSwanVpn.h"
#include "platform/ViciClient.h"
#include "support/FakeViciServer.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using Answer = FakeViciServer::Answer;
using Status = SystemVpn::Status;
using namespace StrongSwanRules;

namespace {

const QByteArray Name = "Velorin VPN (uid 1000)";
const QByteArray SecretId = "velorin-vpn-eap-1000";

IKEv2Profile labProfile()
{
    IKEv2Profile profile;
    profile.serverAddress = u"10.231.0.1"_s;
    profile.remoteIdentifier = u"10.231.0.1"_s;
    profile.username = u"alice"_s;
    profile.passwordReference = "ref-1";
    profile.serverCertificateIssuerCommonName = u"Velorin VPN CA"_s;
    profile.serverCertificateCommonName = u"10.231.0.1"_s;
    profile.localizedDescription = u"Velorin VPN"_s;
    return profile;
}

// An updown or list-sa event about our connection, with IPv4 and IPv6.
Vici::Message saEvent(const QByteArray &ikeState, const QByteArray &childState, bool up = false)
{
    Vici::Message ike;
    ike.set("state", ikeState);
    ike.setList("local-vips", {"10.232.100.1", "fd00:232:100::1"});
    if (!childState.isEmpty()) {
        Vici::Message child;
        child.set("name", Name);
        child.set("state", childState);
        child.setList("local-ts", {"10.232.100.1/32", "fd00:232:100::1/128"});
        child.setList("remote-ts", {"10.232.0.0/24", "fd00:232::/64"});
        Vici::Message children;
        children.setSection(Name + "-1", child);
        ike.setSection("child-sas", children);
    }
    Vici::Message event;
    if (up)
        event.set("up", "yes");
    event.setSection(Name, ike);
    return event;
}

Vici::Message logLine(const QByteArray &text, const QByteArray &ikeName = {})
{
    Vici::Message message;
    message.set("group", "IKE");
    message.set("level", "1");
    if (!ikeName.isEmpty())
        message.set("ikesa-name", ikeName);
    message.set("msg", text);
    return message;
}

} // namespace

class TestStrongSwanVpn : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeViciServer> m_server;
    std::unique_ptr<StrongSwanVpn> m_vpn;
    std::unique_ptr<QSignalSpy> m_statuses;
    // What list-sas streams about our connection (empty: no SA).
    QList<Vici::Message> m_sas;
    QList<QByteArray> m_resolved;
    QTemporaryDir m_dir;

    QList<Status> statuses() const
    {
        QList<Status> out;
        for (const QList<QVariant> &signal : *m_statuses)
            out.append(signal.at(0).value<Status>());
        return out;
    }

    std::optional<QString> await(std::function<void(SystemVpn::Completion)> operation)
    {
        std::optional<std::optional<QString>> result;
        operation([&result](const std::optional<QString> &error) { result = error; });
        if (!QTest::qWaitFor([&result]() { return result.has_value(); }, 5000))
            return u"no completion"_s;
        return *result;
    }

    QList<QByteArray> commandsAfter(const QByteArray &command) const
    {
        const QList<QByteArray> all = m_server->commands();
        const qsizetype at = all.lastIndexOf(command);
        return at < 0 ? QList<QByteArray>{} : all.mid(at + 1);
    }

    void saveAndStart()
    {
        QCOMPARE(await([this](auto done) { m_vpn->saveToPreferences(labProfile(), done); }), std::nullopt);
        QCOMPARE(m_vpn->startTunnel(), std::nullopt);
        QTRY_VERIFY(m_server->commands().contains("initiate"));
    }

    // The daemon answers the held initiate, the log naming a DNS server.
    void establish()
    {
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        m_server->sendEvent("control-log", logLine("installing DNS server 10.232.0.53 to /etc/resolv.conf"));
        m_server->respond(Answer::success().message);
    }

private slots:
    void init()
    {
        m_server = std::make_unique<FakeViciServer>();
        QVERIFY(m_server->listen());
        m_sas.clear();
        m_resolved.clear();
        m_server->setHandler("list-sas", [this](const Vici::Message &) {
            Answer answer;
            for (const Vici::Message &sa : m_sas)
                answer.eventsBefore.append({"list-sa", sa});
            return answer;
        });
        m_server->setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        QFile ca(m_dir.filePath(u"ca.pem"_s));
        QVERIFY(ca.open(QIODevice::WriteOnly));
        ca.write("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
        ca.close();
        StrongSwanSettings settings;
        settings.socketPath = m_server->socketPath();
        settings.caCertificateFile = ca.fileName();
        settings.uid = 1000;
        settings.machineHasIPv6 = true;
        m_vpn = std::make_unique<StrongSwanVpn>(
            [this](const QByteArray &reference) -> std::optional<QByteArray> {
                m_resolved.append(reference);
                if (reference == "ref-1")
                    return QByteArray("s3cret");
                return std::nullopt;
            },
            settings);
        m_statuses = std::make_unique<QSignalSpy>(m_vpn.get(), &SystemVpn::statusChanged);
    }

    void cleanup()
    {
        m_statuses.reset();
        m_vpn.reset();
        m_server.reset();
    }

    void theConnectionCarriesEveryProfileSetting()
    {
        QString error;
        IKEv2Profile profile = labProfile();
        // The certificate must name the dialled address, whatever the server id says.
        profile.remoteIdentifier = u"vpn.example"_s;
        const std::optional<Vici::Message> message = connectionFor(profile, QString::fromUtf8(Name), {}, &error);
        QVERIFY2(message, qPrintable(error));
        const Vici::Message *conn = message->section(Name);
        QVERIFY(conn);
        const Vici::Message *child = conn->section("children")->section(Name);
        QVERIFY(child);
        const QList<std::pair<const Vici::Message *, QList<QByteArray>>> texts{
            {conn, {"version", "2", "dpd_delay", "30s"}},
            {conn->section("local"), {"auth", "eap-mschapv2", "eap_id", "alice"}},
            {conn->section("remote"), {"auth", "pubkey", "id", "10.231.0.1", "ca_id", "CN=Velorin VPN CA"}},
            {child, {"start_action", "none", "close_action", "none", "dpd_action", "clear"}},
        };
        for (const auto &[section, pairs] : texts)
            for (qsizetype i = 0; i < pairs.size(); i += 2)
                QCOMPARE(section->value(pairs[i]), pairs[i + 1]);
        QVERIFY(!conn->section("local")->contains("id"));
        QCOMPARE(conn->list("remote_addrs"), QList<QByteArray>{"10.231.0.1"});
        QCOMPARE(conn->list("vips"), (QList<QByteArray>{"0.0.0.0", "::"}));
        QCOMPARE(conn->list("proposals"), QList<QByteArray>{"aes256gcm16-prfsha256-modp2048"});
        QCOMPARE(child->list("esp_proposals"), QList<QByteArray>{"aes256gcm16-modp2048"});
        QCOMPARE(child->list("remote_ts"), (QList<QByteArray>{"0.0.0.0/0", "::/0"}));

        IKEv2Profile other = labProfile();
        other.localIdentifier = u"client@example"_s;
        other.ikeSecurityAssociation = {4, 3, 19};
        const Vici::Message otherConn = *connectionFor(other, u"x"_s, {5}, &error)->section("x");
        QCOMPARE(otherConn.section("local")->text("id"), u"client@example"_s);
        QCOMPARE(otherConn.list("proposals"), QList<QByteArray>{"aes256-sha256-ecp256"});
        QCOMPARE(otherConn.text("dpd_delay"), u"5s"_s);

        // Two users of one daemon never share a name.
        QCOMPARE(namesFor(u"Velorin VPN"_s, 1000).connection, QString::fromUtf8(Name));
        QCOMPARE(namesFor(u" "_s, 1000).secretId, SecretId);
        QVERIFY(namesFor({}, 1001).connection != namesFor({}, 1000).connection);
    }

    void profilesItCannotExpressAreInvalid_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("error");
        QTest::newRow("no server address") << 0 << u"no server address"_s;
        QTest::newRow("certificate authentication") << 1 << u"only EAP"_s;
        QTest::newRow("unknown cipher") << 2 << u"encryption algorithm 99"_s;
        QTest::newRow("rejected by the daemon") << 3 << u"The IKEv2 service rejected the profile: invalid proposal"_s;
    }

    void profilesItCannotExpressAreInvalid()
    {
        QFETCH(int, change);
        QFETCH(QString, error);
        IKEv2Profile profile = labProfile();
        if (change == 0)
            profile.serverAddress = u"  "_s;
        else if (change == 1)
            profile.authenticationMethod = IKEv2Profile::AuthenticationCertificate;
        else if (change == 2)
            profile.childSecurityAssociation.encryptionAlgorithm = 99;
        else
            m_server->setHandler("load-conn", [](const Vici::Message &) { return Answer::failure(u"invalid proposal"_s); });
        // The status comes before the completion, so that a caller reads it there.
        QList<QString> order;
        QObject::connect(m_vpn.get(), &SystemVpn::statusChanged, m_vpn.get(),
                         [&order](Status) { order.append(u"status"_s); });
        const std::optional<QString> result = await([&](auto done) {
            m_vpn->saveToPreferences(profile, [&order, done](const std::optional<QString> &e) {
                order.append(u"completion"_s);
                done(e);
            });
        });
        QVERIFY(result);
        QVERIFY2(result->contains(error), qPrintable(*result));
        QCOMPARE(statuses(), QList<Status>{Status::Invalid});
        QCOMPARE(order, (QList<QString>{u"status"_s, u"completion"_s}));
        QCOMPARE(m_server->commands().contains("load-conn"), change == 3);
    }

    // The configured socket and CA file win; else the first standard one
    // that exists, and with none the first, so errors name it.
    void findsTheDaemonAndTheCa()
    {
        const QStringList candidates{u"/run/charon.vici"_s, u"/run/strongswan/charon.vici"_s};
        const auto only = [](const QString &present) { return [present](const QString &p) { return p == present; }; };
        QCOMPARE(chooseSocket(u"/x.vici"_s, candidates, only(candidates[1])), u"/x.vici"_s);
        QCOMPARE(chooseSocket({}, candidates, only({})), candidates[0]);
        const QStringList cas = standardCaFiles();
        QCOMPARE(cas.first(), u"/etc/velorin-vpn/velorin-vpn-ca.pem"_s);
        QCOMPARE(chooseCaFile({}, cas, only(cas[1])), cas[1]);
        QCOMPARE(chooseCaFile({}, cas, only({})), cas[0]);
        // The package's placeholder (comments only) is not a certificate.
        QVERIFY(!holdsCertificate("# Install the VPN service's CA certificate here.\n"));
        QVERIFY(holdsCertificate("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"));

        StrongSwanSettings settings;
        settings.socketPath = m_dir.filePath(u"absent.vici"_s);
        StrongSwanVpn vpn({}, settings);
        const std::optional<QString> error = await([&vpn](auto done) { vpn.loadFromPreferences(done); });
        QCOMPARE(error.value_or(QString()),
                 u"IKEv2 is not available: nothing listens at %1 (is the IKE daemon charon running?)"_s.arg(
                     settings.socketPath));
        QCOMPARE(vpn.startTunnel(), u"No IKEv2 profile has been saved"_s);
    }

    // What an earlier run left (password, idle connection) leaves the daemon
    // first; the CA goes once per daemon connection.
    void saveLoadsTheCaThePasswordAndTheConnection()
    {
        QCOMPARE(await([this](auto done) { m_vpn->saveToPreferences(labProfile(), done); }), std::nullopt);
        QCOMPARE(commandsAfter("list-sas"), (QList<QByteArray>{"unload-shared", "load-cert", "load-shared", "load-conn"}));
        QCOMPARE(m_resolved, QList<QByteArray>{"ref-1"});
        QVERIFY(statuses().isEmpty());

        // Without a password in the keychain, the old one leaves the daemon.
        IKEv2Profile noPassword = labProfile();
        noPassword.passwordReference = "gone";
        m_server->clearReceived();
        QCOMPARE(await([&](auto done) { m_vpn->saveToPreferences(noPassword, done); }), std::nullopt);
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"unload-shared", "load-conn"}));
    }

    // Connected once the initiate answered. A reauthentication deletes the
    // old IKE SA before the new one is listed: one empty list is not the end.
    void statusFollowsTheDaemonsEvents()
    {
        saveAndStart();
        m_server->sendEvent("ike-updown", saEvent("ESTABLISHED", {}, true));
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTest::qWait(50);
        QCOMPARE(m_vpn->status(), Status::Connecting);
        establish();
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
        m_server->sendEvent("ike-rekey", saEvent("ESTABLISHED", {}));
        // A child SA being rekeyed still carries the traffic.
        for (const char *childState : {"REKEYING", "REKEYED"})
            QCOMPARE(saStateOf({saEvent("ESTABLISHED", childState)}, Name), SaState::Up);

        const qsizetype lists = m_server->commands().count("list-sas");
        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_server->commands().count("list-sas"), lists + 1);
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        QTRY_COMPARE(m_server->commands().count("list-sas"), lists + 2);
        QTest::qWait(50);
        QCOMPARE(m_vpn->status(), Status::Connected);

        m_sas = {saEvent("DELETING", "INSTALLED"), saEvent("CONNECTING", {})};
        m_server->sendEvent("child-updown", saEvent("DELETING", "DELETING"));
        QTRY_COMPARE(m_vpn->status(), Status::Reasserting);
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTRY_COMPARE(m_vpn->status(), Status::Connected);

        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QTRY_COMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Connected, Status::Reasserting,
                                                Status::Connected, Status::Disconnected}));
        QVERIFY(m_vpn->lastFailureReason().isEmpty());
    }

    void leakChecks_data()
    {
        QTest::addColumn<QStringList>("vips");
        QTest::addColumn<QStringList>("remoteTs");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<bool>("machineHasIPv6");
        QTest::addColumn<QString>("leak");
        const QStringList both{u"10.232.100.1"_s, u"fd00::1"_s};
        const QStringList full{u"0.0.0.0/0"_s, u"::/0"_s};
        const auto dns = [](const QString &a) { return QStringList{u"installing DNS server %1 via resolvconf"_s.arg(a)}; };
        QTest::newRow("sound") << both << full << dns(u"10.0.0.53"_s) + dns(u"fd00::53"_s) << true << QString();
        QTest::newRow("DNS at the end of a range, installed by another tunnel")
            << both << QStringList{u"10.0.0.1..10.0.0.53[udp/53]"_s, u"fd00::/64"_s}
            << QStringList{u"DNS server 10.0.0.53 already installed, increasing refcount"_s} << true << QString();
        QTest::newRow("no DNS asked for")
            << both << full << QStringList{u"generating IKE_AUTH request 1 [ IDi CPRQ(ADDR ADDR6) SA TSi TSr ]"_s}
            << true << Messages::dnsNotRequested();
        QTest::newRow("loopback DNS") << both << full << dns(u"127.0.0.53"_s) << true
                                      << Messages::unusableDns(u"127.0.0.53"_s);
        const QString unhandled = u"handling INTERNAL_IP4_DNS attribute failed"_s;
        QTest::newRow("daemon cannot set DNS") << both << full << QStringList{unhandled} << true
                                               << Messages::dnsNotApplied(unhandled);
        QTest::newRow("no IPv6 address") << QStringList{u"10.232.100.1"_s} << full << dns(u"10.0.0.53"_s) << true
                                         << Messages::ipv6NotCarried();
        QTest::newRow("no IPv6 routes") << both << QStringList{u"0.0.0.0/0"_s} << dns(u"10.0.0.53"_s) << true
                                        << Messages::ipv6NotCarried();
        QTest::newRow("no IPv6 on the machine") << QStringList{u"10.232.100.1"_s} << QStringList{u"0.0.0.0/0"_s}
                                                << dns(u"10.0.0.53"_s) << false << QString();
    }

    void leakChecks()
    {
        QFETCH(QStringList, vips);
        QFETCH(QStringList, remoteTs);
        QFETCH(QStringList, log);
        QFETCH(bool, machineHasIPv6);
        QFETCH(QString, leak);
        Tunnel tunnel;
        for (const QString &vip : vips)
            tunnel.virtualIps.append(QHostAddress(vip));
        tunnel.remoteTs = remoteTs;
        QCOMPARE(leakOf(tunnel, dnsOf(log), machineHasIPv6).value_or(QString()), leak);
    }

    void aProfileTheDaemonLostIsInvalid()
    {
        m_server->setHandler("initiate", [](const Vici::Message &) {
            return Answer::failure(u"CHILD_SA config 'Velorin VPN' not found"_s);
        });
        saveAndStart();
        QTRY_COMPARE(m_vpn->status(), Status::Invalid);
    }

    void stopWhileConnectingEndsWithoutAFailure()
    {
        saveAndStart();
        m_vpn->stopTunnel();
        QCOMPARE(m_vpn->status(), Status::Disconnecting);
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QCOMPARE(commandsAfter("initiate"), (QList<QByteArray>{"terminate", "unload-conn", "unload-shared"}));
        QCOMPARE(m_server->lastRequest("terminate")->value("ike"), Name);
        QTRY_COMPARE(m_server->openConnectionCount(), 1);  // the initiate's connection is closed
        QTRY_COMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Disconnecting, Status::Disconnected}));
        m_vpn->stopTunnel();  // nothing to stop
        QTest::qWait(20);
        QCOMPARE(m_vpn->status(), Status::Disconnected);
        QVERIFY(m_vpn->lastFailureReason().isEmpty());
    }

    // The password leaves over a new connection while the daemon still runs.
    void aBrokenDaemonEndsTheAttemptAndLeavesNoPassword_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("closes") << 0 << u"IKEv2 is not available: the IKE daemon closed the connection"_s;
        QTest::newRow("garbage") << 1 << u"IKEv2 is not available: the IKE daemon sent a malformed message"_s;
        QTest::newRow("silence") << 2 << u"IKEv2 is not available: the IKE daemon did not answer \"initiate\""_s;
    }

    void aBrokenDaemonEndsTheAttemptAndLeavesNoPassword()
    {
        QFETCH(int, fault);
        QFETCH(QString, reason);
        StrongSwanSettings settings = m_vpn->settings();
        settings.initiateTimeoutMs = 100;
        settings.commandTimeoutMs = 200;
        m_vpn = std::make_unique<StrongSwanVpn>([](const QByteArray &) { return QByteArray("pw"); }, settings);
        saveAndStart();
        if (fault == 0)
            m_server->closeConnections();
        else if (fault == 1)
            m_server->sendRaw(QByteArray::fromHex("0000000301ffff"));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QVERIFY2(m_vpn->lastFailureReason().startsWith(reason), qPrintable(m_vpn->lastFailureReason()));
        QTRY_VERIFY(commandsAfter("initiate").contains("unload-shared"));
        QCOMPARE(m_server->lastRequest("unload-shared")->value("id"), SecretId);
    }

    // Unanswered requests, or the daemon giving up on them, end the tunnel.
    void aDeadServerEndsTheTunnel()
    {
        PeerWatch watch;
        const QString retransmit = u"retransmit %1 of request with message ID %2"_s;
        QVERIFY(!watch.feed(retransmit.arg(1).arg(7), 0));
        QVERIFY(!watch.feed(retransmit.arg(2).arg(7), PeerWatch::DeadAfterMs - 1));
        QVERIFY(!watch.feed(retransmit.arg(1).arg(8), PeerWatch::DeadAfterMs + 1));  // 7 was answered
        QVERIFY(!watch.feed(retransmit.arg(2).arg(8), PeerWatch::DeadAfterMs + 2)); // 8's own clock
        QVERIFY(watch.feed(retransmit.arg(3).arg(8), 2 * PeerWatch::DeadAfterMs + 1));

        saveAndStart();
        establish();
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
        m_server->sendEvent("log", logLine("giving up after 5 retransmits", "someone else's"));
        QTest::qWait(30);
        QCOMPARE(m_vpn->status(), Status::Connected);
        m_server->sendEvent("log", logLine("giving up after 5 retransmits", Name));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QCOMPARE(m_vpn->lastFailureReason(), Messages::deadPeer());
    }

    void reflectsATunnelStartedOutsideTheClient()
    {
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        QCOMPARE(await([this](auto done) { m_vpn->loadFromPreferences(done); }), std::nullopt);
        QTRY_COMPARE(m_vpn->status(), Status::Connected);  // left up by an earlier run
        QVERIFY(!m_server->commands().contains("unload-shared"));

        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        m_server->sendEvent("ike-updown", saEvent("ESTABLISHED", {}, true));
        QTRY_COMPARE(m_vpn->status(), Status::Connecting);
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
    }

    // No known cause: the last log line about a failure, else the daemon's message.
    void describesFailuresReadably()
    {
        const QString generic = u"establishing CHILD_SA 'Velorin VPN' failed"_s;
        QCOMPARE(describeFailure({u"a failed thing"_s, u"another failed thing"_s, u"fine"_s}, generic),
                 u"The tunnel could not be established (another failed thing)"_s);
        QCOMPARE(describeFailure({}, u"initiate timed out"_s),
                 u"The tunnel could not be established (initiate timed out)"_s);
        QCOMPARE(describeFailure({}, QString()), u"The tunnel could not be established"_s);
    }
};

QTEST_GUILESS_MAIN(TestStrongSwanVpn)
#include "tst_strongswanvpn.moc"
