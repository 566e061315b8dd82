#include "vpn/ConnectionLock.h"

#include "platform/Log.h"
#include "vpn/xray/XrayConfig.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

ConnectionLock::ConnectionLock(QString path)
    : m_path(std::move(path))
{
}

std::optional<QString> ConnectionLock::acquire()
{
    if (isHeld())
        return std::nullopt;
    if (const auto problem = XrayConfigFile::ensurePrivateDirectory(QFileInfo(m_path).absolutePath()))
        return u"Cannot reserve the connection: "_s + *problem;
    m_lock = std::make_unique<QLockFile>(m_path);
    // Never stale by age: only a holder that no longer runs gives it up.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return std::nullopt;
    if (m_lock->error() != QLockFile::LockFailedError) {
        // Not held by anyone: the folder cannot take the file (full, read
        // only). The connect goes on and meets the same folder when it writes
        // its configuration, which names the real problem.
        Log::system(u"⚠️ ConnectionLock: Cannot create "_s + m_path);
        m_lock.reset();
        return std::nullopt;
    }
    qint64 pid = 0;
    QString hostname, application;
    const bool known = m_lock->getLockInfo(&pid, &hostname, &application);
    m_lock.reset();
    if (!known)
        return u"Another Velorin VPN program is connected; disconnect it first"_s;
    const QString who = application == u"velorin"_s ? u"velorin connect"_s : u"Velorin VPN"_s;
    return u"Another Velorin VPN program is connected (%1, process %2); disconnect it first"_s.arg(who).arg(pid);
}

void ConnectionLock::release()
{
    m_lock.reset();
}

std::optional<qint64> ConnectionLock::holder(const QString &path)
{
    QLockFile lock(path);
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return std::nullopt;
    qint64 pid = 0;
    QString hostname, application;
    if (!lock.getLockInfo(&pid, &hostname, &application) || pid <= 0)
        return std::nullopt;
    return pid;
}
