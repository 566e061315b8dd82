#pragma once

#include <QStringList>

// velorin-bench signin [--runs N]
//   sign-in latency (login called to authenticated, subscription synced and
//   this computer registered) next to the bare requests it makes
// velorin-bench cycles-signin [--cycles N] [--bare]
//   memory over N sign-in/sign-out cycles (or N rounds of the bare requests)
namespace AccountBench {

int signIn(const QStringList &arguments);
int cycles(const QStringList &arguments);


} // namespace AccountBench
