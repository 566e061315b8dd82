#include "shell/StartupProbe.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// When the main thread last entered its wait for events; 0 while it works.
std::atomic<long long> g_waitingSince{0};

void printMark(const char *what, long long ns)
{
    std::printf("velorin-bench %s %lld\n", what, ns);
    std::fflush(stdout);
}

// Reads a small /proc file into `buffer`; false when it cannot.
bool readProcFile(const char *path, char *buffer, std::size_t size)
{
    std::FILE *file = std::fopen(path, "re");
    if (!file)
        return false;
    const std::size_t n = std::fread(buffer, 1, size - 1, file);
    std::fclose(file);
    buffer[n] = '\0';
    return n > 0;
}

// Whether the thread sits in one of the calls an event loop waits in. True
// when the kernel does not tell (the switch count still decides).
bool waitsInPoll(const char *syscallPath)
{
    char text[128];
    if (!readProcFile(syscallPath, text, sizeof text))
        return true;
    if (std::strncmp(text, "running", 7) == 0)
        return false;
    const long number = std::strtol(text, nullptr, 10);
    for (const long waiting : {
#ifdef SYS_poll
             long(SYS_poll),
#endif
#ifdef SYS_epoll_wait
             long(SYS_epoll_wait),
#endif
#ifdef SYS_select
             long(SYS_select),
#endif
             long(SYS_ppoll), long(SYS_epoll_pwait), long(SYS_pselect6)})
        if (number == waiting)
            return true;
    return false;
}

// The thread's voluntary context switches: one per sleep it went into.
long long voluntarySwitches(const char *statusPath)
{
    char text[4096];
    if (!readProcFile(statusPath, text, sizeof text))
        return -1;
    const char *line = std::strstr(text, "\nvoluntary_ctxt_switches:");
    return line ? std::strtoll(line + std::strlen("\nvoluntary_ctxt_switches:"), nullptr, 10) : -1;
}

} // namespace

namespace StartupProbe {

bool enabled()
{
    return qEnvironmentVariableIntValue(environmentVariable) == 1;
}

long long monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void markTrayIconSet()
{
    printMark("tray-icon-set", monotonicNs());
}

void quitWhenIdle()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                     [] { g_waitingSince.store(monotonicNs()); }, Qt::DirectConnection);
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, [] { g_waitingSince.store(0); },
                     Qt::DirectConnection);

    const long mainThread = ::syscall(SYS_gettid);
    std::thread([mainThread] {
        char syscallPath[64];
        char statusPath[64];
        std::snprintf(syscallPath, sizeof syscallPath, "/proc/self/task/%ld/syscall", mainThread);
        std::snprintf(statusPath, sizeof statusPath, "/proc/self/task/%ld/status", mainThread);
        const long long quietNs = quietMs * 1000000LL;
        long long quietFrom = 0;
        long long lastSince = 0;
        long long lastSwitches = -1;
        for (;;) {
            ::usleep(2000);
            const long long since = g_waitingSince.load();
            if (since == 0 || !waitsInPoll(syscallPath)) {
                quietFrom = 0;
                continue;
            }
            const long long switches = voluntarySwitches(statusPath);
            const long long now = monotonicNs();
            // A new wait, or a wake-up inside the same wait, starts over.
            if (quietFrom == 0 || since != lastSince || switches != lastSwitches) {
                quietFrom = now;
                lastSince = since;
                lastSwitches = switches;
                continue;
            }
            if (now - quietFrom >= quietNs)
                break;
        }
        printMark("idle", lastSince);
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    }).detach();
}

} // namespace StartupProbe
