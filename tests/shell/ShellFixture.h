#pragma once

#include "shell/AppDelegate.h"
#include "support/BackendFixture.h"
#include "support/Screenshots.h"
#include "support/TestVpnService.h"

#include <QPainter>
#include <QtTest>

#include <memory>

// The application's services over a stub backend serving a working account,
// with test protocol services and temporary settings, and an AppDelegate.
struct ShellFixture : TestVpnServices, BackendFixture
{
    AccountServices &account = services;
    VPNServiceManager &vpn = services.vpn();
    ServerManager &servers = services.servers;
    std::unique_ptr<AppDelegate> delegate;
    // An X11 tray unless a test says otherwise (nothing: what this platform offers).
    std::optional<ShellSurface> surface = ShellSurface::decide(true, false, QStringLiteral("xcb"));

    ShellFixture()
        : BackendFixture(QStringLiteral("2.5"), provider())
    {
        ikev2.followCalls = true;
        serveAccount();
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

    bool publish(const VPNConnectionState &state)
    {
        static_cast<TestVpnService &>(vpn.activeService()).setState(state);
        return QTest::qWaitFor([&] { return vpn.connectionState() == state; });
    }
};
