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

// A per-test HTTP/1.1 server on 127.0.0.1 with a route table.
//
//   StubServer server;                      // listens at once on a free port
//   server.on("POST", "/auth/login", StubServer::Response::json(200, R"({"ok":true})"));
//   client.setBaseUrl(server.baseUrl());    // "http://127.0.0.1:<port>"
//   ... run the code under test ...
//   QCOMPARE(server.requests("POST", "/auth/login").size(), 1);
//   QCOMPARE(server.requests().first().header("Authorization"), "Bearer t");
//
// Routes match the method exactly and the path exactly. A route written as
// "/path?query" matches only that exact query text; a route without "?"
// matches the path with any query. A query route wins over a plain one.
//
// Every request is recorded in arrival order (method, path, query, headers,
// body). A request no route matches is answered 404 and recorded as
// unexpected; the server then fails the running QtTest function when it is
// destroyed (or call checkNoUnexpected() for a server that outlives a test
// function). expectUnexpected() turns that off for a test about unknown paths.
//
// Answers are built byte by byte on a plain TCP socket, so a test controls
// everything: any status, any headers, any body bytes (empty, not UTF-8, not
// JSON), a delay, an answer that never comes (stall), a connection reset
// instead of an answer (close), or raw bytes written exactly as given (a lying
// Content-Length, a broken status line). Connections are kept alive between
// requests as HTTP/1.1 clients expect. Request bodies are read by
// Content-Length; chunked request bodies are not supported.
//
// Lives on the thread that creates it and answers from its event loop, so the
// test must keep the loop running (QTRY_*, QSignalSpy::wait, QCoro::waitFor).
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
        // Extra headers. Content-Length is added from the body unless given here.
        QList<QPair<QByteArray, QByteArray>> headers{};
        QByteArray body{};
        std::chrono::milliseconds delay{0};
        Behaviour behaviour = Behaviour::Respond;
        // When set, these bytes are written instead of a built answer.
        std::optional<QByteArray> raw{};
        // When set, the answer is written one byte per interval (a slow drip).
        std::chrono::milliseconds dripInterval{0};
        // Closes the connection in order once the answer is written (with a
        // lying Content-Length: a truncated body).
        bool closeAfter = false;

        static Response json(int status, const QByteArray &body)
        {
            return {status, {{"Content-Type", "application/json"}}, body};
        }
        // The body may be any bytes.
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

        // The first header of that name (any case); empty when absent.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        // The body as a JSON object; empty when it is not one.
        QJsonObject json() const;
    };

    using Handler = std::function<Response(const Request &)>;

    // Listens on `address` (loopback unless a test needs another).
    explicit StubServer(QObject *parent = nullptr, const QHostAddress &address = QHostAddress::LocalHost);
    ~StubServer() override;

    quint16 port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    // Adds or replaces a route with a fixed answer, or with a handler that
    // builds the answer for each request (a sequence, an echo).
    void on(const QByteArray &method, const QString &pathAndQuery, const Response &response);
    void on(const QByteArray &method, const QString &pathAndQuery, Handler handler);

    // Every request, oldest first, expected or not.
    QList<Request> requests() const { return m_requests; }
    // The requests for one method and path (any query).
    QList<Request> requests(const QByteArray &method, const QString &path) const;
    // One line per unexpected request, for failure messages.
    QString unexpectedSummary() const;

    // Fails the running test function when unexpected requests arrived, and
    // forgets them. Returns whether none arrived.
    bool checkNoUnexpected();
    // Unexpected requests are still answered 404 and recorded, but do not fail the test.
    void expectUnexpected() { m_unexpectedAllowed = true; }

    // Runs the event loop until `count` requests in all have arrived.
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
    // The answer is written whole: close in order, or wait for the next request.
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
