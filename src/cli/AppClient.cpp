#include "cli/AppClient.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

AppClient::AppClient(std::unique_ptr<QLocalSocket> socket)
    : m_socket(std::move(socket))
{
}

AppClient::~AppClient() = default;

std::unique_ptr<AppClient> AppClient::open(QString *refusal)
{
    // A local socket answers at once; a missing or dead one fails at once.
    std::unique_ptr<QLocalSocket> socket =
        ControlProtocol::connectToApp(ControlProtocol::places().socket, 1000, refusal);
    if (!socket)
        return nullptr;
    return std::unique_ptr<AppClient>(new AppClient(std::move(socket)));
}

void AppClient::send(const ControlProtocol::Request &request)
{
    m_socket->write(request.encode());
    m_socket->flush();
}

std::optional<QByteArray> AppClient::takeLine()
{
    const qsizetype end = m_buffer.indexOf('\n');
    if (end < 0) {
        // The application never sends a line this long.
        if (m_buffer.size() > ControlProtocol::maxLineBytes)
            m_broken = true;
        return std::nullopt;
    }
    const QByteArray line = m_buffer.left(end);
    m_buffer.remove(0, end + 1);
    return line;
}

std::optional<ControlProtocol::Message> AppClient::next(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (const std::optional<QByteArray> line = takeLine())
            return ControlProtocol::parseMessage(*line);
        if (m_broken || deadline.hasExpired())
            return std::nullopt;
        if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(int(deadline.remainingTime())))
            if (m_socket->bytesAvailable() == 0)
                return std::nullopt;
        m_buffer += m_socket->read(ControlProtocol::maxLineBytes + 1);
    }
}

void AppClient::follow()
{
    QObject::connect(m_socket.get(), &QLocalSocket::readyRead, this, &AppClient::readLines);
    QObject::connect(m_socket.get(), &QLocalSocket::disconnected, this, &AppClient::closed, Qt::QueuedConnection);
    if (m_socket->bytesAvailable() > 0 || m_buffer.contains('\n'))
        QMetaObject::invokeMethod(this, &AppClient::readLines, Qt::QueuedConnection);
}

void AppClient::readLines()
{
    m_buffer += m_socket->readAll();
    while (const std::optional<QByteArray> line = takeLine()) {
        const std::optional<ControlProtocol::Message> message = ControlProtocol::parseMessage(*line);
        if (!message) {
            m_broken = true;
            break;
        }
        emit received(*message);
    }
    if (m_broken) {
        m_socket->abort();
        emit closed();
    }
}
