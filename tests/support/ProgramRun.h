#pragma once

#include "support/ChildProcess.h"
#include "support/ProxyClient.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <memory>

// A program in the background, its output collected as it comes; it dies with the test.
class ProgramRun
{
public:
    ProgramRun(const QString &program, const QStringList &arguments, const QStringList &environment,
               const QByteArray &input = {})
    {
        ChildProcess::start(m_process, program, arguments, environment, input);
    }
    ~ProgramRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    static std::unique_ptr<ProgramRun> velorin(const QStringList &arguments, const QStringList &environment,
                                        const QByteArray &input = {})
    {
        return std::make_unique<ProgramRun>(ChildProcess::builtProgram(QStringLiteral("velorin")), arguments, environment, input);
    }

    static ChildProcess::Result velorinIn(const QString &configDir, const QStringList &arguments,
                                          const QByteArray &input = {}, const QStringList &environment = {})
    {
        return ChildProcess::run(ChildProcess::builtProgram(QStringLiteral("velorin")),
                                 QStringList{QStringLiteral("--config-dir"), configDir} + arguments, input, environment);
    }

    QString out()
    {
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_out;
    }
    QString err()
    {
        m_err += QString::fromUtf8(m_process.readAllStandardError());
        return m_err;
    }
    QString all() { return out() + err(); }
    bool waitForOut(const QString &text, int timeoutMs = 20000)
    {
        return ProxyClient::spinUntil([&] { return out().contains(text) || !running(); }, timeoutMs)
            && out().contains(text);
    }
    bool waitForExit(int timeoutMs = 20000)
    {
        const bool ended = ProxyClient::spinUntil([&] { return !running(); }, timeoutMs);
        out();
        err();
        return ended;
    }
    // -1 when the program did not end in time or crashed.
    int exitStatus(int timeoutMs = 20000)
    {
        return waitForExit(timeoutMs) && !crashed() ? exitCode() : -1;
    }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    int exitCode() const { return m_process.exitCode(); }
    bool crashed() const { return m_process.exitStatus() == QProcess::CrashExit; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QString m_out;
    QString m_err;
};

