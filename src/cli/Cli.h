#pragma once

#include <QCoro/QCoroTask>
#include <QIODevice>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <functional>

class AppServices;

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
    // The services of this run, built once the global options are read.
    AppServices *services = nullptr;
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

// Builds the services of the run; called once, after --config-dir has
// chosen where the settings live and before a command runs.
using ServicesBuilder = std::function<AppServices &()>;

// Parses the command line, runs the command and returns the exit code.
QCoro::Task<int> run(QStringList arguments, QTextStream &out, QTextStream &err, ServicesBuilder services);

// "velorin: <message>" on standard error.
int fail(Context &context, const QString &message, int code = kFailure);

// Standard output or standard error as the program's streams write to it:
// every character that could steer a terminal (escape sequences, other
// control characters, bidirectional overrides) is written escaped, newlines
// and tabs as they are. Names, addresses and messages come from a server;
// this is the one place where all of them pass.
class TerminalOutput : public QIODevice
{
public:
    explicit TerminalOutput(FILE *stream);

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    FILE *m_stream;
    // Stateful: a character split between two writes is decoded whole.
    QStringDecoder m_decoder{QStringDecoder::Utf8};
};

} // namespace Cli
