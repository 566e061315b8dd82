#pragma once

#include "shell/AppDelegate.h"

class APIClient;
class AuthService;
class DeviceManager;
class EntitlementManager;
class NotificationCenter;
class ServerManager;
class UserDefaults;
class VPNServiceManager;

// The services the screens show and drive.
struct ScreenServices
{
    AuthService &auth;
    APIClient &api;
    EntitlementManager &entitlements;
    DeviceManager &devices;
    NotificationCenter &notifications;
    UserDefaults &defaults;
    ServerManager &servers;
    VPNServiceManager &vpn;
};

// Every screen the shell shows, over those services: the panel, the main
// window's content (sign-in, connection, account, devices, settings) and the
// settings window's content. The tray image is left to the caller.
AppViews appScreens(const ScreenServices &services);
