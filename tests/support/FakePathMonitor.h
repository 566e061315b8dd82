#pragma once

#include "platform/PathMonitor.h"

#include <QList>
#include <QPointer>

class FakePathMonitor : public PathMonitor
{
    Q_OBJECT
public:
    using PathMonitor::PathMonitor;

    void start() override { started = true; }
    void cancel() override { cancelled = true; }
    void report(Status status) { emit pathUpdated(status); }

    bool started = false;
    bool cancelled = false;
};

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
    FakePathMonitor *latest() const { return created.isEmpty() ? nullptr : created.last().data(); }

    QList<QPointer<FakePathMonitor>> created;
};
