#pragma once

#include <QByteArray>

#include <functional>

// Clients that send real HTTP through local proxies; they keep the event
// loop running, so a stub server on the calling thread can answer.
namespace ProxyClient {

bool spinUntil(const std::function<bool()> &done, int timeoutMs = 8000);

// "GET /hello" to 127.0.0.1:targetPort; the whole answer, or which step failed.
QByteArray getThroughSocks(int socksPort, quint16 targetPort);

// The same, as an absolute-URI request to the HTTP proxy.
QByteArray getThroughHttpProxy(int httpPort, quint16 targetPort);

} // namespace ProxyClient
