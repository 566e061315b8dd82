#include "platform/ViciClient.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QMetaObject>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

QString displayName(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

} // namespace

ViciClient::ViciClient(const QString &socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(socketPath)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    QObject::connect(m_timer, &QTimer::timeout, this, &ViciClient::onTimeout);
}

ViciClient::~ViciClient()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

bool ViciClient::isConnected() const
{
    return m_socket && m_socket->state() == QLocalSocket::ConnectedState;
}

void ViciClient::call(const QByteArray &command, const Vici::Message &arguments, Handler handler, int timeoutMs)
{
    send(Vici::PacketType::CmdRequest, command, arguments, std::move(handler), timeoutMs);
}

void ViciClient::registerEvent(const QByteArray &event, Handler handler)
{
    send(Vici::PacketType::EventRegister, event, {}, std::move(handler), 0);
}

void ViciClient::unregisterEvent(const QByteArray &event, Handler handler)
{
    send(Vici::PacketType::EventUnregister, event, {}, std::move(handler), 0);
}

void ViciClient::send(Vici::PacketType type, const QByteArray &name, const Vici::Message &message, Handler handler,
                      int timeoutMs)
{
    Vici::Packet packet;
    packet.type = type;
    packet.name = name;
    packet.message = message;
    QString error;
    const std::optional<QByteArray> frame = Vici::encodeFrame(packet, &error);
    if (frame)
        error.clear();
    else if (type == Vici::PacketType::CmdRequest)
        error = u"cannot send \"%1\": %2"_s.arg(displayName(name), error);
    Request request;
    request.type = type;
    request.name = name;
    request.frame = frame.value_or(QByteArray());
    request.handler = std::move(handler);
    request.timeoutMs = timeoutMs;
    enqueue(std::move(request), error);
}

void ViciClient::enqueue(Request request, const QString &encodeError)
{
    if (!encodeError.isEmpty()) {
        // Nothing was sent, so the connection stays usable.
        QMetaObject::invokeMethod(
            this,
            [handler = std::move(request.handler), encodeError]() {
                if (handler)
                    handler(Reply{encodeError, {}});
            },
            Qt::QueuedConnection);
        return;
    }
    m_queue.push_back(std::move(request));
    schedulePump();
}

void ViciClient::schedulePump()
{
    if (m_pumpScheduled)
        return;
    m_pumpScheduled = true;
    QMetaObject::invokeMethod(this, &ViciClient::pump, Qt::QueuedConnection);
}

void ViciClient::pump()
{
    m_pumpScheduled = false;
    if (m_inFlight || m_queue.empty())
        return;
    if (!m_socket) {
        m_socket = new QLocalSocket(this);
        QObject::connect(m_socket, &QLocalSocket::connected, this, &ViciClient::onConnected);
        QObject::connect(m_socket, &QLocalSocket::disconnected, this, &ViciClient::onDisconnected);
        QObject::connect(m_socket, &QLocalSocket::errorOccurred, this, &ViciClient::onSocketError);
        QObject::connect(m_socket, &QLocalSocket::readyRead, this, &ViciClient::onReadyRead);
        // The outcome arrives through the signals (a failure may be
        // reported from inside this call; it drops the socket).
        m_socket->connectToServer(m_socketPath);
        return;
    }
    if (m_socket->state() != QLocalSocket::ConnectedState)
        return;
    m_inFlight = std::move(m_queue.front());
    m_queue.pop_front();
    if (m_socket->write(m_inFlight->frame) != m_inFlight->frame.size()) {
        drop(u"cannot write to the IKE daemon: %1"_s.arg(m_socket->errorString()), true);
        return;
    }
    m_timer->start(m_inFlight->timeoutMs > 0 ? m_inFlight->timeoutMs : m_timeoutMs);
}

void ViciClient::onConnected()
{
    m_everConnected = true;
    schedulePump();
}

QString ViciClient::connectError() const
{
    switch (m_socket->error()) {
    case QLocalSocket::ServerNotFoundError:
        return u"nothing listens at %1 (is the IKE daemon charon running?)"_s.arg(m_socketPath);
    case QLocalSocket::ConnectionRefusedError:
        return u"the IKE daemon does not accept connections at %1 (is charon running?)"_s.arg(m_socketPath);
    case QLocalSocket::SocketAccessError:
        // The daemon is there, but only root and one group may use it.
        return u"no permission to use the IKE daemon's socket %1: join the velorin group, then log in again"_s.arg(
            m_socketPath);
    default:
        return u"cannot connect to %1: %2"_s.arg(m_socketPath, m_socket->errorString());
    }
}

void ViciClient::onSocketError()
{
    if (!m_socket)
        return;
    if (m_everConnected && m_socket->error() == QLocalSocket::PeerClosedError) {
        onDisconnected();
        return;
    }
    const QString reason = m_everConnected
        ? u"the connection to the IKE daemon failed: %1"_s.arg(m_socket->errorString())
        : connectError();
    const bool announce = m_everConnected;
    // A failed connect is reported from inside connectToServer(); the socket
    // is dropped once control is back in the event loop.
    QMetaObject::invokeMethod(
        this,
        [this, socket = QPointer<QLocalSocket>(m_socket), reason, announce]() {
            if (socket && socket == m_socket)
                drop(reason, announce);
        },
        Qt::QueuedConnection);
}

void ViciClient::onDisconnected()
{
    // Before the connection was up, the error signal tells the reason.
    if (!m_socket || !m_everConnected)
        return;
    drop(m_reader.hasPartialFrame() ? u"the IKE daemon closed the connection in the middle of a message"_s
                                    : u"the IKE daemon closed the connection"_s,
         true);
}

void ViciClient::onTimeout()
{
    if (!m_inFlight)
        return;
    const int ms = m_inFlight->timeoutMs > 0 ? m_inFlight->timeoutMs : m_timeoutMs;
    drop(u"the IKE daemon did not answer \"%1\" within %2 s"_s.arg(displayName(m_inFlight->name))
             .arg(double(ms) / 1000.0, 0, 'g', 3),
         true);
}

void ViciClient::onReadyRead()
{
    if (!m_socket)
        return;
    m_reader.append(m_socket->readAll());
    const QPointer<ViciClient> self(this);
    const quint64 generation = m_generation;
    for (;;) {
        Vici::Packet packet;
        QString error;
        const Vici::FrameReader::Result result = m_reader.next(&packet, &error);
        if (result == Vici::FrameReader::Result::NeedMore)
            return;
        if (result == Vici::FrameReader::Result::Error) {
            drop(u"the IKE daemon sent a malformed message: %1"_s.arg(error), true);
            return;
        }
        if (!dispatch(std::move(packet)))
            return;
        // A handler or a slot may have closed the connection or destroyed
        // this client; the rest of the buffer belongs to a dead stream then.
        if (!self || m_generation != generation)
            return;
    }
}

bool ViciClient::dispatch(Vici::Packet packet)
{
    using Vici::PacketType;
    switch (packet.type) {
    case PacketType::Event:
        emit eventReceived(packet.name, packet.message);
        return true;
    case PacketType::CmdResponse:
    case PacketType::CmdUnknown:
        if (!m_inFlight || m_inFlight->type != PacketType::CmdRequest) {
            drop(u"the IKE daemon sent a response nobody asked for"_s, true);
            return false;
        }
        break;
    case PacketType::EventConfirm:
    case PacketType::EventUnknown:
        if (!m_inFlight || m_inFlight->type == PacketType::CmdRequest) {
            drop(u"the IKE daemon sent an event confirmation nobody asked for"_s, true);
            return false;
        }
        break;
    default:
        drop(u"the IKE daemon sent a packet of type %1, which only clients send"_s.arg(int(packet.type)), true);
        return false;
    }

    m_timer->stop();
    Request done = std::move(*m_inFlight);
    m_inFlight.reset();
    schedulePump();

    Reply reply;
    if (packet.type == PacketType::CmdUnknown)
        reply.error = u"the IKE daemon does not know the command \"%1\""_s.arg(displayName(done.name));
    else if (packet.type == PacketType::EventUnknown)
        reply.error = u"the IKE daemon does not know the event \"%1\""_s.arg(displayName(done.name));
    else
        reply.message = std::move(packet.message);
    if (done.handler)
        done.handler(reply);
    return true;
}

void ViciClient::close(const QString &reason)
{
    drop(reason, false);
}

void ViciClient::drop(const QString &reason, bool announce)
{
    ++m_generation;
    m_timer->stop();
    m_reader.clear();
    const bool wasConnected = m_everConnected;
    m_everConnected = false;
    if (QLocalSocket *socket = std::exchange(m_socket, nullptr)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }

    std::vector<Handler> handlers;
    if (m_inFlight) {
        handlers.push_back(std::move(m_inFlight->handler));
        m_inFlight.reset();
    }
    for (Request &request : m_queue)
        handlers.push_back(std::move(request.handler));
    m_queue.clear();
    if (!handlers.empty()) {
        QMetaObject::invokeMethod(
            this,
            [handlers = std::move(handlers), reason]() {
                for (const Handler &handler : handlers) {
                    if (handler)
                        handler(Reply{reason, {}});
                }
            },
            Qt::QueuedConnection);
    }
    if (announce && wasConnected)
        emit connectionLost(reason);
}

bool ViciClient::runBlocking(const QString &socketPath,
                             const std::vector<std::pair<QByteArray, Vici::Message>> &commands, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    // The daemon answers a connection's commands in order; they can all go at once.
    for (const auto &[command, arguments] : commands) {
        Vici::Packet packet;
        packet.type = Vici::PacketType::CmdRequest;
        packet.name = command;
        packet.message = arguments;
        const std::optional<QByteArray> frame = Vici::encodeFrame(packet);
        if (!frame || socket.write(*frame) != frame->size())
            return false;
    }
    socket.flush();
    Vici::FrameReader reader;
    std::size_t answered = 0;
    while (answered < commands.size()) {
        Vici::Packet packet;
        QString error;
        switch (reader.next(&packet, &error)) {
        case Vici::FrameReader::Result::Error:
            return false;
        case Vici::FrameReader::Result::Packet:
            if (packet.type == Vici::PacketType::CmdResponse || packet.type == Vici::PacketType::CmdUnknown)
                ++answered;
            continue;
        case Vici::FrameReader::Result::NeedMore:
            break;
        }
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
        reader.append(socket.readAll());
    }
    return true;
}
