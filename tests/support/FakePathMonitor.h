#pragma once

#include "platform/PathMonitor.h"

#include <QList>
#include <QPointer>

// A network path monitor that reports what the test tells it.
class FakePathMonitor : public PathMonitor
{
    Q_OBJECT
public:
    using PathMonitor::PathMonitor;

    void start() override { started = true; }
    void cancel() override { cancelled = true; }
    // Emits an update as the system's monitor would.
    void report(Status status) { emit pathUpdated(status); }

    bool started = false;
    bool cancelled = false;
};

// Hands out fake monitors and keeps track of them, newest last.
class FakePathMonitors
{
public:
    PathMonitorFactory factory()
    {
        return [this] {
            auto monitor = std::make_unique<FakePathMonitor>();
            created.append(monitor.get());
            return monitor;
        };
    }
    // The newest monitor while it exists, else null.
    FakePathMonitor *latest() const { return created.isEmpty() ? nullptr : created.last().data(); }

    QList<QPointer<FakePathMonitor>> created;
};
