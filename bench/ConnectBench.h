#pragma once

#include <QStringList>

// velorin-bench connect-xray [--runs N]
//   Xray Reality (fake xray, fake proxy tool) from connect to connected,
//   next to the one-second readiness wait that bounds it
// velorin-bench proxy-set [--runs N]
//   the system proxy set and restored in GNOME's settings (keyfile store) and
//   in KDE's kioslaverc, each in a throw-away folder, next to the proxy
//   tool's calls for one service (the fake tool)
// velorin-bench connect-ikev2 [--runs N] [--keychain secret-service]
//   IKEv2 through the lab (run inside scripts/ikev2-lab.sh run) from connect
//   to connected, next to a bare `swanctl --initiate` of the same connection
// velorin-bench cycles-connect --protocol xray|ikev2-lab|ikev2-fake [--cycles N]
//   memory over N connect/disconnect cycles
// velorin-bench cycles-keychain [--cycles N] [--reads-only]
//   memory over N rounds of what an IKEv2 connect asks of the Secret Service
//   (remove, add, read back the password), on its own
namespace ConnectBench {

int xray(const QStringList &arguments);
int ikev2(const QStringList &arguments);
int proxy(const QStringList &arguments);
int cycles(const QStringList &arguments);
int keychainCycles(const QStringList &arguments);

} // namespace ConnectBench
