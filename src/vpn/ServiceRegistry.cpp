#include "vpn/ServiceRegistry.h"

#include "vpn/UnavailableService.h"
#include "vpn/ikev2/IKEv2Service.h"
#include "vpn/wireguard/WireGuardService.h"

using namespace Qt::StringLiterals;

VPNServiceProtocol &ServiceRegistry::sharedService(VPNProtocolType protocol)
{
    switch (protocol) {
    case VPNProtocolType::IKEv2:
        return IKEv2Service::shared();
    case VPNProtocolType::WireGuard:
        return WireGuardService::shared();
    case VPNProtocolType::XrayReality: {
        static auto *service = new UnavailableService(protocol, u"Xray Reality is not available in this build"_s);
        return *service;
    }
    }
    Q_UNREACHABLE();
}
