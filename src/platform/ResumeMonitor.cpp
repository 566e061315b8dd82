#include "platform/ResumeMonitor.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

#include <cerrno>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QString logindService = u"org.freedesktop.login1"_s;
} // namespace

std::unique_ptr<ResumeMonitor> ResumeMonitor::create()
{
    if (auto logind = LogindResumeMonitor::create())
        return logind;
    if (auto clock = ClockJumpMonitor::create())
        return clock;
    Log::system(u"⚠️ ResumeMonitor: Neither logind nor a clock-change timer is available; waking from sleep goes unnoticed"_s);
    return std::make_unique<ResumeMonitor>();
}

// ---------------------------------------------------------------------------

std::unique_ptr<LogindResumeMonitor> LogindResumeMonitor::create()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(logindService).value())
        return nullptr;
    auto monitor = std::make_unique<LogindResumeMonitor>();
    if (!bus.connect(logindService, u"/org/freedesktop/login1"_s, u"org.freedesktop.login1.Manager"_s,
                     u"PrepareForSleep"_s, monitor.get(), SLOT(prepareForSleep(bool))))
        return nullptr;
    return monitor;
}

void LogindResumeMonitor::prepareForSleep(bool sleeping)
{
    if (!sleeping)
        emit resumed();
}

// ---------------------------------------------------------------------------

std::unique_ptr<ClockJumpMonitor> ClockJumpMonitor::create()
{
    const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<ClockJumpMonitor> monitor(new ClockJumpMonitor(fd));
    if (!monitor->arm())
        return nullptr;
    return monitor;
}

ClockJumpMonitor::ClockJumpMonitor(int fd)
    : m_fd(fd)
    , m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this))
{
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, &ClockJumpMonitor::readable);
}

ClockJumpMonitor::~ClockJumpMonitor()
{
    delete m_notifier;
    ::close(m_fd);
}

bool ClockJumpMonitor::arm()
{
    // An absolute expiry far away: it never fires by itself, only its
    // cancellation when the wall clock jumps wakes the reader.
    struct itimerspec spec = {};
    spec.it_value.tv_sec = std::time(nullptr) + 10L * 365 * 24 * 3600;
    return ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

void ClockJumpMonitor::readable()
{
    quint64 expirations = 0;
    const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
    if (n < 0 && errno == EAGAIN)
        return;
    // ECANCELED: the clock jumped. A timer that must be armed again either way.
    if (!arm()) {
        m_notifier->setEnabled(false);
        return;
    }
    emit resumed();
}
