#pragma once

#include "platform/SystemVpn.h"
#include "platform/Vici.h"

#include <QHostAddress>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// The strongSwan adapter's decisions, kept apart from the VICI calls that
// carry them out: what is loaded into the daemon for a profile and under
// which names, where the daemon and the CA certificate are found, how the
// daemon's events and log lines are read, and which error a user reads.
// Nothing here does I/O.
namespace StrongSwanRules {

// The daemon is shared by every user of the machine: our connection and our
// EAP secret carry the user's id so two users never touch each other's.
struct Names
{
    QString connection;
    QByteArray secretId;
};
Names namesFor(const QString &profileDescription, uint uid);

struct ConnectionOptions
{
    // Dead-peer detection: a request after this long without a word from
    // the server; when it goes unanswered the SA is cleared.
    int dpdDelaySeconds = 30;
};

// The load-conn arguments for a profile; nothing (and `error`) when the
// profile asks for something the daemon cannot be told.
std::optional<Vici::Message> connectionFor(const IKEv2Profile &profile, const QString &name,
                                           const ConnectionOptions &options, QString *error);

// A readable reason for a failed start, from the daemon's log lines of that
// attempt and its final error message.
QString describeFailure(const QStringList &logLines, const QString &errorMessage);

// Where the daemon's control socket is looked for when none is configured.
QStringList standardSocketPaths();
// The configured socket, else the first standard one that exists, else the
// first standard one (so an error names where the daemon was expected).
QString chooseSocket(const QString &configured, const QStringList &candidates,
                     const std::function<bool(const QString &)> &exists);

// The CA certificate the tunnel trusts: the one an operator put in /etc,
// else the one the package ships.
QStringList standardCaFiles();
// The configured file, else the first standard one that exists, else the
// first standard one (reading it then fails with a message naming it).
// Whether the bytes are a certificate the daemon can parse: PEM with a
// certificate block, or DER (an ASN.1 sequence).
bool holdsCertificate(const QByteArray &data);
QString chooseCaFile(const QString &configured, const QStringList &candidates,
                     const std::function<bool(const QString &)> &exists);

// The state of our SAs in a list-sas answer.
enum class SaState { None, Establishing, Up };
SaState saStateOf(const std::vector<Vici::Message> &listed, const QByteArray &connection);

// What a look at our SAs means while the client is neither starting nor
// stopping a tunnel: the status to publish (if it changes), whether to look
// again soon, and whether the tunnel has ended. Right after an SA went down
// its successor may not be listed yet (the daemon deletes the old IKE SA of
// a reauthentication while the new one is being set up): only the
// `maxGoneChecks`+1-th empty look in a row ends the tunnel.
struct SaStep
{
    enum class Recheck { Keep, Start, Stop };
    std::optional<SystemVpn::Status> status;
    Recheck recheck = Recheck::Keep;
    int goneChecks = 0;  // empty looks in a row so far
    bool ended = false;
};
SaStep saStepFor(SaState state, SystemVpn::Status current, int goneChecks, int maxGoneChecks);

// What an established tunnel carries, as the daemon lists it.
struct Tunnel
{
    QList<QHostAddress> virtualIps;  // assigned by the server
    QStringList localTs;
    QStringList remoteTs;
};
std::optional<Tunnel> tunnelOf(const std::vector<Vici::Message> &listed, const QByteArray &connection);

// The DNS servers the daemon took from the server, read from its log lines
// of the attempt.
struct Dns
{
    QStringList installed;  // addresses as the daemon wrote them
    QStringList failures;   // lines telling that a server could not be used
    bool requested = true;  // the daemon asked the server for DNS servers
};
Dns dnsOf(const QStringList &logLines);

// Whether `address` lies in one of the traffic selectors ("10.0.0.0/8",
// "fd00::/64", "10.0.0.1..10.0.0.9", each with an optional "[proto/port]").
bool coveredBy(const QHostAddress &address, const QStringList &trafficSelectors);

// Why an established tunnel must not be used: traffic that would leave
// outside it (name lookups without a DNS server inside the tunnel, IPv6 the
// tunnel does not carry while the machine has IPv6). Nothing when it is
// sound.
std::optional<QString> leakOf(const Tunnel &tunnel, const Dns &dns, bool machineHasIPv6);

// Dead-peer detection from the daemon's log: a request of the IKE SA that
// is still being retransmitted long after its first retransmission, or the
// daemon giving up on it, means the server is gone.
class PeerWatch
{
public:
    // How long a request may go unanswered after its first retransmission.
    static constexpr qint64 DeadAfterMs = 15000;

    // Feeds one log line of our IKE SA seen at `nowMs`; true when the peer
    // is to be taken for dead.
    bool feed(const QString &line, qint64 nowMs);
    void reset() { m_messageId = -1; }

private:
    qint64 m_messageId = -1;
    qint64 m_firstRetransmitMs = 0;
};

// Texts a user reads.
namespace Messages {
QString notAvailable(const QString &why);
QString deadPeer();
QString noDns();
QString unusableDns(const QString &address);
QString dnsNotApplied(const QString &line);
QString dnsNotRequested();
QString ipv6NotCarried();
QString caUnreadable(const QString &path, const QString &why);
} // namespace Messages

} // namespace StrongSwanRules
