#include "devserver/HttpFrontEnd.h"

#include "devserver/ServerLog.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const qsizetype kMaxHeadBytes = 16 * 1024;
// A refused body up to this size is read and dropped so that the client
// sees the refusal instead of a reset connection; a larger one is cut off.
const qint64 kMaxDrainBytes = 16 * 1024 * 1024;
const int kDrainTimeoutMs = 10000;
const QByteArray kBusyRetryAfter = "1";

QByteArray errorJson(const QString &message)
{
    return QJsonDocument(QJsonObject{{u"error"_s, message}}).toJson(QJsonDocument::Compact);
}

// A request target as it may appear in a log line: printable ASCII only,
// without the query, and not longer than 200 characters.
QString logPath(const QByteArray &target)
{
    QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    QString printable;
    for (const char c : path.left(200))
        printable += (c > 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : u'?';
    return printable.isEmpty() ? u"-"_s : printable;
}

QString methodName(QHttpServerRequest::Method method)
{
    const char *key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(static_cast<int>(method));
    return key ? QString::fromLatin1(key).toUpper() : u"UNKNOWN"_s;
}

QByteArray responseHead(int status, qint64 bodyLength, const QByteArray &extraHeaders = {})
{
    static const QHash<int, QByteArray> reasons{{400, "Bad Request"},
                                                {405, "Method Not Allowed"},
                                                {408, "Request Timeout"},
                                                {411, "Length Required"},
                                                {413, "Payload Too Large"},
                                                {431, "Request Header Fields Too Large"},
                                                {503, "Service Unavailable"}};
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status)
           + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(bodyLength) + "\r\n"
           + extraHeaders + "Connection: close\r\n\r\n";
}

// Watches the bytes of one connection ahead of the HTTP parser and refuses a
// request from its headers when its body would be too large, when the
// headers themselves are too large, when the body has no declared length, or
// when the request is malformed or asks for a protocol upgrade (which the
// parser would otherwise answer by dropping the connection).
// It sees each byte once: it runs first on every readyRead and only peeks.
// It also keeps the connection's clock: from the connection's start, and
// again from each answer, the next request has `clientTimeoutMs` to arrive
// in full (trickling bytes does not buy more time); an idle connection is
// then closed and a half-sent request gets 408.
class RequestGuard : public QObject
{
public:
    RequestGuard(QTcpSocket *socket, const HttpLimits &limits)
        : QObject(socket)
        , m_socket(socket)
        , m_maxBodyBytes(limits.maxBodyBytes)
    {
        m_deadline.setSingleShot(true);
        m_deadline.setInterval(limits.clientTimeoutMs);
        connect(&m_deadline, &QTimer::timeout, this, [this] { timedOut(); });
        connect(socket, &QIODevice::bytesWritten, this, [this] {
            if (!m_refused && m_socket->bytesToWrite() == 0 && !m_deadline.isActive())
                m_deadline.start();
        });
        m_deadline.start();
    }

    void inspect()
    {
        if (m_refused) {
            discard();
            return;
        }
        const QByteArray fresh = m_socket->peek(m_socket->bytesAvailable());
        qsizetype at = 0;
        while (at < fresh.size()) {
            if (m_bodyLeft > 0) {
                const qint64 take = std::min<qint64>(m_bodyLeft, fresh.size() - at);
                m_bodyLeft -= take;
                at += take;
                if (m_bodyLeft == 0)
                    m_deadline.stop(); // a whole request: the server's turn
                continue;
            }
            const qsizetype searchFrom = std::max<qsizetype>(0, m_head.size() - 3);
            m_head.append(fresh.constData() + at, fresh.size() - at);
            const qsizetype headLength = endOfHead(searchFrom);
            if (headLength < 0) {
                if (m_head.size() > kMaxHeadBytes)
                    refuse(431, u"Request headers are too large"_s, 0);
                return;
            }
            const qsizetype leftover = m_head.size() - headLength;
            const QByteArray head = m_head.left(headLength);
            m_head.clear();
            at = fresh.size() - leftover;
            if (!checkHead(head, leftover))
                return;
        }
    }

private:
    // Length of the request head in m_head (through the empty line that ends
    // it, CRLF or, as the parser also accepts, bare LF), or -1.
    qsizetype endOfHead(qsizetype from) const
    {
        const qsizetype crlf = m_head.indexOf("\n\r\n", from);
        const qsizetype lf = m_head.indexOf("\n\n", from);
        if (crlf >= 0 && (lf < 0 || crlf < lf))
            return crlf + 3;
        return lf >= 0 ? lf + 2 : -1;
    }

    // Reads the request line and the headers; returns false when it refused.
    bool checkHead(const QByteArray &head, qint64 bodyBytesSeen)
    {
        const QList<QByteArray> lines = head.trimmed().split('\n');
        static const QRegularExpression requestLinePattern(u"^[A-Z]{1,16} [!-~]+ HTTP/1\\.[01]$"_s);
        const QByteArray requestLine = lines.value(0).trimmed();
        const qsizetype space = requestLine.indexOf(' ');
        m_method = QString::fromLatin1(requestLine.left(std::min<qsizetype>(16, space < 0 ? requestLine.size() : space)));
        m_path = logPath(requestLine.split(' ').value(1));
        if (!requestLinePattern.match(QString::fromLatin1(requestLine)).hasMatch()) {
            refuse(400, u"Malformed request"_s, 0);
            return false;
        }
        if (m_method == u"CONNECT"_s) {
            refuse(405, u"Method not allowed"_s, 0);
            return false;
        }
        qint64 length = 0;
        bool haveLength = false;
        bool expectsContinue = false;
        bool connectionUpgrade = false;
        bool upgrade = false;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            if (name == "transfer-encoding" && value.toLower() != "identity") {
                refuse(411, u"Send the request body with a Content-Length header"_s, 0);
                return false;
            }
            if (name == "expect" && value.toLower().contains("100-continue"))
                expectsContinue = true;
            if (name == "connection" && value.toLower().contains("upgrade"))
                connectionUpgrade = true;
            if (name == "upgrade")
                upgrade = true;
            if (name == "content-length") {
                bool ok = !value.isEmpty() && value.size() <= 15
                          && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
                const qint64 parsed = ok ? value.toLongLong(&ok) : 0;
                if (!ok || (haveLength && parsed != length)) {
                    refuse(400, u"Malformed Content-Length header"_s, 0);
                    return false;
                }
                length = parsed;
                haveLength = true;
            }
        }
        if (upgrade && connectionUpgrade) {
            refuse(400, u"Protocol upgrades are not supported; use plain HTTP/1.1"_s, 0);
            return false;
        }
        if (length > m_maxBodyBytes) {
            const qint64 toDrain = (expectsContinue || length > kMaxDrainBytes) ? 0 : length - bodyBytesSeen;
            refuse(413, u"Request body is too large (the limit is %1 bytes)"_s.arg(m_maxBodyBytes), toDrain);
            return false;
        }
        m_bodyLeft = length;
        if (length == 0)
            m_deadline.stop();
        return true;
    }

    void timedOut()
    {
        if (m_refused)
            return;
        if (!m_head.isEmpty() || m_bodyLeft > 0)
            refuse(408, u"The request took too long to arrive"_s, 0);
        else
            m_socket->disconnectFromHost();
    }

    // Answers `status` and closes the connection, after reading and dropping
    // `toDrain` more bytes of the refused body.
    void refuse(int status, const QString &message, qint64 toDrain)
    {
        m_refused = true;
        // The HTTP parser must not see this request: stop its reading and
        // take over the connection until it closes.
        QObject::disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
        connect(m_socket, &QTcpSocket::readyRead, this, [this] { discard(); });
        if (m_socket->isTransactionStarted())
            m_socket->commitTransaction();

        m_deadline.stop();
        const QByteArray body = errorJson(message);
        m_socket->write(responseHead(status, body.size()) + body);
        HttpFrontEnd::logRequest(m_method.isEmpty() ? u"-"_s : m_method, m_path.isEmpty() ? u"-"_s : m_path, status, 0);
        QTimer::singleShot(kDrainTimeoutMs, this, [this] { m_socket->abort(); });
        m_socket->skip(m_socket->bytesAvailable()); // the bytes inspected so far
        m_drainLeft = toDrain;
        discard();
    }

    void discard()
    {
        m_drainLeft -= m_socket->skip(m_socket->bytesAvailable());
        if (m_drainLeft <= 0 && m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->disconnectFromHost();
    }

    QTcpSocket *m_socket;
    qint64 m_maxBodyBytes;
    QTimer m_deadline;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    bool m_refused = false;
    qint64 m_drainLeft = 0;
    QString m_method;
    QString m_path;
};

// Accepts connections for the HTTP server: caps the connections of each
// client address, puts a RequestGuard on every connection before the HTTP
// server connects its own reader (so the guard's slot runs first) and, with
// a TLS configuration, hands a connection over only once its handshake is
// done. The guard's clock covers the handshake too.
class GuardedTcpServer : public QTcpServer
{
public:
    GuardedTcpServer(const HttpLimits &limits, std::optional<QSslConfiguration> tls, QObject *parent)
        : QTcpServer(parent)
        , m_limits(limits)
        , m_tls(std::move(tls))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // A connection that ends before the HTTP server has it is ours to
        // delete; deleting twice later is harmless.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        // Room for one whole request: a client that sends more than the
        // server takes in waits in the network instead of in memory.
        socket->setReadBufferSize(m_limits.maxBodyBytes + 2 * kMaxHeadBytes);
        const QHostAddress peer = socket->peerAddress();
        int &open = m_openPerClient[peer];
        if (open >= m_limits.maxConnectionsPerClient) {
            refuseBusy(socket);
            return;
        }
        ++open;
        connect(socket, &QObject::destroyed, this, [this, peer] {
            if (--m_openPerClient[peer] <= 0)
                m_openPerClient.remove(peer);
        });
        auto *guard = new RequestGuard(socket, m_limits);
        connect(socket, &QTcpSocket::readyRead, guard, [guard] { guard->inspect(); });
        if (!m_tls) {
            addPendingConnection(socket);
            return;
        }
        auto *secure = static_cast<QSslSocket *>(socket);
        secure->setSslConfiguration(*m_tls);
        connect(secure, &QSslSocket::encrypted, this, [this, secure] { addPendingConnection(secure); });
        connect(secure, &QAbstractSocket::errorOccurred, secure, [secure] {
            if (!secure->isEncrypted())
                secure->abort();
        });
        secure->startServerEncryption();
    }

private:
    void refuseBusy(QTcpSocket *socket)
    {
        HttpFrontEnd::logRequest(u"-"_s, u"-"_s, 503, 0);
        if (!m_tls) {
            // Read and drop what the client sends, so that closing does not
            // reset the connection before it has read the answer.
            connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
            const QByteArray body = errorJson(u"Too many connections from your address. Close some and try again."_s);
            socket->write(responseHead(503, body.size(), "Retry-After: " + kBusyRetryAfter + "\r\n") + body);
            socket->disconnectFromHost();
            QTimer::singleShot(kDrainTimeoutMs, socket, [socket] { socket->abort(); });
        } else {
            socket->abort();
        }
    }

    HttpLimits m_limits;
    std::optional<QSslConfiguration> m_tls;
    QHash<QHostAddress, int> m_openPerClient;
};

} // namespace

// --- Exchange ----------------------------------------------------------------

Exchange::~Exchange()
{
    if (!m_replied)
        reply(500, QJsonObject{{u"error"_s, u"Something went wrong on the server. Please try again."_s}});
}

QByteArray Exchange::header(const QByteArray &lowerCaseName) const
{
    for (const auto &[name, value] : m_headers)
        if (name == lowerCaseName)
            return value;
    return {};
}

void Exchange::reply(int status, const QJsonObject &body, const HeaderList &headers)
{
    if (m_replied)
        return;
    m_replied = true;
    HttpFrontEnd::logRequest(m_method, m_logPath, status, m_timer.elapsed());
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || !m_responder)
        return; // the client has gone
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    m_responder->writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
    m_responder->writeHeader("Content-Type", "application/json");
    m_responder->writeHeader("Content-Length", QByteArray::number(json.size()));
    for (const auto &[name, value] : headers)
        m_responder->writeHeader(name, value);
    m_responder->writeBody(m_method == u"HEAD"_s ? QByteArray() : json); // HEAD: the headers alone
    if (header("connection").toLower().contains("close"))
        m_socket->disconnectFromHost();
}

// --- HttpFrontEnd ------------------------------------------------------------

HttpFrontEnd::HttpFrontEnd(HttpLimits limits, Handler handler, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_limits(limits)
    , m_handler(std::move(handler))
{
}

quint16 HttpFrontEnd::listenOn(const QHostAddress &address, quint16 port, const std::optional<QSslConfiguration> &tls,
                               QString *error)
{
    auto *server = new GuardedTcpServer(m_limits, tls, this);
    if (!server->listen(address, port)) {
        *error = server->errorString();
        delete server;
        return 0;
    }
    bind(server);
    return server->serverPort();
}

void HttpFrontEnd::logRequest(const QString &method, const QString &path, int status, qint64 elapsedMs)
{
    ServerLog::out(ServerLog::timestamp() + u' ' + method + u' ' + path + u' ' + QString::number(status) + u' '
                   + QString::number(elapsedMs) + u"ms"_s);
}

bool HttpFrontEnd::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    ExchangePtr exchange(new Exchange);
    exchange->m_timer.start();
    const QUrl url = request.url();
    exchange->m_method = methodName(request.method());
    exchange->m_path = url.path();
    exchange->m_logPath = logPath(url.path(QUrl::FullyEncoded).toLatin1());
    exchange->m_client = socket->peerAddress().toString();
    exchange->m_query = QUrlQuery(url);
    exchange->m_body = request.body();
    for (const auto &[name, value] : request.headers())
        exchange->m_headers.append({name.toLower(), value});
    exchange->m_socket = socket;
    exchange->m_responder = std::make_unique<QHttpServerResponder>(makeResponder(request, socket));

    if (exchange->m_body.size() > m_limits.maxBodyBytes) {
        exchange->reply(413, QJsonObject{{u"error"_s, u"Request body is too large (the limit is %1 bytes)"_s.arg(
                                                          m_limits.maxBodyBytes)}});
        return true;
    }
    try {
        m_handler(exchange);
    } catch (...) {
        exchange->reply(500, QJsonObject{{u"error"_s, u"Something went wrong on the server. Please try again."_s}});
    }
    return true;
}

void HttpFrontEnd::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // handleRequest() answers every request; this is only the base class's
    // required fallback.
    makeResponder(request, socket).write(errorJson(u"Not found"_s), "application/json",
                                         QHttpServerResponder::StatusCode::NotFound);
}
