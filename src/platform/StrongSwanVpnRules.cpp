#include "platform/StrongSwanVpnRules.h"

#include <QRegularExpression>

#include <algorithm>

#include <cstring>

using namespace Qt::StringLiterals;

namespace StrongSwanRules {

namespace {

QByteArray proposalPart(int value, const std::vector<std::pair<int, const char *>> &names)
{
    for (const auto &[number, name] : names) {
        if (number == value)
            return name;
    }
    return {};
}

// Algorithm numbers as the system's IKEv2 configuration knows them, in the
// daemon's proposal keywords.
const std::vector<std::pair<int, const char *>> EncryptionNames = {
    {2, "3des"}, {3, "aes128"}, {4, "aes256"}, {5, "aes128gcm16"}, {6, "aes256gcm16"}, {7, "chacha20poly1305"},
};
const std::vector<std::pair<int, const char *>> IntegrityNames = {
    {1, "sha1"}, {2, "sha1_160"}, {3, "sha256"}, {4, "sha384"}, {5, "sha512"},
};
const std::vector<std::pair<int, const char *>> GroupNames = {
    {2, "modp1024"}, {5, "modp1536"}, {14, "modp2048"}, {15, "modp3072"}, {16, "modp4096"},
    {17, "modp6144"}, {18, "modp8192"}, {19, "ecp256"}, {20, "ecp384"}, {21, "ecp521"}, {31, "curve25519"},
};

bool isAead(int encryption)
{
    return encryption == 5 || encryption == 6 || encryption == 7;
}

// "aes256gcm16-prfsha256-modp2048" for IKE, "aes256gcm16-modp2048" for ESP.
std::optional<QByteArray> proposal(const IKEv2Profile::SecurityAssociation &sa, bool ike, QString *error)
{
    const QByteArray encryption = proposalPart(sa.encryptionAlgorithm, EncryptionNames);
    const QByteArray integrity = proposalPart(sa.integrityAlgorithm, IntegrityNames);
    const QByteArray group = proposalPart(sa.diffieHellmanGroup, GroupNames);
    const QLatin1String which(ike ? "IKE" : "child");
    if (encryption.isEmpty()) {
        *error = u"the %1 SA encryption algorithm %2 is not supported"_s.arg(which).arg(sa.encryptionAlgorithm);
        return std::nullopt;
    }
    if (integrity.isEmpty()) {
        *error = u"the %1 SA integrity algorithm %2 is not supported"_s.arg(which).arg(sa.integrityAlgorithm);
        return std::nullopt;
    }
    if (group.isEmpty()) {
        *error = u"the %1 SA Diffie-Hellman group %2 is not supported"_s.arg(which).arg(sa.diffieHellmanGroup);
        return std::nullopt;
    }
    QByteArray out = encryption;
    if (isAead(sa.encryptionAlgorithm)) {
        // An AEAD cipher protects integrity itself; IKE still needs a PRF.
        if (ike)
            out += "-prf" + integrity;
    } else {
        out += '-' + integrity;
    }
    out += '-' + group;
    return out;
}

QString firstExisting(const QString &configured, const QStringList &candidates,
                      const std::function<bool(const QString &)> &exists)
{
    if (!configured.isEmpty())
        return configured;
    for (const QString &candidate : candidates) {
        if (exists(candidate))
            return candidate;
    }
    return candidates.value(0);
}

// Orders addresses of one protocol.
int compare(const QHostAddress &a, const QHostAddress &b)
{
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 x = a.toIPv4Address();
        const quint32 y = b.toIPv4Address();
        return x < y ? -1 : x > y ? 1 : 0;
    }
    const Q_IPV6ADDR x = a.toIPv6Address();
    const Q_IPV6ADDR y = b.toIPv6Address();
    return std::memcmp(x.c, y.c, sizeof(x.c));
}

bool isV6(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

Names namesFor(const QString &profileDescription, uint uid)
{
    QString description = profileDescription.trimmed();
    if (description.isEmpty())
        description = u"Velorin VPN"_s;
    return {u"%1 (uid %2)"_s.arg(description).arg(uid), "velorin-vpn-eap-" + QByteArray::number(uid)};
}

std::optional<Vici::Message> connectionFor(const IKEv2Profile &profile, const QString &name,
                                           const ConnectionOptions &options, QString *error)
{
    QString why;
    auto fail = [&](const QString &reason) -> std::optional<Vici::Message> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    const QString server = profile.serverAddress.trimmed();
    if (server.isEmpty())
        return fail(u"the profile has no server address"_s);
    if (profile.authenticationMethod != IKEv2Profile::AuthenticationNone || !profile.useExtendedAuthentication)
        return fail(u"only EAP authentication with a user name and password is supported"_s);
    if (profile.certificateType != IKEv2Profile::CertificateRSA)
        return fail(u"the server certificate type %1 is not supported"_s.arg(profile.certificateType));
    const std::optional<QByteArray> ike = proposal(profile.ikeSecurityAssociation, true, &why);
    if (!ike)
        return fail(why);
    const std::optional<QByteArray> esp = proposal(profile.childSecurityAssociation, false, &why);
    if (!esp)
        return fail(why);

    // The client authenticates with EAP-MSCHAPv2 under the user name; its
    // IKE identity is the local identifier when there is one (otherwise the
    // daemon uses its address).
    Vici::Message local;
    local.set("auth", "eap-mschapv2");
    if (!profile.localIdentifier.isEmpty())
        local.set("id", profile.localIdentifier);
    if (!profile.username.isEmpty())
        local.set("eap_id", profile.username);

    // The server proves with its certificate that it is the host the client
    // dialled: the daemon accepts it only when the certificate names that
    // address (the expected common name, which is the dialled address) and
    // comes from the named CA.
    QString expectedName = profile.serverCertificateCommonName.trimmed();
    if (expectedName.isEmpty())
        expectedName = server;
    Vici::Message remote;
    remote.set("auth", "pubkey");
    remote.set("id", expectedName);
    if (!profile.serverCertificateIssuerCommonName.isEmpty())
        remote.set("ca_id", QString(u"CN="_s + profile.serverCertificateIssuerCommonName));

    // Both address families go through the tunnel; a dead server clears the
    // SA instead of leaving a tunnel that carries nothing.
    Vici::Message child;
    child.setList("remote_ts", {"0.0.0.0/0", "::/0"});
    child.setList("esp_proposals", {*esp});
    child.set("start_action", "none");
    child.set("close_action", "none");
    child.set("dpd_action", "clear");
    Vici::Message children;
    children.setSection(name.toUtf8(), child);

    Vici::Message connection;
    connection.set("version", "2");
    connection.setList("remote_addrs", {server.toUtf8()});
    connection.setList("vips", {"0.0.0.0", "::"});
    connection.setList("proposals", {*ike});
    connection.set("dpd_delay", QByteArray::number(options.dpdDelaySeconds) + 's');
    connection.setSection("local", local);
    connection.setSection("remote", remote);
    connection.setSection("children", children);

    Vici::Message message;
    message.setSection(name.toUtf8(), connection);
    return message;
}

QString describeFailure(const QStringList &logLines, const QString &errorMessage)
{
    struct Rule
    {
        const char *needle;
        const char *sentence;
    };
    // Most telling first: a cause is followed by the lines of its effects
    // (a missing password makes the EAP method fail, and so on).
    static const Rule rules[] = {
        {"no EAP key found", "No password is stored for this VPN profile"},
        {"EAP_MSCHAPV2 method failed", "The server rejected the user name or password"},
        {"EAP-MS-CHAPv2 failed", "The server rejected the user name or password"},
        {"constraint check failed", "The server's certificate is not trusted"},
        {"no trusted", "The server's certificate is not trusted"},
        {"certificate was revoked", "The server's certificate is not trusted"},
        {"peer not responding", "The server does not respond"},
        {"unable to resolve", "The server address cannot be resolved"},
        {"AUTHENTICATION_FAILED", "The server refused the authentication"},
        {"NO_PROPOSAL_CHOSEN", "The server does not accept the encryption settings"},
        {"TS_UNACCEPTABLE", "The server does not accept the requested networks"},
        {"unable to install", "The system could not install the tunnel"},
    };
    for (const Rule &rule : rules) {
        const QString needle = QString::fromLatin1(rule.needle);
        for (const QString &line : logLines) {
            if (line.contains(needle, Qt::CaseInsensitive))
                return u"%1 (%2)"_s.arg(QString::fromLatin1(rule.sentence), line.trimmed());
        }
        if (errorMessage.contains(needle, Qt::CaseInsensitive))
            return u"%1 (%2)"_s.arg(QString::fromLatin1(rule.sentence), errorMessage.trimmed());
    }
    QString detail = errorMessage.trimmed();
    for (auto it = logLines.crbegin(); it != logLines.crend(); ++it) {
        if (it->contains(u"fail"_s, Qt::CaseInsensitive)) {
            detail = it->trimmed();
            break;
        }
    }
    if (detail.isEmpty())
        return u"The tunnel could not be established"_s;
    return u"The tunnel could not be established (%1)"_s.arg(detail);
}

QStringList standardSocketPaths()
{
    // Debian and Ubuntu, then Fedora and Arch (piddir /run/strongswan).
    return {u"/run/charon.vici"_s, u"/run/strongswan/charon.vici"_s};
}

QString chooseSocket(const QString &configured, const QStringList &candidates,
                     const std::function<bool(const QString &)> &exists)
{
    return firstExisting(configured, candidates, exists);
}

QStringList standardCaFiles()
{
    return {u"/etc/velorin-vpn/velorin-vpn-ca.pem"_s, u"/usr/share/velorin-vpn/velorin-vpn-ca.pem"_s};
}

bool holdsCertificate(const QByteArray &data)
{
    return data.contains("-----BEGIN CERTIFICATE-----") || (data.size() > 2 && data.at(0) == '\x30');
}

QString chooseCaFile(const QString &configured, const QStringList &candidates,
                     const std::function<bool(const QString &)> &exists)
{
    return firstExisting(configured, candidates, exists);
}

SaState saStateOf(const std::vector<Vici::Message> &listed, const QByteArray &connection)
{
    SaState state = SaState::None;
    for (const Vici::Message &event : listed) {
        const Vici::Message *ike = event.section(connection);
        if (!ike)
            continue;
        const QByteArray ikeState = ike->value("state").value_or(QByteArray());
        if (ikeState == "DELETING" || ikeState == "DESTROYING")
            continue;
        if (const Vici::Message *children = ike->section("child-sas")) {
            for (const Vici::Entry &child : children->entries()) {
                if (child.kind != Vici::Entry::Kind::Section)
                    continue;
                const QByteArray childState = child.section.front().value("state").value_or(QByteArray());
                if (childState == "INSTALLED" || childState == "REKEYING" || childState == "REKEYED")
                    return SaState::Up;
            }
        }
        state = SaState::Establishing;
    }
    return state;
}

SaStep saStepFor(SaState state, SystemVpn::Status current, int goneChecks, int maxGoneChecks)
{
    using Status = SystemVpn::Status;
    const bool down = current == Status::Disconnected || current == Status::Invalid;
    SaStep step;
    switch (state) {
    case SaState::Up:
        step.status = Status::Connected;
        step.recheck = SaStep::Recheck::Stop;
        break;
    case SaState::Establishing:
        if (current == Status::Connected || current == Status::Reasserting)
            step.status = Status::Reasserting;
        else if (down)
            step.status = Status::Connecting;  // started outside the client
        step.recheck = SaStep::Recheck::Start;
        break;
    case SaState::None:
        step.goneChecks = goneChecks;
        if (down)
            break;
        if (goneChecks < maxGoneChecks) {
            ++step.goneChecks;
            step.recheck = SaStep::Recheck::Start;
        } else {
            step.ended = true;
        }
        break;
    }
    return step;
}

std::optional<Tunnel> tunnelOf(const std::vector<Vici::Message> &listed, const QByteArray &connection)
{
    for (const Vici::Message &event : listed) {
        const Vici::Message *ike = event.section(connection);
        const Vici::Message *children = ike ? ike->section("child-sas") : nullptr;
        if (!children)
            continue;
        for (const Vici::Entry &entry : children->entries()) {
            if (entry.kind != Vici::Entry::Kind::Section)
                continue;
            const Vici::Message &child = entry.section.front();
            if (child.value("state") != "INSTALLED")
                continue;
            Tunnel tunnel;
            for (const QByteArray &vip : ike->list("local-vips")) {
                const QHostAddress address(QString::fromLatin1(vip));
                if (!address.isNull())
                    tunnel.virtualIps.append(address);
            }
            for (const QByteArray &ts : child.list("local-ts"))
                tunnel.localTs.append(QString::fromLatin1(ts));
            for (const QByteArray &ts : child.list("remote-ts"))
                tunnel.remoteTs.append(QString::fromLatin1(ts));
            return tunnel;
        }
    }
    return std::nullopt;
}

Dns dnsOf(const QStringList &logLines)
{
    // "installing DNS server 10.0.0.53 to /etc/resolv.conf" (or "via
    // resolvconf"), or "DNS server 10.0.0.53 already installed, ..." when
    // another tunnel put it there first; a server the daemon cannot use is
    // "adding DNS server failed", and one nobody handles "handling
    // INTERNAL_IP4_DNS attribute failed".
    static const QRegularExpression installing(
        u"^(?:installing DNS server (\\S+)|DNS server (\\S+) already installed)"_s);
    Dns dns;
    for (const QString &line : logLines) {
        // "generating IKE_AUTH request 1 [ ... CPRQ(ADDR ADDR6 DNS DNS6) ... ]":
        // without a DNS handler (the resolve plugin) the daemon asks for none.
        const qsizetype request = line.indexOf(u"CPRQ("_s);
        if (request >= 0 && line.contains(u"generating"_s))
            dns.requested = line.mid(request, line.indexOf(u')', request) - request).contains(u"DNS"_s);
        const QRegularExpressionMatch match = installing.match(line);
        if (match.hasMatch())
            dns.installed.append(match.captured(1).isEmpty() ? match.captured(2) : match.captured(1));
        else if (line.contains(u"adding DNS server failed"_s)
                 || (line.contains(u"_DNS attribute failed"_s) && line.contains(u"handling"_s)))
            dns.failures.append(line.trimmed());
    }
    return dns;
}

bool coveredBy(const QHostAddress &address, const QStringList &trafficSelectors)
{
    for (QString ts : trafficSelectors) {
        ts = ts.section(u'[', 0, 0).trimmed();
        if (ts.contains(u".."_s)) {
            const QHostAddress from(ts.section(u".."_s, 0, 0));
            const QHostAddress to(ts.section(u".."_s, 1));
            if (from.protocol() == address.protocol() && to.protocol() == address.protocol()
                && compare(from, address) <= 0 && compare(address, to) <= 0)
                return true;
            continue;
        }
        if (!ts.contains(u'/'))
            ts += isV6(QHostAddress(ts)) ? u"/128"_s : u"/32"_s;
        const std::pair<QHostAddress, int> subnet = QHostAddress::parseSubnet(ts);
        if (subnet.second >= 0 && subnet.first.protocol() == address.protocol() && address.isInSubnet(subnet))
            return true;
    }
    return false;
}

std::optional<QString> leakOf(const Tunnel &tunnel, const Dns &dns, bool machineHasIPv6)
{
    if (!dns.failures.isEmpty())
        return Messages::dnsNotApplied(dns.failures.first());
    if (dns.installed.isEmpty())
        return dns.requested ? Messages::noDns() : Messages::dnsNotRequested();
    for (const QString &text : dns.installed) {
        const QHostAddress address(text);
        const bool usable = !address.isNull() && !address.isLoopback() && !address.isMulticast()
            && !address.isLinkLocal() && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6
            && coveredBy(address, tunnel.remoteTs);
        if (!usable)
            return Messages::unusableDns(text);
    }
    const bool v6Address = std::any_of(tunnel.virtualIps.cbegin(), tunnel.virtualIps.cend(), isV6);
    const bool v6Routes = std::any_of(tunnel.remoteTs.cbegin(), tunnel.remoteTs.cend(),
                                      [](const QString &ts) { return ts.contains(u':'); });
    if (machineHasIPv6 && !(v6Address && v6Routes))
        return Messages::ipv6NotCarried();
    return std::nullopt;
}

bool PeerWatch::feed(const QString &line, qint64 nowMs)
{
    static const QRegularExpression retransmit(u"^retransmit \\d+ of request with message ID (\\d+)"_s);
    if (line.startsWith(u"giving up after"_s))
        return true;
    const QRegularExpressionMatch match = retransmit.match(line);
    if (!match.hasMatch())
        return false;
    const qint64 id = match.captured(1).toLongLong();
    if (id != m_messageId) {
        m_messageId = id;
        m_firstRetransmitMs = nowMs;
        return false;
    }
    return nowMs - m_firstRetransmitMs >= DeadAfterMs;
}

namespace Messages {

QString notAvailable(const QString &why)
{
    return u"IKEv2 is not available: "_s + why;
}

QString deadPeer()
{
    return u"The server stopped responding"_s;
}

QString noDns()
{
    return u"The server assigned no DNS server, so name lookups would leave outside the tunnel"_s;
}

QString unusableDns(const QString &address)
{
    return u"The server assigned a DNS server that is not reached through the tunnel (%1)"_s.arg(address);
}

QString dnsNotApplied(const QString &line)
{
    return u"The tunnel's DNS servers could not be set (%1)"_s.arg(line);
}

QString dnsNotRequested()
{
    return u"The IKE daemon does not set the tunnel's DNS servers (its resolve plugin is not loaded), so name "
           "lookups would leave outside the tunnel"_s;
}

QString ipv6NotCarried()
{
    return u"The server does not carry IPv6, so IPv6 traffic would leave outside the tunnel"_s;
}

QString caUnreadable(const QString &path, const QString &why)
{
    return u"The certificate of the VPN's CA cannot be read from %1: %2"_s.arg(path, why);
}

} // namespace Messages

} // namespace StrongSwanRules
