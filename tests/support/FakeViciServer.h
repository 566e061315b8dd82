#pragma once

#include "platform/Vici.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTemporaryDir>

#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QTimer;

// The IKE daemon's VICI socket (the daemon runs only in the root-only lab):
// records every packet, answers commands per handler and sends events only
// to connections registered for them, as the daemon does. It can also hold
// answers, send raw bytes and drip answers byte by byte.
class FakeViciServer : public QObject
{
    Q_OBJECT
public:
    struct Answer
    {
        enum class Kind { Respond, Unknown, Hold };
        Kind kind = Kind::Respond;
        Vici::Message message;
        // Events sent on the same connection right before the answer.
        QList<std::pair<QByteArray, Vici::Message>> eventsBefore;

        static Answer success();
        static Answer failure(const QString &errmsg);
        static Answer hold() { return Answer{Kind::Hold, {}, {}}; }
        static Answer unknown() { return Answer{Kind::Unknown, {}, {}}; }
    };
    using CommandHandler = std::function<Answer(const Vici::Message &request)>;

    explicit FakeViciServer(QObject *parent = nullptr);
    ~FakeViciServer() override;

    bool listen();
    QString socketPath() const;

    // Commands without a handler answer "success = yes".
    void setHandler(const QByteArray &command, CommandHandler handler);
    // Answers are written one byte per event-loop turn.
    void setByteByByte(bool on) { m_byteByByte = on; }

    QList<QByteArray> commands() const;
    std::optional<Vici::Message> lastRequest(const QByteArray &command) const;
    int connectionCount() const { return int(m_connections.size()); }
    int openConnectionCount() const;
    void clearReceived() { m_received.clear(); }

    void sendEvent(const QByteArray &name, const Vici::Message &message);
    // Connection -1: the newest.
    void respond(const Vici::Message &message, int connection = -1);
    void sendRaw(const QByteArray &bytes, int connection = -1);
    void closeConnections();

    static QByteArray frame(Vici::PacketType type, const QByteArray &name = {}, const Vici::Message &message = {});

private:
    struct Connection
    {
        QLocalSocket *socket = nullptr;
        Vici::FrameReader reader;
        QSet<QByteArray> events;
        QByteArray drip;  // bytes still to write one at a time
    };

    void onNewConnection();
    void onReadyRead(int index);
    void handle(int index, const Vici::Packet &packet);
    void write(int index, const QByteArray &bytes);
    void dripOneByte();
    int resolve(int connection) const;

    QTemporaryDir m_dir;
    QLocalServer *m_server = nullptr;
    QList<Connection *> m_connections;
    QHash<QByteArray, CommandHandler> m_handlers;
    // Events a client may register for; others get EVENT_UNKNOWN.
    const QList<QByteArray> m_knownEvents{"ike-updown", "child-updown", "ike-rekey", "child-rekey",
                                          "ike-update", "list-sa", "control-log", "log"};
    QList<Vici::Packet> m_received;
    bool m_byteByByte = false;
    QTimer *m_dripTimer = nullptr;
};
