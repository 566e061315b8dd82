#include "vpn/ControlProtocol.h"

#include "model/JsonReader.h"
#include "platform/UserDefaults.h"
#include "vpn/xray/XrayConfig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ControlProtocol {

namespace {

constexpr std::pair<const char16_t *, Request::Command> commandNames[] = {
    {u"status", Request::Command::Status},     {u"connect", Request::Command::Connect},
    {u"disconnect", Request::Command::Disconnect}, {u"select", Request::Command::Select},
    {u"activate", Request::Command::Activate},
};

constexpr std::pair<const char16_t *, VPNConnectionState::Kind> stateNames[] = {
    {u"disconnected", VPNConnectionState::Kind::Disconnected},
    {u"connecting", VPNConnectionState::Kind::Connecting},
    {u"connected", VPNConnectionState::Kind::Connected},
    {u"disconnecting", VPNConnectionState::Kind::Disconnecting},
    {u"reconnecting", VPNConnectionState::Kind::Reconnecting},
    {u"error", VPNConnectionState::Kind::Error},
};

QByteArray line(QJsonObject object)
{
    object.insert(u"version"_s, version);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Server ids and window names are short plain words.
bool isPlainWord(const QString &text)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    for (const QChar c : text)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_' && c != u'.')
            return false;
    return true;
}

VPNConnectionState stateOf(const JsonReader &reader)
{
    using Kind = VPNConnectionState::Kind;
    switch (reader.enumeration(u"state"_s, stateNames)) {
    case Kind::Disconnected:
        return VPNConnectionState::disconnected();
    case Kind::Connecting:
        return VPNConnectionState::connecting();
    case Kind::Connected:
        return VPNConnectionState::connected();
    case Kind::Disconnecting:
        return VPNConnectionState::disconnecting();
    case Kind::Reconnecting:
        return VPNConnectionState::reconnecting();
    case Kind::Error:
        break;
    }
    return VPNConnectionState::error(reader.optionalString(u"message"_s).value_or(QString()));
}

} // namespace

QByteArray Request::encode() const
{
    QJsonObject object;
    for (const auto &[name, value] : commandNames)
        if (value == command)
            object.insert(u"command"_s, QString::fromUtf16(name));
    switch (command) {
    case Command::Connect:
        object.insert(u"protocol"_s, VPNProtocol::rawValue(protocol));
        if (!server.isEmpty())
            object.insert(u"server"_s, server);
        if (proxyOnly)
            object.insert(u"proxyOnly"_s, true);
        break;
    case Command::Select:
        object.insert(u"server"_s, server);
        break;
    case Command::Activate:
        object.insert(u"window"_s, window);
        break;
    case Command::Status:
    case Command::Disconnect:
        break;
    }
    return line(object);
}

Parsed parseRequest(const QByteArray &bytes)
{
    try {
        const JsonReader reader(JsonReader::parseObject(bytes));
        const qint64 asked = reader.integer(u"version"_s);
        if (asked != version)
            return {std::nullopt, u"unsupported protocol version %1 (this application speaks %2)"_s.arg(asked).arg(version)};
        Request request;
        const QString command = reader.string(u"command"_s);
        bool known = false;
        for (const auto &[name, value] : commandNames)
            if (command == QStringView(name)) {
                request.command = value;
                known = true;
            }
        if (!known)
            return {std::nullopt, u"unknown command \"%1\""_s.arg(command.left(40))};

        switch (request.command) {
        case Request::Command::Connect: {
            const auto protocol = VPNProtocol::fromRawValue(reader.string(u"protocol"_s));
            if (!protocol)
                return {std::nullopt, u"unknown protocol"_s};
            request.protocol = *protocol;
            request.server = reader.optionalString(u"server"_s).value_or(QString());
            request.proxyOnly = reader.optionalBoolean(u"proxyOnly"_s).value_or(false);
            if (!request.server.isEmpty() && !isPlainWord(request.server))
                return {std::nullopt, u"not a server id"_s};
            break;
        }
        case Request::Command::Select:
            request.server = reader.string(u"server"_s);
            if (!isPlainWord(request.server))
                return {std::nullopt, u"not a server id"_s};
            break;
        case Request::Command::Activate:
            request.window = reader.optionalString(u"window"_s).value_or(u"main"_s);
            if (request.window != u"main" && request.window != u"settings")
                return {std::nullopt, u"unknown window"_s};
            break;
        case Request::Command::Status:
        case Request::Command::Disconnect:
            break;
        }
        return {request, {}};
    } catch (const DecodeError &e) {
        return {std::nullopt, u"malformed request: "_s + e.description().left(200)};
    }
}

QByteArray okLine(QJsonObject fields)
{
    fields.insert(u"ok"_s, true);
    return line(fields);
}

QByteArray errorLine(const QString &message)
{
    return line({{u"ok"_s, false}, {u"error"_s, message}});
}

QString stateName(const VPNConnectionState &state)
{
    for (const auto &[name, kind] : stateNames)
        if (kind == state.kind())
            return QString::fromUtf16(name);
    return {};
}

QJsonObject stateFields(const VPNConnectionState &state, const QString &serverName,
                        const std::optional<QString> &address)
{
    QJsonObject object{{u"state"_s, stateName(state)}, {u"serverName"_s, serverName}};
    if (state.isError())
        object.insert(u"message"_s, state.errorMessage());
    if (address)
        object.insert(u"address"_s, *address);
    return object;
}

QByteArray stateLine(QJsonObject fields)
{
    fields.insert(u"event"_s, u"state"_s);
    return line(fields);
}

std::optional<Message> parseMessage(const QByteArray &bytes)
{
    try {
        const JsonReader reader(JsonReader::parseObject(bytes));
        if (reader.integer(u"version"_s) != version)
            return std::nullopt;
        Message message;
        message.fields = reader.object();
        message.isEvent = reader.has(u"event"_s);
        if (message.isEvent) {
            message.state = stateOf(reader);
            return message;
        }
        message.ok = reader.boolean(u"ok"_s);
        message.error = reader.optionalString(u"error"_s).value_or(QString());
        if (reader.has(u"state"_s))
            message.state = stateOf(reader);
        return message;
    } catch (const DecodeError &) {
        return std::nullopt;
    }
}

Places placesFor(const QString &runtimeDirectory, const QString &settingsDirectory)
{
    // One application per settings folder: the folder's path names its places.
    const QString settings = QDir::cleanPath(QFileInfo(settingsDirectory).absoluteFilePath());
    const QByteArray key =
        QCryptographicHash::hash(QFile::encodeName(settings), QCryptographicHash::Sha256).toHex().left(16);
    const QDir dir(runtimeDirectory);
    const QString stem = u"app-"_s + QString::fromLatin1(key);
    return {runtimeDirectory, dir.filePath(stem + u".sock"_s), dir.filePath(stem + u".lock"_s),
            dir.filePath(u"connection-"_s + QString::fromLatin1(key) + u".lock"_s)};
}

Places places()
{
    return placesFor(XrayConfigFile::defaultDirectory(), UserDefaults::defaultDirectory());
}

std::optional<uid_t> peerUser(qintptr socketDescriptor)
{
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (socketDescriptor < 0
        || ::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0
        || size != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

std::unique_ptr<QLocalSocket> connectToApp(const QString &path, int timeoutMs, QString *refusal)
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(path);
    if (!socket->waitForConnected(timeoutMs)) {
        if (refusal && socket->error() == QLocalSocket::SocketAccessError)
            *refusal = u"cannot reach the application's socket %1: %2"_s.arg(path, socket->errorString());
        return nullptr;
    }
    // Only our own application may receive the commands.
    if (peerUser(socket->socketDescriptor()) != ::geteuid()) {
        if (refusal)
            *refusal = u"the application's socket %1 belongs to another user; not using it"_s.arg(path);
        return nullptr;
    }
    return socket;
}

} // namespace ControlProtocol
