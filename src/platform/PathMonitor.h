#pragma once

#include <QObject>

#include <functional>
#include <memory>

// Watches whether the machine has a usable network path.
//
// After start() the monitor reports the current status once and then every
// change, on the thread that created it. cancel() ends the reports for good.
class PathMonitor : public QObject
{
    Q_OBJECT
public:
    enum class Status {
        Satisfied, // a path to the network is usable
        Unsatisfied, // no usable path
        RequiresConnection, // a path would be usable once a connection is made
    };
    Q_ENUM(Status)

    using QObject::QObject;

    virtual void start() = 0;
    virtual void cancel() = 0;

signals:
    void pathUpdated(PathMonitor::Status status);
};

// Creates a fresh monitor; each connection gets its own.
using PathMonitorFactory = std::function<std::unique_ptr<PathMonitor>()>;

// The monitor over Qt's network information. It loads the default backend,
// and the "glib" backend when that fails (the default one needs a running
// NetworkManager). "Online" and "Site" count as satisfied, "Disconnected" and
// "Local" as unsatisfied; an unknown reachability is not reported. Without any
// backend the monitor stays silent (the connection is then never marked lost
// by it). Main thread only.
class QtPathMonitor : public PathMonitor
{
    Q_OBJECT
public:
    using PathMonitor::PathMonitor;

    void start() override;
    void cancel() override;

    static PathMonitorFactory factory();

private:
    QMetaObject::Connection m_connection;
};
