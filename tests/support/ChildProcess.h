#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace ChildProcess {

// Makes a child started by a test die with the test process, so a crashed
// test never leaves an orphan holding a port.
void dieWithParent(QProcess &process);

// build/tests/support, where the fake tools are built.
QString supportDir();
QString builtProgram(const QString &name);

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QString out;
    QString err;
};

// The child dies with the test; `extraEnvironment` holds "NAME=VALUE"
// entries; standard input gets `input` and is closed.
bool start(QProcess &process, const QString &program, const QStringList &arguments,
           const QStringList &extraEnvironment = {}, const QByteArray &input = {}, int timeoutMs = 30000);

Result run(const QString &program, const QStringList &arguments, const QByteArray &input = {},
           const QStringList &extraEnvironment = {}, int timeoutMs = 30000);

} // namespace ChildProcess
