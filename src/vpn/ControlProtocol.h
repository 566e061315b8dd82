#pragma once

#include "model/VPNConnectionState.h"
#include "model/VPNProtocolType.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>
#include <sys/types.h>

class QLocalSocket;

// The conversation between the running application and the command line over
// the application's local socket.
//
// One JSON object per line, each way, UTF-8, at most maxLineBytes per line.
// Every request carries {"version": 1, "command": NAME, ...}; the answer is
// {"version": 1, "ok": true, ...} or {"version": 1, "ok": false, "error":
// TEXT}. After a `connect` or `disconnect` the connection also carries the
// connection's state as it changes ({"event": "state", ...}, the current state
// first) until the command line closes it. A connection may carry several
// requests; they are answered in order.
namespace ControlProtocol {

constexpr int version = 1;
constexpr qsizetype maxLineBytes = 4096;

struct Request
{
    enum class Command {
        Status,     // the connection, protocol and selected server of the application
        Connect,    // connect with `protocol` to `server` (the selected one when empty)
        Disconnect, // end the connection, whoever started it
        Select,     // select `server` as the location to connect to
        Activate,   // bring `window` forward: "main" (the main window) or "settings"
    };

    Command command = Command::Status;
    VPNProtocolType protocol = VPNProtocolType::IKEv2;
    QString server;
    bool proxyOnly = false;
    QString window = QStringLiteral("main");

    QByteArray encode() const;
};

// A request line (without its line end); an error text when it is not one
// this version understands.
struct Parsed
{
    std::optional<Request> request;
    QString error;
};
Parsed parseRequest(const QByteArray &line);

// Answer lines (each ends with a line feed).
QByteArray okLine(QJsonObject fields = {});
QByteArray errorLine(const QString &message);
// A connection state as the application shows it: the state, the server's
// name and, while up, the address of the server.
QJsonObject stateFields(const VPNConnectionState &state, const QString &serverName,
                        const std::optional<QString> &address);
// The state event that carries those fields.
QByteArray stateLine(QJsonObject fields);

// One line the application sent, read back by the command line.
struct Message
{
    bool isEvent = false;
    bool ok = false;
    QString error;
    QJsonObject fields;
    // For state events and status answers.
    std::optional<VPNConnectionState> state;
};
std::optional<Message> parseMessage(const QByteArray &line);
QString stateName(const VPNConnectionState &state);

// Where the application listens, for the settings folder in use: one
// application per user and settings folder. All in the user's private
// runtime folder.
struct Places
{
    QString directory;
    QString socket;         // the control socket
    QString instanceLock;   // held by the running application for its whole life
    QString connectionLock; // held by the process whose connection is up
};
Places places();
Places placesFor(const QString &runtimeDirectory, const QString &settingsDirectory);

// The user id of the process at the other end of a local socket.
std::optional<uid_t> peerUser(qintptr socketDescriptor);

// Connects to the application listening at `path` (waiting at most
// `timeoutMs`). Nothing when none listens there; then `refusal` is set when
// something is there that must not be used (a socket of another user).
std::unique_ptr<QLocalSocket> connectToApp(const QString &path, int timeoutMs, QString *refusal = nullptr);

} // namespace ControlProtocol
