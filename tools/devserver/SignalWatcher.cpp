#include "devserver/SignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t writeFd = -1;

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (writeFd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(writeFd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m_readFd = fds[0];
    writeFd = fds[1];
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::drain);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : std::as_const(m_signals))
        ::sigaction(number, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    for (const int number : std::as_const(m_signals))
        ::signal(number, SIG_DFL);
    if (m_readFd >= 0) {
        const int fd = writeFd;
        writeFd = -1;
        ::close(fd);
        ::close(m_readFd);
    }
}

void SignalWatcher::drain()
{
    unsigned char byte = 0;
    while (::read(m_readFd, &byte, 1) == 1)
        Q_EMIT received(byte);
}
