#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;

// A per-test HTTP/1.1 server on 127.0.0.1 with a route table; it records
// every request in arrival order. Routes match method and path exactly; a
// route with "?query" matches only that query and wins over one without.
// A request no route matches is answered 404 and fails the running test
// function when the server is destroyed (unless expectUnexpected()).
//
// Answers are written byte by byte on a plain TCP socket, so a test controls
// status, headers and body bytes, a delay, a stall, a reset, a drip, or raw
// bytes (a lying Content-Length). Connections are kept alive; request bodies
// are read by Content-Length only. It answers from the event loop of the
// creating thread, so the test must keep that loop running.
class StubServer : public QObject
{
    Q_OBJECT
public:
    enum class Behaviour {
        Respond, // send the answer (after `delay`)
        Stall, // read the request and never answer; the connection stays open
        Close, // read the request and reset the connection (after `delay`)
    };

    struct Response
    {
        int status = 200;
        // Content-Length is added from the body unless given here.
        QList<QPair<QByteArray, QByteArray>> headers{};
        QByteArray body{};
        std::chrono::milliseconds delay{0};
        Behaviour behaviour = Behaviour::Respond;
        // Written instead of a built answer.
        std::optional<QByteArray> raw{};
        // One byte per interval.
        std::chrono::milliseconds dripInterval{0};
        // Closes in order once written (with a lying Content-Length: a truncated body).
        bool closeAfter = false;

        static Response json(int status, const QByteArray &body)
        {
            return {status, {{"Content-Type", "application/json"}}, body};
        }
        static Response text(int status, const QByteArray &body)
        {
            return {status, {{"Content-Type", "text/plain; charset=utf-8"}}, body};
        }
        static Response empty(int status) { return {status}; }
        static Response stall() { return {.behaviour = Behaviour::Stall}; }
        static Response close() { return {.behaviour = Behaviour::Close}; }
        static Response rawBytes(const QByteArray &bytes) { return {.raw = bytes}; }

        Response &after(std::chrono::milliseconds wait)
        {
            delay = wait;
            return *this;
        }
        Response &dripped(std::chrono::milliseconds interval)
        {
            dripInterval = interval;
            return *this;
        }
        Response &thenClose()
        {
            closeAfter = true;
            return *this;
        }
    };

    struct Request
    {
        QByteArray method;
        QString path; // as sent, without the query; not percent-decoded
        QString query; // text after '?', empty when none
        QList<QPair<QByteArray, QByteArray>> headers; // as sent, in order
        QByteArray body;

        // The first header of that name (any case).
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        QJsonObject json() const;
    };

    using Handler = std::function<Response(const Request &)>;

    explicit StubServer(QObject *parent = nullptr, const QHostAddress &address = QHostAddress::LocalHost);
    ~StubServer() override;

    quint16 port() const { return m_server.serverPort(); }
    QString baseUrl() const;

    // Adds or replaces a route: a fixed answer, or a handler per request.
    void on(const QByteArray &method, const QString &pathAndQuery, const Response &response);
    void on(const QByteArray &method, const QString &pathAndQuery, Handler handler);

    QList<Request> requests() const { return m_requests; }
    // For one method and path, any query.
    QList<Request> requests(const QByteArray &method, const QString &path) const;
    QString unexpectedSummary() const;

    void expectUnexpected() { m_unexpectedAllowed = true; }

    // Until `count` requests in all have arrived.
    bool waitForRequests(qsizetype count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // A local port with nothing listening (bound once, then released).
    static quint16 closedPort();

private:
    struct Connection;
    struct Route
    {
        QByteArray method;
        QString path;
        std::optional<QString> query;
        Handler handler;
    };

    void accept();
    void readFrom(const std::shared_ptr<Connection> &connection);
    void handle(const std::shared_ptr<Connection> &connection, const Request &request);
    void answer(const std::shared_ptr<Connection> &connection, const Response &response);
    void answered(const std::shared_ptr<Connection> &connection, bool closeAfter);
    void writeInPieces(const std::shared_ptr<Connection> &connection, const QByteArray &bytes, qsizetype piece,
                       std::chrono::milliseconds interval, bool closeAfter);
    const Route *match(const Request &request) const;

    QTcpServer m_server;
    QList<Route> m_routes;
    QList<Request> m_requests;
    QList<Request> m_unexpected;
    QList<std::shared_ptr<Connection>> m_connections;
    bool m_unexpectedAllowed = false;
};
