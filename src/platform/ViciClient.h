#pragma once

#include "platform/Vici.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <utility>
#include <vector>

class QLocalSocket;
class QTimer;

// A connection to the IKE daemon's VICI socket, driven from the event loop
// of its thread (never a blocking wait).
//
// The protocol has no request ids, so one command or event (un)registration
// is outstanding at a time; the rest wait in a queue and are sent in order.
// Events arrive at any time, also in the middle of a command's answer, and
// are emitted as they come, in stream order with the responses.
//
// Every queued request ends in exactly one call of its handler: with the
// daemon's answer, or with an error (the daemon is not reachable, it does
// not know the command or event, it did not answer in time, it sent
// something malformed, the connection closed). A time-out or a malformed
// frame drops the connection, since the stream can no longer be trusted to
// pair answers with requests; every waiting handler then gets the error.
// Handlers run from the event loop, never inside the call that queued them.
// Destroying the client drops waiting handlers without calling them.
class ViciClient : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        // Empty when the daemon answered; otherwise why no answer came.
        QString error;
        // The daemon's response message (commands only).
        Vici::Message message;

        bool ok() const { return error.isEmpty(); }
    };
    using Handler = std::function<void(const Reply &reply)>;

    explicit ViciClient(const QString &socketPath, QObject *parent = nullptr);
    ~ViciClient() override;

    QString socketPath() const { return m_socketPath; }
    // Used from the next connect on.
    void setSocketPath(const QString &socketPath) { m_socketPath = socketPath; }
    // Time allowed for each answer, counted from when the request is sent.
    void setTimeout(int milliseconds) { m_timeoutMs = milliseconds; }
    int timeout() const { return m_timeoutMs; }
    bool isConnected() const;

    // Queues a command (connecting first when needed). `timeoutMs` > 0
    // overrides the default time-out for this command.
    void call(const QByteArray &command, const Vici::Message &arguments, Handler handler, int timeoutMs = 0);
    void registerEvent(const QByteArray &event, Handler handler);
    void unregisterEvent(const QByteArray &event, Handler handler);

    // Closes the connection; waiting handlers get `reason` (later, from the
    // event loop). The next request connects again.
    void close(const QString &reason);

    // Sends the commands on a connection of their own and waits, blocking,
    // until all are answered or `timeoutMs` has passed; true when every one
    // was answered. For the last words at application quit, when there is
    // no event loop to wait in.
    static bool runBlocking(const QString &socketPath,
                            const std::vector<std::pair<QByteArray, Vici::Message>> &commands, int timeoutMs);

signals:
    void eventReceived(const QByteArray &name, const Vici::Message &message);
    // An established connection ended (closed by the daemon, or dropped
    // after an error). Not emitted by close().
    void connectionLost(const QString &reason);

private:
    struct Request
    {
        Vici::PacketType type = Vici::PacketType::CmdRequest;
        QByteArray name;
        QByteArray frame;
        Handler handler;
        int timeoutMs = 0;
    };

    // Encodes one request and queues it; a request that cannot be encoded
    // is answered with the reason instead.
    void send(Vici::PacketType type, const QByteArray &name, const Vici::Message &message, Handler handler,
              int timeoutMs);
    void enqueue(Request request, const QString &encodeError);
    void schedulePump();
    void pump();
    void onConnected();
    void onSocketError();
    void onDisconnected();
    void onReadyRead();
    void onTimeout();
    bool dispatch(Vici::Packet packet);
    // Drops the connection and fails every request with `reason`.
    void drop(const QString &reason, bool announce);
    QString connectError() const;

    QString m_socketPath;
    int m_timeoutMs = 10000;
    QLocalSocket *m_socket = nullptr;
    QTimer *m_timer = nullptr;
    Vici::FrameReader m_reader;
    std::deque<Request> m_queue;
    std::optional<Request> m_inFlight;
    bool m_pumpScheduled = false;
    bool m_everConnected = false;
    // Bumped whenever the connection is dropped; lets the read loop notice
    // that a handler closed the connection under it.
    quint64 m_generation = 0;
};
