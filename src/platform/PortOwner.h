#pragma once

#include <QList>
#include <QString>

#include <optional>

// Who listens on a local TCP port, from the kernel's socket tables
// (/proc/net/tcp and tcp6: the socket's inode and owner's uid) and the
// processes' open files (/proc/PID/fd: which process holds that inode).
// Another user's processes are not visible to a normal user: then only the
// uid is known.
namespace PortOwner {

struct Listener
{
    quint64 inode = 0;
    uint uid = 0;
};

// The sockets listening on `port` at a loopback or wildcard address, IPv4
// and IPv6.
QList<Listener> listeners(int port);

struct Process
{
    qint64 pid = 0;
    QString name; // its command name, printable
};

// The process that holds the socket, when it can be seen.
std::optional<Process> holderOf(quint64 inode);

// Whether `pid`, or a process it started, holds the socket.
bool isHeldBy(quint64 inode, qint64 pid);

// "python3 (process 4242)", "a program of user bob (uid 1001)", or "another
// program" when even that is unknown: for messages about a taken port.
QString describeHolder(const Listener &listener);

} // namespace PortOwner
