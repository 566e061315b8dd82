#pragma once

#include <QByteArray>

#include <functional>

// Test clients that send real HTTP traffic through local proxies. They keep
// the event loop running while they wait, so a stub server living on the
// calling thread can answer.
namespace ProxyClient {

// Runs the event loop until `done` holds or the time is up.
bool spinUntil(const std::function<bool()> &done, int timeoutMs = 8000);

// "GET /hello" to 127.0.0.1:targetPort through a SOCKS5 proxy (no
// authentication, CONNECT); the whole answer, or a short text saying which
// step failed.
QByteArray getThroughSocks(int socksPort, quint16 targetPort);

// The same through an HTTP proxy: an absolute-URI request, or a CONNECT tunnel.
QByteArray getThroughHttpProxy(int httpPort, quint16 targetPort, bool tunnel);

} // namespace ProxyClient
