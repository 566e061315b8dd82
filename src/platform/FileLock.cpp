#include "platform/FileLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

FileLock::FileLock(QString path)
    : m_path(std::move(path))
{
}

FileLock::~FileLock()
{
    unlock();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FileLock::open()
{
    if (m_fd >= 0)
        return true;
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = u"cannot open the lock file "_s + m_path + u": "_s + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

bool FileLock::tryLock()
{
    if (m_locked)
        return true;
    if (!open())
        return false;
    int result = 0;
    do {
        result = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_locked = true;
        m_error.clear();
        return true;
    }
    if (errno == EWOULDBLOCK)
        m_error = u"another program holds "_s + m_path;
    else
        m_error = u"cannot lock "_s + m_path + u": "_s + QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool FileLock::lock(std::chrono::milliseconds wait)
{
    const QDeadlineTimer deadline(wait);
    qint64 pauseMs = 1;
    while (!tryLock()) {
        if (m_fd < 0 || deadline.hasExpired())
            return false;
        // Holders keep the lock for a read and a rename; short pauses first.
        QThread::msleep(qBound(qint64(1), pauseMs, deadline.remainingTime()));
        pauseMs = std::min<qint64>(pauseMs * 2, 4);
    }
    return true;
}

void FileLock::unlock()
{
    if (!m_locked)
        return;
    ::flock(m_fd, LOCK_UN);
    m_locked = false;
}
