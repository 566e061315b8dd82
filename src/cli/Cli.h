#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

// The `velorin` command-line program: one table of sub-commands over the same
// services the application uses.
namespace Cli {

// Exit codes.
constexpr int kSuccess = 0;
constexpr int kFailure = 1; // the operation was refused or failed
constexpr int kUsage = 2; // bad command line

struct Context
{
    QTextStream &out;
    QTextStream &err;
    bool verbose = false;
};

struct Command
{
    QString name;
    QString arguments; // e.g. "ID"
    QString summary;
    std::function<QCoro::Task<int>(Context &, QStringList)> run;
};

// Every sub-command, in the order `--help` lists them.
QList<Command> &commands();
void registerCommand(Command command);

// Parses the command line, runs the command and returns the exit code.
QCoro::Task<int> run(QStringList arguments, QTextStream &out, QTextStream &err);

// "velorin: <message>" on standard error.
int fail(Context &context, const QString &message, int code = kFailure);

} // namespace Cli
