#pragma once

// Helpers of the hardening tests: the proxies the fake tool's calls leave
// on, a watch over every process's argument list, a search for secrets.

#include "support/ProgramRun.h"
#include "support/ProxyClient.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace Hardening {

using namespace Qt::StringLiterals;

// For each service, which of its proxies ("socks", "web", "secure web") the
// tool's calls left on; the `failing` calls were refused and change nothing.
inline QMap<QString, QStringList> proxiesLeftOn(const QStringList &calls, const QStringList &failing = {})
{
    static const QMap<QString, QString> kinds{{u"-setsocksfirewallproxystate"_s, u"socks"_s},
                                              {u"-setwebproxystate"_s, u"web"_s},
                                              {u"-setsecurewebproxystate"_s, u"secure web"_s}};
    QMap<QString, QStringList> on;
    for (const QString &call : calls) {
        const QStringList parts = call.split(u' ');
        if (failing.contains(call) || parts.size() != 3 || !kinds.contains(parts[0]))
            continue;
        QStringList &service = on[parts[1]];
        service.removeAll(kinds.value(parts[0]));
        if (parts[2] == u"on")
            service.append(kinds.value(parts[0]));
        service.sort();
        if (service.isEmpty())
            on.remove(parts[1]);
    }
    return on;
}

inline QString describe(const QMap<QString, QStringList> &proxies)
{
    QStringList parts;
    for (auto it = proxies.cbegin(); it != proxies.cend(); ++it)
        parts.append(it.key() + u": "_s + it.value().join(u", "_s));
    return parts.isEmpty() ? u"none"_s : parts.join(u"; "_s);
}

// Every process's argument list (joined by blanks), by process id.
inline QMap<qint64, QString> commandLines()
{
    QMap<qint64, QString> lines;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile file(u"/proc/"_s + entry + u"/cmdline"_s);
        if (!isPid || !file.open(QIODevice::ReadOnly))
            continue;
        QByteArray bytes = file.readAll();
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        if (!bytes.isEmpty())
            lines.insert(pid, QString::fromUtf8(bytes.replace('\0', ' ')));
    }
    return lines;
}

// Every distinct argument list on the machine, looked at every few
// milliseconds by a thread of its own.
class CmdlineWatch
{
public:
    explicit CmdlineWatch(int periodMs = 3)
        : m_thread([this, periodMs] {
            while (!m_stop.load()) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            }
        })
    {
    }
    ~CmdlineWatch() { stop(); }

    void stop()
    {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
    }

    QStringList seen() const
    {
        QMutexLocker lock(&m_mutex);
        return QStringList(m_seen.cbegin(), m_seen.cend());
    }
    int samples() const { return m_samples.load(); }

private:
    void sample()
    {
        const QList<QString> lines = commandLines().values();
        QMutexLocker lock(&m_mutex);
        m_seen.unite(QSet<QString>(lines.cbegin(), lines.cend()));
        ++m_samples;
    }

    mutable QMutex m_mutex;
    QSet<QString> m_seen;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_samples{0};
    std::thread m_thread;
};

// The process whose argument list (each argument followed by a blank)
// satisfies `match`; 0 when none.
inline qint64 processWhose(const std::function<bool(const QString &)> &match)
{
    const QMap<qint64, QString> lines = commandLines();
    for (auto it = lines.cbegin(); it != lines.cend(); ++it)
        if (match(it.value() + u' '))
            return it.key();
    return 0;
}

// A call a killed parent left under way ends on its own; only then is its
// effect known.
inline bool waitUntilNoProcess(const QString &program, int timeoutMs = 15000)
{
    const QString prefix = program + u' ';
    return ProxyClient::spinUntil([&] { return !processWhose([&](const QString &line) { return line.startsWith(prefix); }); },
                                  timeoutMs);
}

struct Secret
{
    QString label;
    QString value;
};

// The labels of the secrets a text shows, as they are or in Base64 (as the
// user-defaults file keeps tokens); "label (in part)" when only a run of 12
// bytes shows, as in a logged body cut short in the middle of a secret.
inline QStringList secretsIn(const QByteArray &text, const QList<Secret> &secrets)
{
    constexpr qsizetype run = 12;
    QStringList shown;
    for (const Secret &secret : secrets) {
        const QByteArray raw = secret.value.toUtf8();
        const QByteArray forms[] = {raw, raw.toBase64(),
                                    raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)};
        if (std::any_of(std::begin(forms), std::end(forms),
                        [&text](const QByteArray &form) { return !form.isEmpty() && text.contains(form); })) {
            shown.append(secret.label);
            continue;
        }
        for (qsizetype i = 0; raw.size() >= run + 4 && i + run <= raw.size(); ++i)
            if (text.contains(raw.mid(i, run))) {
                shown.append(secret.label + u" (in part)"_s);
                break;
            }
    }
    return shown;
}

inline mode_t modeOf(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

// Every regular file under the folders (symbolic links not followed).
inline QStringList filesUnder(const QStringList &folders)
{
    QStringList files;
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
    }
    return files;
}

} // namespace Hardening
