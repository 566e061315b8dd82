#pragma once

// A fresh XrayService wired to a stub VPN API, the fake xray executable, the
// recording fake proxy tool, fake path monitors and throw-away settings, with
// free local ports, plus helpers that send real traffic through the child.

#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/FakePathMonitor.h"
#include "support/FakeTools.h"
#include "support/StubServer.h"
#include "support/TempDefaults.h"
#include "vpn/xray/SystemProxy.h"
#include "vpn/xray/XrayService.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <functional>

namespace XrayTest {

using namespace Qt::StringLiterals;

inline const QString kToken = QStringLiteral("vat_test-token");
inline const QString kUuid = QStringLiteral("0b7c3f4e-5a61-4d2b-9c8e-1f2a3b4c5d6e");

inline QJsonObject configBody()
{
    return QJsonObject{
        {u"server_address"_s, u"203.0.113.10"_s}, {u"server_port"_s, 443},
        {u"uuid"_s, kUuid},                       {u"public_key"_s, u"pUbLiCkEy"_s},
        {u"short_id"_s, u"6ba85179e30d4fc2"_s},   {u"server_name"_s, u"www.example.com"_s},
        {u"server_location"_s, u"Singapore, SG"_s}, {u"flow"_s, u"xtls-rprx-vision"_s},
        {u"fingerprint"_s, u"chrome"_s},          {u"display_name"_s, u"Singapore"_s},
    };
}

// Runs the event loop until `done` holds or the time is up.
inline bool spinUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Two distinct ports with nothing listening.
inline QPair<int, int> freePorts()
{
    const int a = StubServer::closedPort();
    int b = StubServer::closedPort();
    while (b == a)
        b = StubServer::closedPort();
    return {a, b};
}

struct Rig
{
    TempDefaults defaults;
    FakeKeychain keychainBackend;
    KeychainManager keychain{defaults.standard(), keychainBackend};
    StubServer server;
    FakeNetworkSetup tool;
    FakeXray xray;
    FakePathMonitors monitors;
    QTemporaryDir work;
    int socksPort = 0;
    int httpPort = 0;
    XrayService::Options options;
    std::unique_ptr<XrayService> service;
    QList<VPNConnectionState> states;

    Rig()
    {
        std::tie(socksPort, httpPort) = freePorts();
        options.endpoints = Endpoints::at(server.baseUrl());
        options.proxyToolPath = tool.toolPath();
        options.bundledXrayPaths = {xray.executablePath()};
        options.developmentXrayPath = work.filePath(u"no-such-xray"_s);
        options.pathMonitorFactory = monitors.factory();
        options.configDirectory = work.filePath(u"private"_s);
        options.socksPort = socksPort;
        options.httpPort = httpPort;
        keychain.save(kToken, KeychainManager::accessTokenKey);
        tool.setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        server.on("GET", u"/api/v1/xray/config"_s, StubServer::Response::json(200, QJsonDocument(configBody()).toJson()));
        server.on("GET", u"/hello"_s, StubServer::Response::text(200, "hello through the proxy"));
    }

    ~Rig()
    {
        service.reset();
        // Workers of the service (restores, port tests) end before the
        // settings and the tool they use go away.
        QThreadPool::globalInstance()->waitForDone();
        FakeXray::unapply();
        FakeNetworkSetup::unapply();
    }

    XrayService &make()
    {
        tool.apply();
        xray.apply();
        service = std::make_unique<XrayService>(keychain, defaults.standard(), options);
        QObject::connect(service.get(), &VPNServiceProtocol::connectionStateChanged, service.get(),
                         [this](const VPNConnectionState &state) { states.append(state); });
        return *service;
    }

    QString configPath() const { return options.configDirectory + u"/kavro_xray_config.json"_s; }

    bool waitForState(const VPNConnectionState &state, int timeoutMs = 5000)
    {
        return spinUntil([&] { return service->connectionState() == state; }, timeoutMs);
    }

    // Connects to sg-node-01 and waits for `connected`.
    bool connectNow()
    {
        service->connect(u"203.0.113.10"_s, u"sg-node-01"_s);
        return waitForState(VPNConnectionState::connected());
    }

    // Ends the current child the hard way, as a crash would.
    qint64 killChild()
    {
        const qint64 pid = service->xrayProcessId();
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
        return pid;
    }
};

// A whole HTTP exchange over `socket` once it is set up: sends `request`,
// reads until the peer closes. The event loop keeps running so the stub
// server (on this thread) can answer.
inline QByteArray exchange(QTcpSocket &socket, const QByteArray &request, int timeoutMs = 5000)
{
    socket.write(request);
    QByteArray answer;
    spinUntil(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    answer += socket.readAll();
    return answer;
}

inline QByteArray readExactly(QTcpSocket &socket, qsizetype count, int timeoutMs = 5000)
{
    spinUntil([&] { return socket.bytesAvailable() >= count; }, timeoutMs);
    return socket.read(count);
}

// GET http://127.0.0.1:targetPort/hello through a SOCKS5 proxy.
inline QByteArray getThroughSocks(int socksPort, quint16 targetPort)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, quint16(socksPort));
    if (!spinUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
        return "no connection";
    socket.write(QByteArray("\x05\x01\x00", 3));
    if (readExactly(socket, 2) != QByteArray("\x05\x00", 2))
        return "greeting refused";
    QByteArray request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
    char port[2];
    qToBigEndian(targetPort, port);
    request.append(port, 2);
    socket.write(request);
    const QByteArray reply = readExactly(socket, 10);
    if (reply.size() != 10 || reply[1] != 0)
        return "connect refused";
    return exchange(socket, "GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// The same through the HTTP proxy, as an absolute-URI request or a CONNECT tunnel.
inline QByteArray getThroughHttpProxy(int httpPort, quint16 targetPort, bool tunnel)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, quint16(httpPort));
    if (!spinUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
        return "no connection";
    const QByteArray target = "127.0.0.1:" + QByteArray::number(targetPort);
    if (!tunnel)
        return exchange(socket, "GET http://" + target + "/hello HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    socket.write("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    QByteArray head;
    spinUntil([&] {
        head += socket.read(1);
        return head.endsWith("\r\n\r\n");
    });
    if (!head.startsWith("HTTP/1.1 200"))
        return "tunnel refused: " + head;
    return exchange(socket, "GET /hello HTTP/1.1\r\nHost: " + target + "\r\nConnection: close\r\n\r\n");
}

} // namespace XrayTest
