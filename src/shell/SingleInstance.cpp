#include "shell/SingleInstance.h"

#include "vpn/xray/XrayConfig.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>

using namespace Qt::StringLiterals;

SingleInstance::SingleInstance(ControlProtocol::Places places)
    : m_places(std::move(places))
    , m_lock(m_places.instanceLock)
{
    // Never stale by age: only a holder that no longer runs gives it up.
    m_lock.setStaleLockTime(0);
}

SingleInstance::Claim SingleInstance::claim(const QString &window, int waitMs)
{
    if (const auto problem = XrayConfigFile::ensurePrivateDirectory(m_places.directory)) {
        m_message = *problem;
        return Claim::Unavailable;
    }
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        if (m_lock.tryLock(0))
            return Claim::Owner;
        if (m_lock.error() != QLockFile::LockFailedError) {
            m_message = u"cannot create the lock file %1"_s.arg(m_places.instanceLock);
            return Claim::Unavailable;
        }
        if (handOver(window))
            return Claim::HandedOver;
        if (deadline.hasExpired())
            break;
        // The holder may still be starting (not listening yet).
        QThread::msleep(50);
    }
    qint64 pid = 0;
    QString host, application;
    m_lock.getLockInfo(&pid, &host, &application);
    m_message = u"Velorin VPN is already running (process %1) but does not answer on %2"_s.arg(pid).arg(m_places.socket);
    return Claim::Unavailable;
}

bool SingleInstance::handOver(const QString &window)
{
    const std::unique_ptr<QLocalSocket> socket = ControlProtocol::connectToApp(m_places.socket, 500);
    if (!socket)
        return false;
    ControlProtocol::Request request;
    request.command = ControlProtocol::Request::Command::Activate;
    request.window = window;
    socket->write(request.encode());
    if (!socket->waitForBytesWritten(1000))
        return false;
    QByteArray answer;
    const QDeadlineTimer deadline(2000);
    while (!answer.contains('\n') && !deadline.hasExpired() && answer.size() <= ControlProtocol::maxLineBytes) {
        const bool more = socket->waitForReadyRead(int(deadline.remainingTime()));
        answer += socket->read(ControlProtocol::maxLineBytes + 1);
        if (!more)
            break;
    }
    const auto message = ControlProtocol::parseMessage(answer.left(answer.indexOf('\n')));
    return message && message->ok;
}
