#include "platform/SignalNotifier.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Both ends are non-blocking: a full pipe drops the byte instead of blocking
// the handler (the reader is behind anyway and will run).
int g_pipe[2] = {-1, -1};

extern "C" void writeSignalToPipe(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalNotifier &SignalNotifier::instance()
{
    static SignalNotifier *notifier = new SignalNotifier;
    return *notifier;
}

SignalNotifier::SignalNotifier()
    : QObject(QCoreApplication::instance())
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, &SignalNotifier::readPending);
}

bool SignalNotifier::watch(int signal)
{
    if (m_watched.contains(signal))
        return true;
    if (!m_notifier)
        return false;
    struct sigaction action = {};
    action.sa_handler = writeSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(signal, &action, nullptr) != 0)
        return false;
    m_watched.insert(signal);
    return true;
}

void SignalNotifier::readPending()
{
    unsigned char buffer[64];
    for (;;) {
        const ssize_t count = ::read(g_pipe[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            emit received(int(buffer[i]));
    }
}
