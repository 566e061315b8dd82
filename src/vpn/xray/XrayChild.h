#pragma once

#include <QList>
#include <QString>

class QObject;
class QProcess;

// The xray child process and the local port it answers on.
namespace XrayChild {

// How long a child may ignore the termination signal before it is killed.
constexpr int killGraceMs = 2000;

// A child of `parent` that will run "EXECUTABLE run -c CONFIG" with its
// output discarded, and that dies with this process. Not started: the
// caller connects its signals first. Call on the main thread (the request
// to die with the parent is tied to the forking thread).
QProcess *create(QObject *parent, const QString &executable, const QString &configPath);

// Asks a running child to end, and kills it after killGraceMs; nothing waits.
void stop(QProcess *process);

// One blocking connect to 127.0.0.1:port (any thread).
bool isPortOpen(int port);

// The readiness test of a started child: whether its SOCKS port answers and,
// when it does but the listener is not the child's, why it is refused (any
// thread, blocking).
struct Readiness
{
    bool open = false;
    QString impostor;
};
Readiness probe(int port, qint64 childPid);

// Whether the child still answers on its port, quietly (any thread, blocking).
bool answersFromChild(int port, qint64 childPid);

// Why a connect cannot start: one of `ports` is held by another program;
// empty when all are free (any thread, blocking).
QString portsTakenReason(const QList<int> &ports);

} // namespace XrayChild
