#include "vpn/AppServices.h"

#include "backend/HttpExchange.h"
#include "platform/Keychain.h"
#include "platform/NotificationCenter.h"
#include "platform/StrongSwanVpn.h"
#include "platform/UserDefaults.h"
#include "vpn/ConnectionLock.h"
#include "vpn/ControlProtocol.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"
#include "vpn/wireguard/WireGuardService.h"

AppServices::Setup AppServices::Setup::forThisProcess()
{
    return Setup{UserDefaults::standard(), UserDefaults::appGroup(), Keychain::system(),
                 NotificationCenter::defaultCenter(), Endpoints::fromBuild(), {}, XrayService::Options::fromBuild(),
                 {}, true, true};
}

AppServices::AppServices(Setup setup)
    : defaults(setup.defaults)
    , center(setup.center)
    , tokens(setup.defaults, setup.keychain)
    , identifier(tokens)
    , api(tokens, setup.endpoints, nullptr, setup.appInfo)
    , entitlements(setup.appGroup, setup.endpoints)
    , devices(tokens, identifier, setup.endpoints, nullptr, setup.appInfo)
    , auth(api, tokens, entitlements, devices, center)
    , servers(setup.defaults)
    , m_keychain(setup.keychain)
    , m_endpoints(setup.endpoints)
    , m_xrayOptions(std::move(setup.xray))
    , m_protocols(std::move(setup.protocols))
    , m_userSession(setup.userSession)
{
    m_xrayOptions.endpoints = m_endpoints;
    if (setup.renewsSession)
        HttpExchange::AccessTokenRenewer::setCurrent(&api);
}

AppServices::~AppServices() = default;

VPNServiceManager &AppServices::vpn()
{
    if (!m_vpn) {
        m_vpn = std::make_unique<VPNServiceManager>(
            defaults, [this](VPNProtocolType protocol) -> VPNServiceProtocol & { return protocolService(protocol); });
        if (m_userSession) {
            m_vpn->setConnectionLock(std::make_unique<ConnectionLock>(ControlProtocol::places().connectionLock));
            m_vpn->watchSystemEvents(QtPathMonitor::factory(), ResumeMonitor::create);
        }
    }
    return *m_vpn;
}

VPNServiceProtocol &AppServices::protocolService(VPNProtocolType protocol)
{
    if (m_protocols)
        return m_protocols(protocol);
    switch (protocol) {
    case VPNProtocolType::IKEv2:
        if (!m_ikev2) {
            // The daemon asks for the EAP secret through the manager while it
            // exists, then straight from the keychain.
            const QString socket = defaults.string(IKEv2Manager::viciSocketKey).value_or(QString()).trimmed();
            auto manager = std::make_shared<QPointer<IKEv2Manager>>();
            m_systemVpn = std::make_unique<StrongSwanVpn>(IKEv2Manager::passwordResolver(m_keychain, manager),
                                                          StrongSwanSettings::fromEnvironment(socket));
            m_ikev2Manager = std::make_unique<IKEv2Manager>(*m_systemVpn, m_keychain, tokens, m_endpoints);
            *manager = m_ikev2Manager.get();
            m_ikev2 = std::make_unique<IKEv2Service>(*m_ikev2Manager);
        }
        return *m_ikev2;
    case VPNProtocolType::WireGuard:
        if (!m_wireGuard)
            m_wireGuard = std::make_unique<WireGuardService>(tokens, m_endpoints);
        return *m_wireGuard;
    case VPNProtocolType::XrayReality:
        return xray();
    }
    Q_UNREACHABLE();
}

XrayService &AppServices::xray()
{
    if (!m_xray) {
        // Its start cleans up proxies an earlier run left set.
        m_xray = std::make_unique<XrayService>(tokens, defaults, m_xrayOptions);
        m_xray->runLaunchCleanup();
        m_xray->installTerminationHooks(m_xrayHandlesTerminationSignal);
    }
    return *m_xray;
}
