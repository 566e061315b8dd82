#pragma once

// The IKEv2 lab of scripts/ikev2-lab.sh (a responder and a client charon in
// two network namespaces), a backend serving its responder, and the client
// as the application wires it on the lab's client charon.
#include "platform/StrongSwanVpn.h"
#include "platform/ViciClient.h"
#include "storage/KeychainManager.h"
#include "support/ChildProcess.h"
#include "support/DevServerProcess.h"
#include "support/FakeKeychain.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

#define LAB_SKIP_WITHOUT_ROOT()                                                                                        \
    if (::geteuid() != 0)                                                                                              \
    QSKIP("the IKEv2 lab needs root (network namespaces and two charon daemons); CI runs it as root")

// One VICI command to a daemon, waited for.
inline std::optional<ViciClient::Reply> vici(const QString &socket, const QByteArray &command,
                                             const Vici::Message &arguments = {})
{
    ViciClient client(socket);
    std::optional<ViciClient::Reply> answer;
    client.call(command, arguments, [&answer](const ViciClient::Reply &reply) { answer = reply; });
    if (!QTest::qWaitFor([&answer]() { return answer.has_value(); }, 10000))
        qWarning("no answer to %s", command.constData());
    return answer;
}

// The running lab: the facts its script printed (LAB_DIR, addresses, sockets).
class Lab
{
public:
    ~Lab() { down(); }

    // Brings the lab up, torn down with this process; empty, or what failed.
    QString up(const QStringList &options = {})
    {
        const ChildProcess::Result up =
            ChildProcess::run(script(), QStringList{u"up"_s, u"--owner"_s, QString::number(QCoreApplication::applicationPid())} + options,
                              {}, {}, 60000);
        for (const QString &line : up.out.split(u'\n', Qt::SkipEmptyParts))
            m_facts.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        if (up.exitStatus == QProcess::NormalExit && up.exitCode == 0 && isUp())
            return {};
        return up.err.isEmpty() ? u"the lab script failed"_s : up.err;
    }

    // Takes the lab down; empty, or what failed.
    QString down()
    {
        if (!isUp())
            return {};
        const ChildProcess::Result down = ChildProcess::run(script(), {u"down"_s, fact("LAB_DIR")});
        m_facts.clear();
        return down.exitCode == 0 ? QString() : down.err + u" (lab script down)"_s;
    }

    bool isUp() const { return m_facts.contains(u"LAB_DIR"_s); }
    QString fact(const QString &name) const { return m_facts.value(name); }
    QString fact(const char *name) const { return fact(QString::fromLatin1(name)); }

    ChildProcess::Result inClient(const QStringList &command) const
    {
        return ChildProcess::run(u"ip"_s, QStringList{u"netns"_s, u"exec"_s, fact("LAB_CLIENT_NETNS")} + command);
    }

    // Whether the address in the named fact answers a ping from the client.
    bool ping(const char *target = "LAB_TUNNEL_TARGET") const
    {
        const ChildProcess::Result result = inClient({u"ping"_s, u"-c"_s, u"1"_s, u"-W"_s, u"2"_s, fact(target)});
        return result.exitStatus == QProcess::NormalExit && result.exitCode == 0;
    }

    // The responder accepts `user` with `password` (a shared key under `id`).
    bool teachResponder(const QByteArray &id, const QString &user, const QString &password) const
    {
        Vici::Message key;
        key.set("id", id);
        key.set("type", "EAP");
        key.set("data", password.toUtf8());
        key.setList("owners", {user.toUtf8()});
        const auto answer = vici(fact("LAB_SERVER_VICI_SOCKET"), "load-shared", key);
        return answer && answer->ok() && answer->message.value("success") == "yes";
    }

    // The development backend (not yet started), its data in `dir`, with the
    // lab's responder as its one server `serverId`.
    std::unique_ptr<DevServerProcess> backend(const QString &dir, const QString &serverId,
                                              const QStringList &arguments = {}) const
    {
        QFile servers(dir + u"/servers.json"_s);
        if (!servers.open(QIODevice::WriteOnly))
            qWarning("cannot write %s", qPrintable(servers.fileName()));
        const QJsonObject server{{u"id"_s, serverId}, {u"address"_s, fact("LAB_SERVER_ADDRESS")},
                                 {u"name"_s, u"Lab"_s}, {u"location"_s, u"Test net"_s}, {u"ikev2"_s, QJsonObject()}};
        servers.write(QJsonDocument(QJsonObject{{u"servers"_s, QJsonArray{server}}}).toJson());
        return std::make_unique<DevServerProcess>(
            dir + u"/data"_s, DevServerProcess::fastArguments() + arguments + QStringList{u"--servers"_s, servers.fileName()});
    }

    // The adapter's settings for the lab's client charon.
    StrongSwanSettings clientSettings() const
    {
        StrongSwanSettings settings;
        settings.socketPath = fact("VELORIN_VICI_SOCKET");
        settings.caCertificateFile = fact("LAB_CA_FILE");
        settings.initiateTimeoutMs = 15000;
        return settings;
    }

private:
    static QString script() { return qEnvironmentVariable("VELORIN_LAB_SCRIPT"); }

    QMap<QString, QString> m_facts;
};

// The IKEv2 client as the application wires it, on the lab's client charon;
// the EAP password is read from `keychain`.
struct LabServices
{
    LabServices(const Lab &lab, FakeKeychain &keychain, KeychainManager &tokens, UserDefaults &defaults,
              const QString &backendUrl)
        : systemVpn(
            [&keychain](const QByteArray &reference) -> std::optional<QByteArray> {
                QByteArray value;
                if (keychain.copyByPersistentRef(reference, &value) != Keychain::Success)
                    return std::nullopt;
                return value;
            },
            lab.clientSettings())
        , manager(systemVpn, keychain, tokens, Endpoints::at(backendUrl))
        , service(manager)
        , services(defaults, [this](VPNProtocolType) -> VPNServiceProtocol & { return service; })
    {
    }

    StrongSwanVpn systemVpn;
    IKEv2Manager manager;
    IKEv2Service service;
    VPNServiceManager services;
};
