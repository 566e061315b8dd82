#pragma once

#include <QLockFile>
#include <QString>

#include <memory>
#include <optional>

// Who may hold a connection: one process of the user at a time (the
// application, or the command line when the application is not running), so
// two programs never start two xray children on the same ports or drive the
// IKE daemon against each other. A lock file in the user's private runtime
// folder; a process that dies without letting go (SIGKILL) leaves a lock the
// next one takes over.
class ConnectionLock
{
public:
    explicit ConnectionLock(QString path);

    // Takes the lock, or keeps it. An explanation for the user when another
    // process holds it.
    std::optional<QString> acquire();
    void release();
    bool isHeld() const { return m_lock && m_lock->isLocked(); }

    // The process holding the lock at `path`, when one does.
    static std::optional<qint64> holder(const QString &path);

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};
