#include "support/ProxyClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>

namespace ProxyClient {

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

namespace {

bool open(QTcpSocket &socket, int port)
{
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return spinUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; });
}

QByteArray readExactly(QTcpSocket &socket, qsizetype count)
{
    spinUntil([&] { return socket.bytesAvailable() >= count; });
    return socket.read(count);
}

bool isComplete(const QByteArray &answer)
{
    const qsizetype end = answer.indexOf("\r\n\r\n");
    const qsizetype at = answer.toLower().indexOf("\r\ncontent-length:");
    return end >= 0 && at >= 0 && at < end
        && answer.size() >= end + 4 + answer.mid(at + 17, answer.indexOf('\r', at + 2) - at - 17).trimmed().toLongLong();
}

// Reads until the Content-Length is in, else until the peer closes (a
// server that keeps the connection open would hold the read to the time-out).
QByteArray exchange(QTcpSocket &socket, const QByteArray &request)
{
    socket.write(request);
    QByteArray answer;
    spinUntil([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState || isComplete(answer);
    });
    return answer + socket.readAll();
}

} // namespace

QByteArray getThroughSocks(int socksPort, quint16 targetPort)
{
    QTcpSocket socket;
    if (!open(socket, socksPort))
        return "no connection";
    socket.write(QByteArray("\x05\x01\x00", 3));
    if (readExactly(socket, 2) != QByteArray("\x05\x00", 2))
        return "greeting refused";
    QByteArray request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
    char port[2];
    qToBigEndian(targetPort, port);
    socket.write(request.append(port, 2));
    const QByteArray reply = readExactly(socket, 10);
    if (reply.size() != 10 || reply[1] != 0)
        return "connect refused";
    return exchange(socket, "GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

QByteArray getThroughHttpProxy(int httpPort, quint16 targetPort)
{
    QTcpSocket socket;
    if (!open(socket, httpPort))
        return "no connection";
    const QByteArray target = "127.0.0.1:" + QByteArray::number(targetPort);
    return exchange(socket, "GET http://" + target + "/hello HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
}

} // namespace ProxyClient
