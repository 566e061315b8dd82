#include "ui/AppScreens.h"

#include "ui/account/DeviceListView.h"
#include "ui/account/LoginView.h"
#include "ui/account/MacAccountView.h"
#include "ui/window/MainWindowView.h"
#include "ui/panel/MenuBarView.h"
#include "ui/settings/SettingsView.h"

AppViews appScreens(const ScreenServices &services)
{
    // Copied into each factory: the services outlive every screen.
    const ScreenServices s = services;
    AppViews views;
    views.panel = [s](AppDelegate &delegate) -> QWidget * {
        return new MenuBarView(s.auth, delegate, s.servers, s.vpn);
    };
    views.mainWindowContent = [s](AppDelegate &) -> QWidget * {
        MainWindowScreens screens;
        screens.signIn = [s](QWidget *parent) { return new LoginView(s.auth, s.api, parent); };
        screens.account = [s](QWidget *parent) {
            return new MacAccountView(s.auth, s.entitlements, s.notifications, s.vpn, parent);
        };
        screens.devices = [s](QWidget *parent) { return new DeviceListView(s.devices, parent); };
        screens.settings = [s](QWidget *parent) { return new SettingsView(s.defaults, s.vpn, parent); };
        return new MainWindowView(s.auth, s.servers, s.vpn, s.notifications, screens);
    };
    views.settingsContent = [s](AppDelegate &) -> QWidget * { return new SettingsView(s.defaults, s.vpn); };
    return views;
}
