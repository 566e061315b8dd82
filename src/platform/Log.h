#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Diagnostic lines. Their texts are part of the behaviour, so callers pass the
// exact line; this module only routes it. Two destinations exist: standard
// output and the system log (standard error on Linux, where the service
// manager's journal collects it).
//
// A line often carries a value a server chose (an error text, a name). Every
// line is written with its unsafe characters escaped (see escapeControls), so
// such a value can neither send escape sequences to a terminal nor start a
// forged line of its own.
namespace Log {

// Characters that must not reach a terminal, a log or a screen as they are:
// the C0 controls (tab and newline included), DEL, the C1 controls, the
// bidirectional marks, embeddings, overrides and isolates (which reorder what
// a reader sees), and the line and paragraph separators.
bool isUnsafeCharacter(char32_t c);

// `text` with each unsafe character written as \xHH (up to U+00FF) or
// \uHHHH. Tab is kept; newline is kept when `keepNewlines` (a terminal's
// multi-line output), escaped otherwise (one log line stays one line).
// Text without unsafe characters comes back unchanged.
QString escapeControls(QStringView text, bool keepNewlines = false);

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
