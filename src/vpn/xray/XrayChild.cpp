#include "vpn/xray/XrayChild.h"

#include "platform/Log.h"
#include "platform/PortOwner.h"

#include <QProcess>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace XrayChild {

namespace {

bool heldBy(const QList<PortOwner::Listener> &listeners, qint64 childPid)
{
    bool ours = false;
    for (const PortOwner::Listener &listener : listeners)
        ours = ours || PortOwner::isHeldBy(listener.inode, childPid);
    return ours;
}

} // namespace

QProcess *create(QObject *parent, const QString &executable, const QString &configPath)
{
    auto *process = new QProcess(parent);
    process->setProgram(executable);
    process->setArguments({u"run"_s, u"-c"_s, configPath});
    // Nobody reads the child's output; a pipe would fill up and stall it.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    // The child must not outlive this process (a crash would leave it holding
    // the ports). A parent that died before the request took effect is
    // caught by comparing the parent's id.
    const pid_t parentPid = ::getpid();
    process->setChildProcessModifier([parentPid] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parentPid)
            ::_exit(127);
    });
    return process;
}

void stop(QProcess *process)
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    QTimer::singleShot(killGraceMs, process, [process] {
        if (process->state() != QProcess::NotRunning)
            process->kill();
    });
}

bool isPortOpen(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return open;
}

Readiness probe(int port, qint64 childPid)
{
    Readiness result;
    result.open = isPortOpen(port);
    Log::system(result.open ? u"✅ Xray: Process running, SOCKS port open"_s
                            : u"❌ Xray: Process running but SOCKS port not open"_s);
    if (!result.open)
        return result;
    // The answer must come from our child: another local program (or user)
    // on the port would otherwise receive the user's traffic.
    const QList<PortOwner::Listener> listeners = PortOwner::listeners(port);
    if (!heldBy(listeners, childPid)) {
        result.impostor = u"Port "_s + QString::number(port) + u" answers, but not from xray: it belongs to "_s
            + (listeners.isEmpty() ? u"another program"_s : PortOwner::describeHolder(listeners.first()))
            + u". Quit that program, then connect again."_s;
        Log::system(u"❌ Xray: "_s + result.impostor);
    }
    return result;
}

bool answersFromChild(int port, qint64 childPid)
{
    return isPortOpen(port) && heldBy(PortOwner::listeners(port), childPid);
}

QString portsTakenReason(const QList<int> &ports)
{
    for (const int port : ports) {
        const QList<PortOwner::Listener> listeners = PortOwner::listeners(port);
        if (!listeners.isEmpty())
            return u"Port "_s + QString::number(port) + u" on 127.0.0.1, which xray needs, is already in use by "_s
                + PortOwner::describeHolder(listeners.first()) + u". Quit that program, then connect again."_s;
    }
    return {};
}

} // namespace XrayChild
