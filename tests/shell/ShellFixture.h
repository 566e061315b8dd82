#pragma once

#include "shell/AppDelegate.h"
#include "support/AccountServices.h"
#include "support/Screenshots.h"
#include "support/StubServer.h"
#include "support/TestVpnService.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"

#include <QPainter>
#include <QtTest>

#include <memory>

// The shell over fresh services: the account services against a stub backend,
// a VPN service manager whose protocol services are test services, a server
// catalogue and an AppDelegate, all over temporary settings.
struct ShellFixture : TestVpnServices
{
    static inline const QByteArray tokens =
        "{\"access_token\":\"AT-1\",\"refresh_token\":\"RT-1\",\"expires_in\":900}";
    static inline const QByteArray user = "{\"id\":\"u-1\",\"email\":\"ada@example.com\",\"email_verified\":true,"
                                          "\"display_name\":null,\"apple_linked\":false,"
                                          "\"created_at\":\"2026-01-31T12:00:00.123Z\"}";

    StubServer server;
    TempDefaults defaults;
    FakeKeychain keychain;
    AccountServices account{defaults, keychain, server.baseUrl(), QStringLiteral("2.5"), provider()};
    VPNServiceManager &vpn = account.vpn();
    ServerManager &servers = account.servers;
    std::unique_ptr<AppDelegate> delegate;
    // The desktop the delegate is launched on: an X11 tray unless a test
    // says otherwise (nothing: what this platform offers).
    std::optional<ShellSurface> surface = ShellSurface::decide(true, false, QStringLiteral("xcb"));

    ShellFixture()
    {
        ikev2.followCalls = true;
        // The whole sign-in and restore conversation of the account services.
        server.on("POST", QStringLiteral("/auth/login"), StubServer::Response::json(200, tokens));
        server.on("POST", QStringLiteral("/auth/refresh"), StubServer::Response::json(200, tokens));
        server.on("GET", QStringLiteral("/auth/me"), StubServer::Response::json(200, user));
        server.on("GET", QStringLiteral("/api/v1/subscriptions/status"),
                  StubServer::Response::json(200, "{\"status\":\"active\",\"plan\":\"monthly\","
                                                  "\"expires_at\":\"2027-03-01T00:00:00Z\",\"is_trial\":false}"));
        server.on("POST", QStringLiteral("/api/v1/devices/register"),
                  StubServer::Response::json(200, "{\"status\":\"ok\",\"message\":\"Device registered\","
                                                  "\"device_id\":\"d\"}"));
        server.on("GET", QStringLiteral("/api/v1/devices"),
                  StubServer::Response::json(200, "{\"devices\":[],\"device_limit\":3,\"active_count\":1,"
                                                  "\"can_add_more\":true}"));
    }

    ~ShellFixture()
    {
        delegate.reset();
        // Windows closed by a test are deleted later; none may outlive it.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // A plain square per symbol, so the tray always has an image.
    static QIcon image(const QString &)
    {
        QPixmap pixmap(18, 18);
        pixmap.fill(Qt::darkGray);
        return QIcon(pixmap);
    }

    AppDelegate &makeDelegate(AppViews views = {})
    {
        if (!views.statusImage)
            views.statusImage = &ShellFixture::image;
        delegate = std::make_unique<AppDelegate>(account.auth, vpn, account.center, defaults.standard(),
                                                 std::move(views));
        if (surface)
            delegate->setSurface(*surface);
        return *delegate;
    }

    // Launches and waits for the session restore to end.
    AppDelegate &launch(AppViews views = {})
    {
        makeDelegate(std::move(views));
        delegate->applicationDidFinishLaunching();
        [[maybe_unused]] const bool restored = QTest::qWaitFor([this] { return !delegate->isRestoringSession(); });
        return *delegate;
    }

    bool signIn()
    {
        QCoro::waitFor(account.auth.login(QStringLiteral("ada@example.com"), QStringLiteral("pw-secret")));
        return account.auth.authState().isAuthenticated();
    }

    // Publishes a state from the IKEv2 service and waits until the manager
    // (and with it the delegate) has it.
    bool publish(const VPNConnectionState &state)
    {
        ikev2.setState(state);
        return QTest::qWaitFor([&] { return vpn.connectionState() == state; });
    }
};
