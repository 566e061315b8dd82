#include "platform/Log.h"

#include <QMutex>

#include <cstdio>
#include <deque>

namespace Log {
namespace {

constexpr qsizetype kRecentLimit = 2000;

struct State
{
    QMutex mutex;
    Writer writer;
    std::deque<QString> recent;
    QList<Entry> captured;
    int captures = 0;
};

State &state()
{
    static State s;
    return s;
}

void defaultWrite(Destination destination, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    FILE *stream = destination == Destination::StandardOutput ? stdout : stderr;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void write(Destination destination, const QString &line)
{
    State &s = state();
    Writer writer;
    {
        QMutexLocker lock(&s.mutex);
        s.recent.push_back(line);
        if (qsizetype(s.recent.size()) > kRecentLimit)
            s.recent.pop_front();
        if (s.captures > 0)
            s.captured.append({destination, line});
        writer = s.writer;
    }
    if (writer)
        writer(destination, line);
    else
        defaultWrite(destination, line);
}

void out(const QString &line)
{
    write(Destination::StandardOutput, line);
}

void system(const QString &line)
{
    write(Destination::SystemLog, line);
}

void setWriter(Writer writer)
{
    QMutexLocker lock(&state().mutex);
    state().writer = std::move(writer);
}

QStringList recentLines()
{
    QMutexLocker lock(&state().mutex);
    return QStringList(state().recent.begin(), state().recent.end());
}

Capture::Capture()
{
    QMutexLocker lock(&state().mutex);
    if (state().captures++ == 0)
        state().captured.clear();
}

Capture::~Capture()
{
    QMutexLocker lock(&state().mutex);
    if (--state().captures == 0)
        state().captured.clear();
}

QList<Entry> Capture::entries() const
{
    QMutexLocker lock(&state().mutex);
    return state().captured;
}

QStringList Capture::lines() const
{
    QStringList result;
    for (const Entry &e : entries())
        result.append(e.line);
    return result;
}

QStringList Capture::lines(Destination destination) const
{
    QStringList result;
    for (const Entry &e : entries())
        if (e.destination == destination)
            result.append(e.line);
    return result;
}

bool Capture::contains(const QString &line) const
{
    return lines().contains(line);
}

QStringList Capture::matching(const QString &fragment) const
{
    QStringList result;
    for (const Entry &e : entries())
        if (e.line.contains(fragment))
            result.append(e.line);
    return result;
}

void Capture::clear()
{
    QMutexLocker lock(&state().mutex);
    state().captured.clear();
}

} // namespace Log
