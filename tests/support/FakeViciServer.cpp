#include "support/FakeViciServer.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

FakeViciServer::Answer FakeViciServer::Answer::success()
{
    Answer answer;
    answer.message.set("success", "yes");
    return answer;
}

FakeViciServer::Answer FakeViciServer::Answer::failure(const QString &errmsg)
{
    Answer answer;
    answer.message.set("success", "no");
    answer.message.set("errmsg", errmsg);
    return answer;
}

FakeViciServer::FakeViciServer(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    QObject::connect(m_server, &QLocalServer::newConnection, this, &FakeViciServer::onNewConnection);
    m_dripTimer = new QTimer(this);
    m_dripTimer->setInterval(1);
    QObject::connect(m_dripTimer, &QTimer::timeout, this, &FakeViciServer::dripOneByte);
}

FakeViciServer::~FakeViciServer()
{
    closeConnections();
    qDeleteAll(m_connections);
}

bool FakeViciServer::listen()
{
    return m_dir.isValid() && m_server->listen(socketPath());
}

QString FakeViciServer::socketPath() const
{
    return m_dir.filePath(u"charon.vici"_s);
}

void FakeViciServer::setHandler(const QByteArray &command, CommandHandler handler)
{
    m_handlers.insert(command, std::move(handler));
}

QList<QByteArray> FakeViciServer::commands() const
{
    QList<QByteArray> names;
    for (const Vici::Packet &packet : m_received)
        if (packet.type == Vici::PacketType::CmdRequest)
            names.append(packet.name);
    return names;
}

std::optional<Vici::Message> FakeViciServer::lastRequest(const QByteArray &command) const
{
    for (auto it = m_received.crbegin(); it != m_received.crend(); ++it) {
        if (it->type == Vici::PacketType::CmdRequest && it->name == command)
            return it->message;
    }
    return std::nullopt;
}

int FakeViciServer::openConnectionCount() const
{
    int open = 0;
    for (const Connection *connection : m_connections) {
        if (connection->socket && connection->socket->state() == QLocalSocket::ConnectedState)
            ++open;
    }
    return open;
}

QByteArray FakeViciServer::frame(Vici::PacketType type, const QByteArray &name, const Vici::Message &message)
{
    Vici::Packet packet;
    packet.type = type;
    packet.name = name;
    packet.message = message;
    return Vici::encodeFrame(packet).value_or(QByteArray());
}

void FakeViciServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        const int index = int(m_connections.size());
        auto *connection = new Connection;
        connection->socket = socket;
        m_connections.append(connection);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, index]() { onReadyRead(index); });
    }
}

void FakeViciServer::onReadyRead(int index)
{
    Connection *connection = m_connections.at(index);
    if (!connection->socket)
        return;
    connection->reader.append(connection->socket->readAll());
    for (;;) {
        Vici::Packet packet;
        QString error;
        const Vici::FrameReader::Result result = connection->reader.next(&packet, &error);
        if (result == Vici::FrameReader::Result::NeedMore)
            return;
        if (result == Vici::FrameReader::Result::Error) {
            qWarning("fake VICI server: malformed packet from the client: %s", qPrintable(error));
            connection->socket->abort();
            return;
        }
        m_received.append(packet);
        handle(index, packet);
    }
}

void FakeViciServer::handle(int index, const Vici::Packet &packet)
{
    using Vici::PacketType;
    Connection *connection = m_connections.at(index);
    switch (packet.type) {
    case PacketType::EventRegister:
        if (m_knownEvents.contains(packet.name)) {
            connection->events.insert(packet.name);
            write(index, frame(PacketType::EventConfirm));
        } else {
            write(index, frame(PacketType::EventUnknown));
        }
        return;
    case PacketType::EventUnregister:
        connection->events.remove(packet.name);
        write(index, frame(PacketType::EventConfirm));
        return;
    case PacketType::CmdRequest:
        break;
    default:
        return;
    }

    const auto handler = m_handlers.constFind(packet.name);
    const Answer answer = handler != m_handlers.constEnd() ? (*handler)(packet.message) : Answer::success();
    for (const auto &[name, message] : answer.eventsBefore) {
        if (connection->events.contains(name))
            write(index, frame(PacketType::Event, name, message));
    }
    switch (answer.kind) {
    case Answer::Kind::Respond:
        write(index, frame(PacketType::CmdResponse, {}, answer.message));
        break;
    case Answer::Kind::Unknown:
        write(index, frame(PacketType::CmdUnknown));
        break;
    case Answer::Kind::Hold: // answered later through respond()
        break;
    }
}

void FakeViciServer::write(int index, const QByteArray &bytes)
{
    Connection *connection = m_connections.at(index);
    if (!connection->socket)
        return;
    if (!m_byteByByte) {
        connection->socket->write(bytes);
        connection->socket->flush();
        return;
    }
    // One byte per timer tick, so the client sees the frames in pieces.
    connection->drip.append(bytes);
    if (!m_dripTimer->isActive())
        m_dripTimer->start();
}

void FakeViciServer::dripOneByte()
{
    bool more = false;
    for (Connection *connection : m_connections) {
        if (connection->drip.isEmpty())
            continue;
        if (connection->socket && connection->socket->state() == QLocalSocket::ConnectedState) {
            connection->socket->write(connection->drip.left(1));
            connection->socket->flush();
        }
        connection->drip.remove(0, 1);
        more = more || !connection->drip.isEmpty();
    }
    if (!more)
        m_dripTimer->stop();
}

int FakeViciServer::resolve(int connection) const
{
    return connection < 0 ? int(m_connections.size()) - 1 : connection;
}

void FakeViciServer::sendEvent(const QByteArray &name, const Vici::Message &message)
{
    for (int i = 0; i < m_connections.size(); ++i) {
        if (m_connections.at(i)->events.contains(name))
            write(i, frame(Vici::PacketType::Event, name, message));
    }
}

void FakeViciServer::respond(const Vici::Message &message, int connection)
{
    sendRaw(frame(Vici::PacketType::CmdResponse, {}, message), connection);
}

void FakeViciServer::sendRaw(const QByteArray &bytes, int connection)
{
    const int index = resolve(connection);
    if (index >= 0)
        write(index, bytes);
}

void FakeViciServer::closeConnections()
{
    for (Connection *connection : m_connections) {
        if (QLocalSocket *socket = std::exchange(connection->socket, nullptr)) {
            socket->disconnect(this);
            socket->disconnectFromServer();
            socket->deleteLater();
        }
    }
}
