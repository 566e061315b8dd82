#pragma once

#include "vpn/ControlProtocol.h"

#include <QByteArray>
#include <QObject>

#include <memory>
#include <optional>

class QLocalSocket;

// The running application, seen from the command line: requests go over its
// control socket; its answers and state events come back one line at a time.
class AppClient : public QObject
{
    Q_OBJECT
public:
    // The application of this user and settings folder when it runs;
    // nothing when it does not. `refusal` is set when something answers
    // there that must not be used.
    static std::unique_ptr<AppClient> open(QString *refusal = nullptr);
    ~AppClient() override;

    void send(const ControlProtocol::Request &request);
    // Waits for the next line (blocking, at most timeoutMs); nothing when the
    // application closed the connection, said something unreadable or took
    // too long.
    std::optional<ControlProtocol::Message> next(int timeoutMs = 10000);
    // From now on lines arrive through received() and the end through
    // closed(), from the event loop.
    void follow();

signals:
    void received(const ControlProtocol::Message &message);
    void closed();

private:
    explicit AppClient(std::unique_ptr<QLocalSocket> socket);
    std::optional<QByteArray> takeLine();
    void readLines();

    std::unique_ptr<QLocalSocket> m_socket;
    QByteArray m_buffer;
    bool m_broken = false;
};
