#pragma once

#include <QString>

#include <chrono>

// An advisory lock (flock) on a lock file, shared by every process of the
// user that opens the same path. The lock file is created 0600 when missing
// and never removed (removing it would let two holders lock two files).
// Released by unlock() or when the object ends; a process that dies releases
// it too. One object is used by one thread at a time.
class FileLock
{
public:
    explicit FileLock(QString path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Takes the lock without waiting; false when another holder has it or the
    // lock file cannot be opened (errorString() says which).
    bool tryLock();
    // Takes the lock, waiting at most `wait` for another holder to let go.
    // Blocks the calling thread meanwhile: for holders that keep the lock for
    // moments only.
    bool lock(std::chrono::milliseconds wait);
    void unlock();
    bool isLocked() const { return m_locked; }
    // Whether the lock file could be opened (tryLock() opens it).
    bool isOpen() const { return m_fd >= 0; }
    QString errorString() const { return m_error; }

private:
    bool open();

    const QString m_path;
    int m_fd = -1;
    bool m_locked = false;
    QString m_error;
};
