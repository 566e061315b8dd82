#pragma once

#include "backend/APIClient.h"
#include "backend/AuthService.h"
#include "backend/DeviceManager.h"
#include "backend/EntitlementManager.h"
#include "storage/DeviceIdentifier.h"
#include "storage/KeychainManager.h"
#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"
#include "vpn/xray/XrayService.h"

#include <memory>

class IKEv2Manager;
class IKEv2Service;
class Keychain;
class NotificationCenter;
class StrongSwanVpn;
class UserDefaults;
class WireGuardService;

// The services of one run of the application or the command line, built once
// from their dependencies by main() and handed to whatever needs them. The
// account services and the server catalogue are built at once; the
// connection side (the protocol services and the manager over them) on first
// use, so a command that never connects never reaches the IKE daemon or
// cleans up after an earlier proxy.
class AppServices
{
public:
    struct Setup
    {
        UserDefaults &defaults;
        UserDefaults &appGroup;
        Keychain &keychain;
        NotificationCenter &center;
        Endpoints endpoints;
        // The version the backend is told (AppInfo::current when empty).
        APIClient::AppInfoSource appInfo;
        // The Xray service's options (its endpoints are replaced by the ones above).
        XrayService::Options xray;
        // Stands in for the protocol services when set; the real ones otherwise.
        VPNServiceManager::ServiceProvider protocols;
        // The connection manager takes the user's connection lock and watches
        // for wake-ups and network changes.
        bool userSession = true;
        // The API client renews the session for every signed-in request of the
        // process (a configuration fetch included).
        bool renewsSession = true;

        // This process's: the user's settings, the system keychain, the
        // default notification centre and the build's endpoints and options.
        static Setup forThisProcess();
    };

    explicit AppServices(Setup setup);
    ~AppServices();
    AppServices(const AppServices &) = delete;
    AppServices &operator=(const AppServices &) = delete;

    UserDefaults &defaults;
    NotificationCenter &center;
    KeychainManager tokens;
    DeviceIdentifier identifier;
    APIClient api;
    EntitlementManager entitlements;
    DeviceManager devices;
    AuthService auth;
    ServerManager servers;

    // The one connection the screens and commands drive (IKEv2 bound at start).
    VPNServiceManager &vpn();
    // The service for a protocol, created on first use.
    VPNServiceProtocol &protocolService(VPNProtocolType protocol);
    XrayService &xray();
    // For a program that turns the termination signal into an orderly end
    // itself: the Xray service then leaves that signal alone. Call before the
    // first use of the Xray service.
    void leaveTerminationSignalToApplication() { m_xrayHandlesTerminationSignal = false; }

private:
    Keychain &m_keychain;
    Endpoints m_endpoints;
    XrayService::Options m_xrayOptions;
    VPNServiceManager::ServiceProvider m_protocols;
    bool m_userSession;
    bool m_xrayHandlesTerminationSignal = true;
    // Destroyed in reverse: the manager before the services it drives.
    std::unique_ptr<StrongSwanVpn> m_systemVpn;
    std::unique_ptr<IKEv2Manager> m_ikev2Manager;
    std::unique_ptr<IKEv2Service> m_ikev2;
    std::unique_ptr<WireGuardService> m_wireGuard;
    std::unique_ptr<XrayService> m_xray;
    std::unique_ptr<VPNServiceManager> m_vpn;
};
