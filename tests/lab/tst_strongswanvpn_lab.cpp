// The strongSwan adapter against real daemons: a responder and a client
// charon in two network namespaces (scripts/ikev2-lab.sh). The adapter talks
// to the client charon's VICI socket; traffic is sent from inside the client
// namespace with `ip netns exec`.
#include "platform/StrongSwanVpn.h"
#include "platform/ViciClient.h"
#include "support/ChildProcess.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

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

} // namespace

class TestStrongSwanLab : public QObject
{
    Q_OBJECT

private:
    QMap<QString, QString> m_lab;

    IKEv2Profile profileFor(const QString &address) const
    {
        IKEv2Profile profile;
        profile.serverAddress = address;
        profile.remoteIdentifier = address;
        profile.username = m_lab.value(u"LAB_EAP_USER"_s);
        profile.passwordReference = PasswordReference;
        profile.serverCertificateIssuerCommonName = u"Velorin VPN CA"_s;
        profile.serverCertificateCommonName = address;
        profile.localizedDescription = u"Velorin VPN"_s;
        return profile;
    }

    // No password: the keychain has nothing under the profile's reference.
    std::unique_ptr<StrongSwanVpn> makeVpn(const std::optional<QByteArray> &password) const
    {
        StrongSwanSettings settings;
        settings.socketPath = m_lab.value(u"VELORIN_VICI_SOCKET"_s);
        settings.caCertificateFile = m_lab.value(u"LAB_CA_FILE"_s);
        settings.initiateTimeoutMs = 15000;
        return std::make_unique<StrongSwanVpn>(
            [password](const QByteArray &reference) -> std::optional<QByteArray> {
                if (reference != PasswordReference)
                    return std::nullopt;
                return password;
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

    bool ping() const
    {
        const ChildProcess::Result result = ChildProcess::run(
            u"ip"_s, {u"netns"_s, u"exec"_s, m_lab.value(u"LAB_CLIENT_NETNS"_s), u"ping"_s, u"-c"_s, u"1"_s,
                      u"-W"_s, u"2"_s, m_lab.value(u"LAB_TUNNEL_TARGET"_s)});
        return result.exitStatus == QProcess::NormalExit && result.exitCode == 0;
    }

    void verifyNothingLoaded()
    {
        const DaemonState state = daemonState(m_lab.value(u"VELORIN_VICI_SOCKET"_s));
        QVERIFY(state.answered);
        QVERIFY2(!state.connections.contains("Velorin VPN"), "the connection stayed loaded");
        QVERIFY2(!state.sharedKeys.contains(StrongSwanVpn::SharedKeyId), "the password stayed loaded");
        QVERIFY2(state.saNames.isEmpty(), qPrintable(u"SAs left: "_s + state.saNames.join(u", "_s)));
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the IKEv2 lab needs root (network namespaces and two charon daemons); CI runs it as root");
        QElapsedTimer timer;
        timer.start();
        const QString esp = qEnvironmentVariable("VELORIN_LAB_ESP", u"userspace"_s);
        const ChildProcess::Result up = ChildProcess::run(
            qEnvironmentVariable("VELORIN_LAB_SCRIPT"),
            {u"up"_s, u"--esp"_s, esp, u"--owner"_s, QString::number(QCoreApplication::applicationPid())}, {}, {},
            60000);
        QVERIFY2(up.exitStatus == QProcess::NormalExit && up.exitCode == 0, qPrintable(up.err));
        for (const QString &line : up.out.split(u'\n', Qt::SkipEmptyParts))
            m_lab.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        QVERIFY(m_lab.contains(u"LAB_DIR"_s));
        qInfo("lab up in %lld ms (%s ESP)", qint64(timer.elapsed()), qPrintable(esp));
    }

    void cleanupTestCase()
    {
        if (!m_lab.contains(u"LAB_DIR"_s))
            return;
        QElapsedTimer timer;
        timer.start();
        const ChildProcess::Result down =
            ChildProcess::run(qEnvironmentVariable("VELORIN_LAB_SCRIPT"), {u"down"_s, m_lab.value(u"LAB_DIR"_s)});
        QVERIFY2(down.exitCode == 0, qPrintable(down.err));
        qInfo("lab down in %lld ms", qint64(timer.elapsed()));
    }

    void connectsCarriesTrafficAndDisconnects()
    {
        QVERIFY2(!ping(), "the address behind the tunnel answers without a tunnel");
        auto vpn = makeVpn(m_lab.value(u"LAB_EAP_PASSWORD"_s).toUtf8());
        QSignalSpy statuses(vpn.get(), &SystemVpn::statusChanged);
        QCOMPARE(await([&vpn](auto done) { vpn->loadFromPreferences(done); }), std::nullopt);
        QCOMPARE(await([&](auto done) { vpn->saveToPreferences(profileFor(m_lab.value(u"LAB_SERVER_ADDRESS"_s)), done); }),
                 std::nullopt);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        qInfo("connected in %lld ms", qint64(timer.elapsed()));
        QVERIFY2(ping(), "no answer through the tunnel");
        QVERIFY(vpn->lastFailureReason().isEmpty());

        // A reauthentication replaces the IKE SA; the tunnel comes back.
        const QList<QByteArray> before = daemonState(m_lab.value(u"VELORIN_VICI_SOCKET"_s)).saIds;
        QCOMPARE(before.size(), 1);
        {
            ViciClient control(m_lab.value(u"VELORIN_VICI_SOCKET"_s));
            Vici::Message rekey;
            rekey.set("ike", "Velorin VPN");
            rekey.set("reauth", "yes");
            std::optional<ViciClient::Reply> answer;
            control.call("rekey", rekey, [&answer](const ViciClient::Reply &reply) { answer = reply; });
            QTRY_VERIFY(answer);
            QVERIFY2(answer->ok() && answer->message.value("success") == "yes", qPrintable(answer->message.text("errmsg")));
        }
        QTRY_VERIFY_WITH_TIMEOUT(daemonState(m_lab.value(u"VELORIN_VICI_SOCKET"_s)).saIds != before, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        QVERIFY2(ping(), "no answer through the tunnel after the reauthentication");

        timer.restart();
        vpn->stopTunnel();
        QCOMPARE(vpn->status(), SystemVpn::Status::Disconnecting);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, 10000);
        qInfo("disconnected in %lld ms", qint64(timer.elapsed()));
        // Connecting, connected, (reasserting, connected while the IKE SA
        // was replaced), disconnecting, disconnected.
        QTRY_COMPARE(statuses.last().at(0).value<SystemVpn::Status>(), SystemVpn::Status::Disconnected);
        QList<SystemVpn::Status> seen;
        for (const QList<QVariant> &signal : statuses) {
            const auto status = signal.at(0).value<SystemVpn::Status>();
            if (status != SystemVpn::Status::Reasserting && (seen.isEmpty() || seen.last() != status))
                seen.append(status);
        }
        QCOMPARE(seen, (QList<SystemVpn::Status>{SystemVpn::Status::Connecting, SystemVpn::Status::Connected,
                                                 SystemVpn::Status::Disconnecting, SystemVpn::Status::Disconnected}));
        QVERIFY(!ping());
        verifyNothingLoaded();

        // The stop unloaded the profile; a second start loads it again.
        QCOMPARE(vpn->startTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Connected, 10000);
        vpn->stopTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(vpn->status(), SystemVpn::Status::Disconnected, 10000);
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
        QTest::newRow("unreachable server") << u"LAB_UNREACHABLE_ADDRESS"_s << 0
                                            << u"The server does not respond"_s << 10000;
    }

    void failuresEndWithTheReason()
    {
        QFETCH(QString, addressKey);
        QFETCH(int, password);
        QFETCH(QString, reason);
        QFETCH(int, withinMs);
        const QByteArray right = m_lab.value(u"LAB_EAP_PASSWORD"_s).toUtf8();
        auto vpn = makeVpn(password == 0   ? std::optional<QByteArray>(right)
                           : password == 1 ? std::optional<QByteArray>("not-the-password")
                                           : std::nullopt);
        QCOMPARE(await([&](auto done) { vpn->saveToPreferences(profileFor(m_lab.value(addressKey)), done); }),
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
    }
};

QTEST_GUILESS_MAIN(TestStrongSwanLab)
#include "tst_strongswanvpn_lab.moc"
