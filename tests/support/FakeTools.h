#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Handles of the stand-in programs in tests/support/tools, configured by
// environment: apply() sets it in this process for the service's children,
// or a test passes environment() to a program it starts.

class FakeNetworkSetup
{
public:
    QString toolPath() const;
    QString logPath() const { return m_dir.filePath(QStringLiteral("networksetup.log")); }
    QString scriptPath() const { return m_dir.filePath(QStringLiteral("networksetup.script")); }

    // Format: see fake-networksetup.cpp.
    void setScript(const QString &script);
    // A script that lists the services and gives each an address.
    void setActiveServices(const QStringList &services);
    // As "ARG ARG ...".
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

class FakeXray
{
public:
    QString executablePath() const;
    QString pidFilePath() const { return m_dir.filePath(QStringLiteral("xray.pids")); }
    QList<qint64> launches() const;
    // A zombie counts as gone.
    static bool isAlive(qint64 pid);
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

QStringList proxyOnCalls(const QString &service, int socksPort, int httpPort);
QStringList proxyOffCalls(const QString &service);
