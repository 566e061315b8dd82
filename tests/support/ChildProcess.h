#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace ChildProcess {

// Makes a child started by a test die with the test process, so a crashed
// test never leaves an orphan holding a port.
void dieWithParent(QProcess &process);

// Folder of the build's test tools and programs (the test binary's folder
// layout is build/tests/<layer>/, tools sit in build/tests/support/).
QString supportDir();
// Path of a program built by the project, e.g. "velorin" or "velorin-devserver".
QString builtProgram(const QString &name);

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QString out;
    QString err;
};

// Starts a program that dies with the test, in this process's environment
// plus `extraEnvironment` ("NAME=VALUE" entries), writes `input` to it and
// closes its standard input. False when it did not start.
bool start(QProcess &process, const QString &program, const QStringList &arguments,
           const QStringList &extraEnvironment = {}, const QByteArray &input = {}, int timeoutMs = 30000);

// Runs a program to its end (test helper; never used on a product thread).
Result run(const QString &program, const QStringList &arguments, const QByteArray &input = {},
           const QStringList &extraEnvironment = {}, int timeoutMs = 30000);

} // namespace ChildProcess
