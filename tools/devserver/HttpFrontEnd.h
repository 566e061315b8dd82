#pragma once

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QUrlQuery>

#include <functional>
#include <memory>

class QHttpServerResponder;
class QTcpSocket;

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

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
// Exchange handed to one handler. Bodies above `maxBodyBytes` are refused
// with 413 from their headers alone, before they are read into memory.
class HttpFrontEnd : public QAbstractHttpServer
{
    Q_OBJECT
public:
    using Handler = std::function<void(const ExchangePtr &)>;

    HttpFrontEnd(qint64 maxBodyBytes, Handler handler, QObject *parent = nullptr);

    // Returns the bound port, or 0 with a reason in `error`.
    quint16 listenOn(const QHostAddress &address, quint16 port, QString *error);

    // Writes the log line of one request.
    static void logRequest(const QString &method, const QString &path, int status, qint64 elapsedMs);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    qint64 m_maxBodyBytes;
    Handler m_handler;
};
