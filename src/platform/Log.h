#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Diagnostic lines. Their texts are part of the behaviour, so callers pass the
// exact line; this module only routes it. Two destinations exist: standard
// output and the system log (standard error on Linux, where the service
// manager's journal collects it).
namespace Log {

enum class Destination { StandardOutput, SystemLog };

struct Entry
{
    Destination destination;
    QString line;
};

void out(const QString &line);
void system(const QString &line);
void write(Destination destination, const QString &line);

// Replaces the default writer (for instance a command-line program that only
// shows lines when asked to). An empty function restores the default.
using Writer = std::function<void(Destination, const QString &)>;
void setWriter(Writer writer);

// The most recent lines, oldest first, for a diagnostics export.
QStringList recentLines();

// Records every line written while it exists, from any thread. Tests use it
// to assert exact lines.
class Capture
{
public:
    Capture();
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    QList<Entry> entries() const;
    QStringList lines() const;
    QStringList lines(Destination destination) const;
    bool contains(const QString &line) const;
    // Lines containing the fragment anywhere.
    QStringList matching(const QString &fragment) const;
    void clear();
};

} // namespace Log
