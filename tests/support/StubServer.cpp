#include "support/StubServer.h"

#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;

// Resets the connection (RST) instead of closing it in order.
void resetConnection(QTcpSocket *socket)
{
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        const linger noLinger{1, 0};
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    }
    socket->abort();
}

} // namespace

struct StubServer::Connection
{
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    bool waitingForAnswer = false;
};

QByteArray StubServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool StubServer::Request::hasHeader(const QByteArray &name) const
{
    return std::any_of(headers.cbegin(), headers.cend(),
                       [&](const auto &entry) { return entry.first.compare(name, Qt::CaseInsensitive) == 0; });
}

QJsonObject StubServer::Request::json() const
{
    return QJsonDocument::fromJson(body).object();
}

StubServer::StubServer(QObject *parent, const QHostAddress &address)
    : QObject(parent)
{
    QObject::connect(&m_server, &QTcpServer::newConnection, this, &StubServer::accept);
    if (!m_server.listen(address, 0))
        qWarning("StubServer: cannot listen: %s", qPrintable(m_server.errorString()));
}

StubServer::~StubServer()
{
    if (!m_unexpected.isEmpty() && !m_unexpectedAllowed) {
        const QString summary = unexpectedSummary();
        if (QTest::currentTestFunction() && !QTest::currentTestFailed())
            QTest::qFail(qPrintable(summary), __FILE__, __LINE__);
        else
            qWarning("%s", qPrintable(summary));
    }
    // Closing a socket emits `disconnected`, whose handler edits m_connections:
    // detach the handlers first.
    const auto connections = std::exchange(m_connections, {});
    for (const auto &connection : connections) {
        if (connection->socket) {
            connection->socket->disconnect(this);
            delete connection->socket;
        }
    }
    m_server.close();
}

QString StubServer::baseUrl() const
{
    return u"http://127.0.0.1:"_s + QString::number(port());
}

void StubServer::on(const QByteArray &method, const QString &pathAndQuery, const Response &response)
{
    on(method, pathAndQuery, Handler([response](const Request &) { return response; }));
}

void StubServer::on(const QByteArray &method, const QString &pathAndQuery, Handler handler)
{
    Route route;
    route.method = method;
    const qsizetype mark = pathAndQuery.indexOf(u'?');
    route.path = mark < 0 ? pathAndQuery : pathAndQuery.left(mark);
    if (mark >= 0)
        route.query = pathAndQuery.mid(mark + 1);
    route.handler = std::move(handler);
    m_routes.removeIf([&](const Route &r) { return r.method == route.method && r.path == route.path && r.query == route.query; });
    m_routes.append(std::move(route));
}

QList<StubServer::Request> StubServer::requests(const QByteArray &method, const QString &path) const
{
    QList<Request> result;
    for (const Request &request : m_requests)
        if (request.method == method && request.path == path)
            result.append(request);
    return result;
}

QString StubServer::unexpectedSummary() const
{
    QStringList lines;
    for (const Request &request : m_unexpected)
        lines.append(QString::fromLatin1(request.method) + u' ' + request.path
                     + (request.query.isEmpty() ? QString() : u'?' + request.query));
    return u"unexpected requests to the stub server: "_s + lines.join(u", "_s);
}

bool StubServer::waitForRequests(qsizetype count, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (m_requests.size() < count && !deadline.hasExpired())
        QTest::qWait(5);
    return m_requests.size() >= count;
}

quint16 StubServer::closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void StubServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        m_connections.append(connection);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, weak = std::weak_ptr(connection)] {
            if (auto c = weak.lock())
                readFrom(c);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.removeIf([socket](const auto &c) { return c->socket == socket; });
            socket->deleteLater();
        });
    }
}

void StubServer::readFrom(const std::shared_ptr<Connection> &connection)
{
    if (!connection->socket)
        return;
    connection->buffer += connection->socket->readAll();
    // One request at a time per connection: the next is read once this one is answered.
    while (!connection->waitingForAnswer) {
        const qsizetype headerEnd = connection->buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (connection->buffer.size() > kMaxHeaderBytes)
                connection->socket->abort();
            return;
        }
        const QList<QByteArray> lines = connection->buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() != 3) {
            connection->socket->abort();
            return;
        }
        Request request;
        request.method = requestLine[0];
        const QString target = QString::fromLatin1(requestLine[1]);
        const qsizetype mark = target.indexOf(u'?');
        request.path = mark < 0 ? target : target.left(mark);
        request.query = mark < 0 ? QString() : target.mid(mark + 1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        bool lengthOk = true;
        const QByteArray lengthText = request.header("Content-Length");
        const qsizetype length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&lengthOk);
        if (!lengthOk || length < 0) {
            connection->socket->abort();
            return;
        }
        const qsizetype total = headerEnd + 4 + length;
        if (connection->buffer.size() < total)
            return;
        request.body = connection->buffer.mid(headerEnd + 4, length);
        connection->buffer.remove(0, total);
        connection->waitingForAnswer = true;
        handle(connection, request);
    }
}

const StubServer::Route *StubServer::match(const Request &request) const
{
    const Route *plain = nullptr;
    for (const Route &route : m_routes) {
        if (route.method != request.method || route.path != request.path)
            continue;
        if (route.query && *route.query == request.query)
            return &route;
        if (!route.query)
            plain = &route;
    }
    return plain;
}

void StubServer::handle(const std::shared_ptr<Connection> &connection, const Request &request)
{
    m_requests.append(request);
    const Route *route = match(request);
    Response response;
    if (route) {
        response = route->handler(request);
    } else {
        m_unexpected.append(request);
        response = Response::text(404, "no stub route for " + request.method + ' ' + request.path.toUtf8());
    }

    if (response.behaviour == Behaviour::Stall)
        return;
    if (response.delay.count() > 0) {
        QTimer::singleShot(response.delay, this, [this, weak = std::weak_ptr(connection), response] {
            if (auto c = weak.lock())
                answer(c, response);
        });
    } else {
        answer(connection, response);
    }
}

void StubServer::answer(const std::shared_ptr<Connection> &connection, const Response &response)
{
    QTcpSocket *socket = connection->socket;
    if (!socket)
        return;
    if (response.behaviour == Behaviour::Close) {
        resetConnection(socket);
        return;
    }
    // Kept apart from the head so a large body is never copied whole.
    QByteArray head;
    const QByteArray body = response.raw.value_or(response.body);
    if (!response.raw) {
        head = "HTTP/1.1 " + QByteArray::number(response.status) + " Stub\r\n";
        bool hasLength = false;
        for (const auto &[name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
            hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
        }
        if (!hasLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += "\r\n";
    }
    if (response.dripInterval.count() > 0) {
        writeInPieces(connection, head + body, 1, response.dripInterval, response.closeAfter);
        return;
    }
    constexpr qsizetype piece = 64 * 1024;
    socket->write(head);
    if (body.size() > piece) {
        writeInPieces(connection, body, piece, {}, response.closeAfter);
        return;
    }
    socket->write(body);
    answered(connection, response.closeAfter);
}

void StubServer::answered(const std::shared_ptr<Connection> &connection, bool closeAfter)
{
    if (closeAfter) {
        connection->socket->disconnectFromHost();
        return;
    }
    connection->waitingForAnswer = false;
    // A request that arrived while this one waited is in the buffer already.
    if (!connection->buffer.isEmpty())
        QTimer::singleShot(0, this, [this, weak = std::weak_ptr(connection)] {
            if (auto c = weak.lock())
                readFrom(c);
        });
}

// Without an interval a large body goes out a piece whenever the last is
// written: the loop is shared with the client, whose stalls tests measure.
void StubServer::writeInPieces(const std::shared_ptr<Connection> &connection, const QByteArray &bytes, qsizetype piece,
                               std::chrono::milliseconds interval, bool closeAfter)
{
    auto *pacer = new QTimer(connection->socket);
    const auto next = [this, pacer, bytes, piece, closeAfter, weak = std::weak_ptr(connection),
                       sent = std::make_shared<qsizetype>(0)] {
        const auto c = weak.lock();
        if (!c || !c->socket || *sent >= bytes.size() || c->socket->bytesToWrite() > 0)
            return;
        c->socket->write(bytes.mid(*sent, piece));
        *sent += piece;
        if (*sent < bytes.size())
            return;
        pacer->deleteLater();
        answered(c, closeAfter);
    };
    if (interval.count() > 0) {
        QObject::connect(pacer, &QTimer::timeout, pacer, next);
        pacer->start(interval);
    } else {
        QObject::connect(connection->socket, &QTcpSocket::bytesWritten, pacer, next);
        next();
    }
}
