// The strongSwan adapter's own logic over a fake VICI socket: what it sends,
// how events become statuses, how failures end. The real daemons are in
// tests/lab.
#include "platform/StrongSwanVpn.h"
#include "support/FakeViciServer.h"

#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;
using Answer = FakeViciServer::Answer;
using Status = SystemVpn::Status;

namespace {

const QByteArray Name = "Velorin VPN";

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

// An updown or list-sa event about our connection.
Vici::Message saEvent(const QByteArray &ikeState, const QByteArray &childState, bool up = false)
{
    Vici::Message ike;
    ike.set("state", ikeState);
    if (!childState.isEmpty()) {
        Vici::Message child;
        child.set("name", Name);
        child.set("state", childState);
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

Vici::Message logLine(const QByteArray &text)
{
    Vici::Message message;
    message.set("group", "IKE");
    message.set("level", "1");
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
        const std::optional<Vici::Message> message = StrongSwanVpn::connectionFor(labProfile(), &error);
        QVERIFY2(message, qPrintable(error));
        const Vici::Message *conn = message->section(Name);
        QVERIFY(conn);
        QCOMPARE(conn->list("remote_addrs"), QList<QByteArray>{"10.231.0.1"});
        QCOMPARE(conn->list("vips"), QList<QByteArray>{"0.0.0.0"});
        QCOMPARE(conn->list("proposals"), QList<QByteArray>{"aes256gcm16-prfsha256-modp2048"});
        QCOMPARE(conn->text("version"), u"2"_s);
        QCOMPARE(conn->section("local")->text("auth"), u"eap-mschapv2"_s);
        QCOMPARE(conn->section("local")->text("eap_id"), u"alice"_s);
        QVERIFY(!conn->section("local")->contains("id"));  // no local identifier
        QCOMPARE(conn->section("remote")->text("auth"), u"pubkey"_s);
        QCOMPARE(conn->section("remote")->text("id"), u"10.231.0.1"_s);
        QCOMPARE(conn->section("remote")->text("ca_id"), u"CN=Velorin VPN CA"_s);
        const Vici::Message *child = conn->section("children")->section(Name);
        QVERIFY(child);
        QCOMPARE(child->list("esp_proposals"), QList<QByteArray>{"aes256gcm16-modp2048"});
        QCOMPARE(child->list("remote_ts"), QList<QByteArray>{"0.0.0.0/0"});
        QCOMPARE(child->text("start_action"), u"none"_s);
        QCOMPARE(child->text("close_action"), u"none"_s);

        IKEv2Profile other = labProfile();
        other.localIdentifier = u"client@example"_s;
        other.ikeSecurityAssociation = {4, 3, 19};
        const Vici::Message otherConn = *StrongSwanVpn::connectionFor(other, &error)->section(Name);
        QCOMPARE(otherConn.section("local")->text("id"), u"client@example"_s);
        QCOMPARE(otherConn.list("proposals"), QList<QByteArray>{"aes256-sha256-ecp256"});
    }

    void profilesItCannotExpressAreInvalid_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("error");
        QTest::newRow("no server address") << 0 << u"no server address"_s;
        QTest::newRow("certificate authentication") << 1 << u"only EAP"_s;
        QTest::newRow("unknown cipher") << 2 << u"encryption algorithm 99"_s;
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
        else
            profile.childSecurityAssociation.encryptionAlgorithm = 99;
        const std::optional<QString> result = await([&](auto done) { m_vpn->saveToPreferences(profile, done); });
        QVERIFY(result);
        QVERIFY2(result->contains(error), qPrintable(*result));
        QCOMPARE(statuses(), QList<Status>{Status::Invalid});
        QVERIFY(!m_server->commands().contains("load-conn"));
    }

    void aMissingDaemonIsReportedClearly()
    {
        StrongSwanSettings settings;
        settings.socketPath = m_dir.filePath(u"absent.vici"_s);
        StrongSwanVpn vpn({}, settings);
        const std::optional<QString> error = await([&vpn](auto done) { vpn.loadFromPreferences(done); });
        QCOMPARE(error.value_or(QString()),
                 u"IKEv2 is not available: nothing listens at %1 (is the IKE daemon charon running?)"_s.arg(
                     settings.socketPath));
        QCOMPARE(vpn.startTunnel(), u"No IKEv2 profile has been saved"_s);
    }

    void saveLoadsTheCaThePasswordAndTheConnection()
    {
        QCOMPARE(await([this](auto done) { m_vpn->saveToPreferences(labProfile(), done); }), std::nullopt);
        QCOMPARE(commandsAfter("list-sas"), (QList<QByteArray>{"load-cert", "load-shared", "load-conn"}));
        QCOMPARE(m_resolved, QList<QByteArray>{"ref-1"});
        const Vici::Message cert = *m_server->lastRequest("load-cert");
        QCOMPARE(cert.text("flag"), u"CA"_s);
        QVERIFY(cert.text("data").startsWith(u"-----BEGIN CERTIFICATE-----"_s));
        const Vici::Message shared = *m_server->lastRequest("load-shared");
        QCOMPARE(shared.text("type"), u"EAP"_s);
        QCOMPARE(shared.value("data"), QByteArray("s3cret"));
        QCOMPARE(shared.list("owners"), QList<QByteArray>{"alice"});
        QCOMPARE(shared.value("id"), StrongSwanVpn::SharedKeyId);
        QCOMPARE(m_server->lastRequest("load-conn"), StrongSwanVpn::connectionFor(labProfile(), nullptr));
        QVERIFY(statuses().isEmpty());

        // Without a password in the keychain, the old one leaves the daemon.
        IKEv2Profile noPassword = labProfile();
        noPassword.passwordReference = "gone";
        m_server->clearReceived();
        QCOMPARE(await([&](auto done) { m_vpn->saveToPreferences(noPassword, done); }), std::nullopt);
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"load-cert", "unload-shared", "load-conn"}));
    }

    void aRejectedProfileIsInvalidAndKeepsTheDaemonsReason()
    {
        m_server->setHandler("load-conn", [](const Vici::Message &) { return Answer::failure(u"invalid proposal"_s); });
        QList<QString> order;
        QObject::connect(m_vpn.get(), &SystemVpn::statusChanged, m_vpn.get(),
                         [&order](Status) { order.append(u"status"_s); });
        const std::optional<QString> error = await([this, &order](auto done) {
            m_vpn->saveToPreferences(labProfile(), [&order, done](const std::optional<QString> &e) {
                order.append(u"completion"_s);
                done(e);
            });
        });
        QCOMPARE(error, u"The IKEv2 service rejected the profile: invalid proposal"_s);
        QCOMPARE(statuses(), QList<Status>{Status::Invalid});
        QCOMPARE(order, (QList<QString>{u"status"_s, u"completion"_s}));
    }

    // Connected comes with the data tunnel, not the IKE SA; a lost SA that
    // is being re-established is reasserting; an SA gone for good ends in
    // disconnected with nothing left loaded.
    void statusFollowsTheDaemonsEvents()
    {
        saveAndStart();
        const Vici::Message initiate = *m_server->lastRequest("initiate");
        QCOMPARE(initiate.value("child"), Name);
        QCOMPARE(initiate.value("ike"), Name);
        m_server->sendEvent("ike-updown", saEvent("ESTABLISHED", {}, true));
        QTest::qWait(50);
        QCOMPARE(m_vpn->status(), Status::Connecting);
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        m_server->respond(Answer::success().message);  // the initiate
        m_server->sendEvent("ike-rekey", saEvent("ESTABLISHED", {}));

        m_sas = {saEvent("DELETING", "INSTALLED"), saEvent("CONNECTING", {})};
        m_server->sendEvent("child-updown", saEvent("DELETING", "DELETING"));
        QTRY_COMPARE(m_vpn->status(), Status::Reasserting);
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTRY_COMPARE(m_vpn->status(), Status::Connected);

        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QCOMPARE(commandsAfter("list-sas"), (QList<QByteArray>{"terminate", "unload-conn", "unload-shared"}));
        QTRY_COMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Connected, Status::Reasserting,
                                                Status::Connected, Status::Disconnected}));
        QVERIFY(m_vpn->lastFailureReason().isEmpty());

        // The next start loads the profile again.
        QCOMPARE(m_vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE(commandsAfter("unload-shared"),
                     (QList<QByteArray>{"load-cert", "load-shared", "load-conn", "initiate"}));
    }

    // A reauthentication deletes the old IKE SA while the new one is still
    // being set up and may not be listed yet: one empty list is not the end.
    void aSuccessorNotListedYetKeepsTheTunnel()
    {
        saveAndStart();
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        m_server->respond(Answer::success().message);
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
        const qsizetype lists = m_server->commands().count("list-sas");
        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_server->commands().count("list-sas"), lists + 1);
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        QTRY_COMPARE(m_server->commands().count("list-sas"), lists + 2);
        QTest::qWait(50);
        QCOMPARE(m_vpn->status(), Status::Connected);
        QVERIFY(!m_server->commands().contains("terminate"));
        QCOMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Connected}));
    }

    void aFailedStartKeepsTheReasonAndLeavesNothingLoaded()
    {
        m_server->setHandler("initiate", [](const Vici::Message &) {
            Answer answer = Answer::failure(u"establishing CHILD_SA 'Velorin VPN' failed"_s);
            answer.eventsBefore = {
                {"control-log", logLine("server requested EAP_MSCHAPV2 authentication (id 0x2A)")},
                {"control-log", logLine("EAP-MS-CHAPv2 failed with error ERROR_AUTHENTICATION_FAILURE: '(null)'")},
                {"control-log", logLine("EAP_MSCHAPV2 method failed")},
            };
            return answer;
        });
        saveAndStart();
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QCOMPARE(m_vpn->lastFailureReason(), u"The server rejected the user name or password (EAP_MSCHAPV2 method failed)"_s);
        QCOMPARE(commandsAfter("initiate"), (QList<QByteArray>{"terminate", "unload-conn", "unload-shared"}));
        QCOMPARE(m_server->lastRequest("terminate")->text("force"), u"yes"_s);
        QTRY_COMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Disconnected}));
    }

    void aProfileTheDaemonNoLongerKnowsIsInvalid()
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
        QVERIFY(m_vpn->lastFailureReason().isEmpty());
        QTRY_COMPARE(m_server->openConnectionCount(), 1);  // the initiate's connection is closed
        QTRY_COMPARE(statuses(), (QList<Status>{Status::Connecting, Status::Disconnecting, Status::Disconnected}));
        m_vpn->stopTunnel();  // nothing to stop
        QTest::qWait(20);
        QCOMPARE(m_vpn->status(), Status::Disconnected);
    }

    void theDaemonGoingAwayEndsTheAttempt()
    {
        saveAndStart();
        m_server->closeConnections();
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        QCOMPARE(m_vpn->lastFailureReason(), u"IKEv2 is not available: the IKE daemon closed the connection"_s);
    }

    void reflectsATunnelStartedOutsideTheClient()
    {
        m_sas = {saEvent("ESTABLISHED", "INSTALLED")};
        QCOMPARE(await([this](auto done) { m_vpn->loadFromPreferences(done); }), std::nullopt);
        QTRY_COMPARE(m_vpn->status(), Status::Connected);  // left up by an earlier run

        m_sas.clear();
        m_server->sendEvent("ike-updown", saEvent("DELETING", {}));
        QTRY_COMPARE(m_vpn->status(), Status::Disconnected);
        m_server->sendEvent("ike-updown", saEvent("ESTABLISHED", {}, true));
        QTRY_COMPARE(m_vpn->status(), Status::Connecting);
        m_server->sendEvent("child-updown", saEvent("ESTABLISHED", "INSTALLED", true));
        QTRY_COMPARE(m_vpn->status(), Status::Connected);
    }

    void describesFailuresReadably_data()
    {
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("errmsg");
        QTest::addColumn<QString>("reason");
        const QString generic = u"establishing CHILD_SA 'Velorin VPN' failed"_s;
        QTest::newRow("CA constraint")
            << QStringList{u"constraint check failed: peer not authenticated by CA 'CN=Velorin VPN CA'"_s} << generic
            << u"The server's certificate is not trusted (constraint check failed: peer not authenticated by CA 'CN=Velorin VPN CA')"_s;
        QTest::newRow("peer not responding")
            << QStringList{u"giving up after 2 retransmits"_s, u"establishing IKE_SA failed, peer not responding"_s}
            << generic << u"The server does not respond (establishing IKE_SA failed, peer not responding)"_s;
        QTest::newRow("server refused")
            << QStringList{u"received AUTHENTICATION_FAILED notify error"_s} << generic
            << u"The server refused the authentication (received AUTHENTICATION_FAILED notify error)"_s;
        QTest::newRow("unknown failure, last failed line")
            << QStringList{u"a failed thing"_s, u"another failed thing"_s, u"fine"_s} << generic
            << u"The tunnel could not be established (another failed thing)"_s;
        QTest::newRow("only the error message") << QStringList{} << u"initiate timed out"_s
                                                << u"The tunnel could not be established (initiate timed out)"_s;
        QTest::newRow("nothing") << QStringList{} << QString() << u"The tunnel could not be established"_s;
    }

    void describesFailuresReadably()
    {
        QFETCH(QStringList, log);
        QFETCH(QString, errmsg);
        QFETCH(QString, reason);
        QCOMPARE(StrongSwanVpn::describeFailure(log, errmsg), reason);
    }
};

QTEST_GUILESS_MAIN(TestStrongSwanVpn)
#include "tst_strongswanvpn.moc"
