#pragma once

// Helpers of the hardening tests: a `velorin` run in the background, the
// system proxies as the fake tool's call log leaves them, a watch over every
// process's argument list, and a search of folders for secrets.

#include "support/ChildProcess.h"
#include "support/ProgramRun.h"
#include "support/ProxyClient.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace Hardening {

using namespace Qt::StringLiterals;

using Run = ProgramRun;

// The system proxies as the fake proxy tool's calls leave them: for each
// service, which of its three proxies ("socks", "web", "secure web") are on.
// Calls listed in `failing` were refused by the tool and change nothing.
inline QMap<QString, QStringList> proxiesLeftOn(const QStringList &calls, const QStringList &failing = {})
{
    static const QMap<QString, QString> kinds{{u"-setsocksfirewallproxystate"_s, u"socks"_s},
                                              {u"-setwebproxystate"_s, u"web"_s},
                                              {u"-setsecurewebproxystate"_s, u"secure web"_s}};
    QMap<QString, QSet<QString>> on;
    for (const QString &call : calls) {
        if (failing.contains(call))
            continue;
        const QStringList parts = call.split(u' ');
        if (parts.size() != 3 || !kinds.contains(parts[0]))
            continue;
        if (parts[2] == u"on")
            on[parts[1]].insert(kinds.value(parts[0]));
        else
            on[parts[1]].remove(kinds.value(parts[0]));
    }
    QMap<QString, QStringList> left;
    for (auto it = on.cbegin(); it != on.cend(); ++it) {
        if (it.value().isEmpty())
            continue;
        QStringList kindsOn(it.value().cbegin(), it.value().cend());
        kindsOn.sort();
        left.insert(it.key(), kindsOn);
    }
    return left;
}

inline QString describe(const QMap<QString, QStringList> &proxies)
{
    QStringList parts;
    for (auto it = proxies.cbegin(); it != proxies.cend(); ++it)
        parts.append(it.key() + u": "_s + it.value().join(u", "_s));
    return parts.isEmpty() ? u"none"_s : parts.join(u"; "_s);
}

// Every distinct argument list of every process on the machine, read from
// /proc/*/cmdline (which any user can read) by a thread that looks every few
// milliseconds while it runs.
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

    // Each seen argument list, its arguments joined by blanks.
    QStringList seen() const
    {
        QMutexLocker lock(&m_mutex);
        return QStringList(m_seen.cbegin(), m_seen.cend());
    }
    int samples() const { return m_samples.load(); }

private:
    void sample()
    {
        QDir proc(u"/proc"_s);
        const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QSet<QString> found;
        for (const QString &entry : entries) {
            bool isPid = false;
            entry.toInt(&isPid);
            if (!isPid)
                continue;
            QFile file(u"/proc/"_s + entry + u"/cmdline"_s);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            QByteArray bytes = file.readAll();
            if (bytes.isEmpty())
                continue;
            if (bytes.endsWith('\0'))
                bytes.chop(1);
            bytes.replace('\0', ' ');
            found.insert(QString::fromUtf8(bytes));
        }
        QMutexLocker lock(&m_mutex);
        m_seen.unite(found);
        ++m_samples;
    }

    mutable QMutex m_mutex;
    QSet<QString> m_seen;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_samples{0};
    std::thread m_thread;
};

// The process whose argument list (its arguments joined by blanks)
// satisfies `match`, from /proc/*/cmdline; 0 when none.
inline qint64 processWhose(const std::function<bool(const QString &)> &match)
{
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile file(u"/proc/"_s + entry + u"/cmdline"_s);
        if (isPid && file.open(QIODevice::ReadOnly) && match(QString::fromUtf8(file.readAll().replace('\0', ' '))))
            return pid;
    }
    return 0;
}

// Waits until no process runs `program` (a call a killed parent left under
// way ends on its own, and only then is its effect known).
inline bool waitUntilNoProcess(const QString &program, int timeoutMs = 15000)
{
    const QString prefix = program + u' ';
    return ProxyClient::spinUntil([&] { return !processWhose([&](const QString &line) { return line.startsWith(prefix); }); },
                                  timeoutMs);
}

// A named secret and the forms it may take in a file: as it is, and in
// Base64 (the user-defaults file keeps tokens that way).
struct Secret
{
    QString label;
    QString value;

    QList<QByteArray> forms() const
    {
        const QByteArray raw = value.toUtf8();
        return {raw, raw.toBase64(), raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)};
    }

    // Every run of `length` bytes of a long secret: a text cut short in the
    // middle of a secret (a logged body cut at its first characters) still
    // shows part of it.
    QList<QByteArray> parts(int length = 12) const
    {
        const QByteArray raw = value.toUtf8();
        QList<QByteArray> runs;
        if (raw.size() < length + 4)
            return runs;
        for (qsizetype i = 0; i + length <= raw.size(); ++i)
            runs.append(raw.mid(i, length));
        return runs;
    }
};

// The secrets a text shows, as "label" lines (or "label (in part)" when only
// a run of it shows); empty when none.
inline QStringList secretsIn(const QByteArray &text, const QList<Secret> &secrets)
{
    QStringList shown;
    for (const Secret &secret : secrets) {
        bool whole = false;
        for (const QByteArray &form : secret.forms())
            if (!form.isEmpty() && text.contains(form)) {
                whole = true;
                break;
            }
        if (whole) {
            shown.append(secret.label);
            continue;
        }
        const QList<QByteArray> parts = secret.parts();
        if (std::any_of(parts.cbegin(), parts.cend(), [&text](const QByteArray &part) { return text.contains(part); }))
            shown.append(secret.label + u" (in part)"_s);
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

// Every regular file under the folders, recursively (symbolic links not followed).
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
