#pragma once

#include <QJsonObject>
#include <QNetworkReply>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <csignal>
#include <memory>

// Runs the real `velorin-devserver` for a test: on a free port of 127.0.0.1,
// over a data directory the test owns. Its output is read whenever the test
// runs the event loop, so its pipe never fills.
class ProgramRun;

class DevServerProcess
{
public:
    explicit DevServerProcess(QString dataDir, QStringList extraArguments = {});
    ~DevServerProcess();
    DevServerProcess(const DevServerProcess &) = delete;
    DevServerProcess &operator=(const DevServerProcess &) = delete;

    // Arguments that keep a test fast: a low PBKDF2 count.
    static QStringList fastArguments();

    // Starts the server and reads its port from the first line it prints.
    // On failure returns false; errorString() says why.
    bool start(int timeoutMs = 20000);
    // Sends the signal and waits; true when the server exited with status 0.
    bool stop(int signalNumber = SIGTERM, int timeoutMs = 20000);
    bool isRunning() const;

    quint16 port() const { return m_port; }
    qint64 pid() const;
    // http://127.0.0.1:PORT (https with --tls-cert) followed by `pathAndQuery`.
    QUrl url(const QString &pathAndQuery = {}) const;
    QString dataDir() const { return m_dataDir; }
    QString errorString() const { return m_error; }

    // Everything the server printed so far on standard output / error.
    QString output();
    QString errorOutput();

    // The newest code in the outbox for that address and purpose ("verify"
    // or "reset"); empty when there is none.
    QString lastCode(const QString &email, const QString &purpose = QStringLiteral("verify")) const;

    // An answer of the server: its status, body (and the body as a JSON
    // object) and headers.
    struct Reply
    {
        int status = 0;
        QByteArray body;
        QJsonObject json;
        QList<QNetworkReply::RawHeaderPair> headers;

        QString error() const { return json.value(QStringLiteral("error")).toString(); }
        QString text(const QString &key) const { return json.value(key).toString(); }
        QByteArray header(const QByteArray &name) const;
    };
    // One request (JSON body, bearer token when given), waited for.
    Reply send(const QByteArray &method, const QString &pathAndQuery, const QByteArray &body = {},
               const QString &token = {});

private:
    QString m_dataDir;
    QStringList m_arguments;
    std::unique_ptr<ProgramRun> m_process;
    quint16 m_port = 0;
    QString m_scheme;
    QString m_error;
    std::unique_ptr<QNetworkAccessManager> m_network;
};
