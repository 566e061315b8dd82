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

bool isUnsafeCharacter(char32_t c)
{
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
        return true;
    switch (c) {
    case 0x061C: // arabic letter mark
    case 0x200E: // left-to-right mark
    case 0x200F: // right-to-left mark
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
        return true;
    default:
        break;
    }
    // Embeddings, pop and overrides; isolates.
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

QString escapeControls(QStringView text, bool keepNewlines)
{
    const auto needsEscape = [keepNewlines](char32_t c) {
        return isUnsafeCharacter(c) && c != u'\t' && !(keepNewlines && c == u'\n');
    };
    // Every unsafe character is in the Basic Multilingual Plane, so code
    // units can be checked one by one; surrogates are never unsafe.
    qsizetype first = 0;
    while (first < text.size() && !needsEscape(text[first].unicode()))
        ++first;
    if (first == text.size())
        return text.toString();
    QString result = text.left(first).toString();
    result.reserve(text.size() + 16);
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!needsEscape(c)) {
            result.append(QChar(c));
        } else if (c == u'\n') {
            result.append(QLatin1StringView("\\n"));
        } else if (c <= 0xFF) {
            result.append(QLatin1StringView("\\x") + QString::number(c, 16).toUpper().rightJustified(2, u'0'));
        } else {
            result.append(QLatin1StringView("\\u") + QString::number(c, 16).toUpper().rightJustified(4, u'0'));
        }
    }
    return result;
}

void write(Destination destination, const QString &rawLine)
{
    const QString line = escapeControls(rawLine);
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
