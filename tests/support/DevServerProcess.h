#pragma once

#include <QJsonObject>
#include <QNetworkReply>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <csignal>
#include <memory>

// The real `velorin-devserver` on a free port of 127.0.0.1 over a data
// directory the test owns. Its output is read whenever the test runs the
// event loop, so its pipe never fills.
class ProgramRun;

class DevServerProcess
{
public:
    explicit DevServerProcess(QString dataDir, QStringList extraArguments = {});
    ~DevServerProcess();
    DevServerProcess(const DevServerProcess &) = delete;
    DevServerProcess &operator=(const DevServerProcess &) = delete;

    // A low PBKDF2 count.
    static QStringList fastArguments();

    // Reads the port from the first line the server prints.
    bool start(int timeoutMs = 20000);
    // True when the server exited with status 0.
    bool stop(int signalNumber = SIGTERM, int timeoutMs = 20000);
    bool isRunning() const;

    quint16 port() const { return m_port; }
    qint64 pid() const;
    // https with --tls-cert.
    QUrl url(const QString &pathAndQuery = {}) const;
    QString dataDir() const { return m_dataDir; }
    QString errorString() const { return m_error; }

    QString output();
    QString errorOutput();

    // The newest code in the outbox; purpose "verify" or "reset".
    QString lastCode(const QString &email, const QString &purpose = QStringLiteral("verify")) const;

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
    // Waited for; JSON body, bearer token when given.
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
