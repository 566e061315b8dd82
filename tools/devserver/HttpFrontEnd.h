#pragma once

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QSslConfiguration>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <optional>

class QHttpServerResponder;
class QTcpSocket;

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// What one client may cost the server.
struct HttpLimits
{
    qint64 maxBodyBytes = 64 * 1024;
    // After connecting, and after each answer, the next request must have
    // arrived in full within this time.
    int clientTimeoutMs = 20000;
    int maxConnectionsPerClient = 32;
};

// One request and its answer. The request's parts are copied out of the
// server's objects, so an exchange may be answered later (after work on
// another thread). If the client has gone by then, the answer is dropped.
class Exchange
{
public:
    ~Exchange();
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    QString method() const { return m_method; }
    QString path() const { return m_path; }
    const QUrlQuery &query() const { return m_query; }
    const QByteArray &body() const { return m_body; }
    // A request header by its name in lower case; empty when absent.
    QByteArray header(const QByteArray &lowerCaseName) const;
    // The address the request came from, as text.
    QString client() const { return m_client; }

    // Sends a JSON answer and writes the request's log line. Only the first
    // call has an effect.
    void reply(int status, const QJsonObject &body, const HeaderList &headers = {});
    bool replied() const { return m_replied; }

private:
    friend class HttpFrontEnd;
    Exchange() = default;

    QString m_method;
    QString m_path;
    QString m_logPath;
    QString m_client;
    QUrlQuery m_query;
    QByteArray m_body;
    HeaderList m_headers;
    std::unique_ptr<QHttpServerResponder> m_responder;
    QPointer<QTcpSocket> m_socket;
    QElapsedTimer m_timer;
    bool m_replied = false;
};

using ExchangePtr = std::shared_ptr<Exchange>;

// The HTTP side of the development backend: every request becomes an
// Exchange handed to one handler. Each connection is held to `limits`:
// bodies above the limit are refused with 413 from their headers alone,
// before they are read into memory; a client that is too slow to send its
// request is cut off; a client address with too many connections open gets
// 503 for the next one.
class HttpFrontEnd : public QAbstractHttpServer
{
    Q_OBJECT
public:
    using Handler = std::function<void(const ExchangePtr &)>;

    HttpFrontEnd(HttpLimits limits, Handler handler, QObject *parent = nullptr);

    // Returns the bound port, or 0 with a reason in `error`. With `tls` set,
    // every connection must complete a TLS handshake first.
    quint16 listenOn(const QHostAddress &address, quint16 port, const std::optional<QSslConfiguration> &tls,
                     QString *error);

    // Writes the log line of one request.
    static void logRequest(const QString &method, const QString &path, int status, qint64 elapsedMs);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    HttpLimits m_limits;
    Handler m_handler;
};
