#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Test-side handles of the two stand-in programs built in tests/support/tools.
// Both are configured through environment variables, which a child inherits
// when it starts: apply() sets them in this process (so the service's
// children see them), or a test passes environment() to a program it starts.

// fake-networksetup: its call log and its scripted answers.
class FakeNetworkSetup
{
public:
    FakeNetworkSetup();

    QString toolPath() const;
    QString logPath() const { return m_dir.filePath(QStringLiteral("networksetup.log")); }
    QString scriptPath() const { return m_dir.filePath(QStringLiteral("networksetup.script")); }

    // The answers (see fake-networksetup.cpp for the format).
    void setScript(const QString &script);
    // A script that lists the services and gives each an address.
    void setActiveServices(const QStringList &services);
    // Every call so far, oldest first, as "ARG ARG ...".
    QStringList calls() const;
    void clearCalls();
    void setDelayMs(int ms) { m_delayMs = ms; }

    QStringList environment() const;
    void apply() const;
    static void unapply();

private:
    QTemporaryDir m_dir;
    int m_delayMs = 0;
};

// fake-xray: its launches (process ids, in order) and its modes.
class FakeXray
{
public:
    FakeXray();

    QString executablePath() const;
    QString pidFilePath() const { return m_dir.filePath(QStringLiteral("xray.pids")); }
    // Process ids of every start so far, oldest first.
    QList<qint64> launches() const;
    // Whether a process with that id still runs (a zombie counts as gone).
    static bool isAlive(qint64 pid);
    // Waits (running the event loop) until the process is gone.
    static bool waitUntilGone(qint64 pid, int timeoutMs = 5000);

    // Modes (see fake-xray.cpp); each takes effect at the next start.
    QStringList variables;
    void set(const QString &name, const QString &value) { variables.append(name + u'=' + value); }

    QStringList environment() const;
    void apply() const;
    static void unapply();

private:
    QTemporaryDir m_dir;
};

// The commands the proxy tool receives for setting the proxies of one
// service, and for turning them off, in order.
QStringList proxyOnCalls(const QString &service, int socksPort, int httpPort);
QStringList proxyOffCalls(const QString &service);
