#include "vpn/ServiceRegistry.h"

#include "vpn/UnavailableService.h"
#include "vpn/ikev2/IKEv2Service.h"
#include "vpn/wireguard/WireGuardService.h"
#include "vpn/xray/XrayService.h"

using namespace Qt::StringLiterals;

VPNServiceProtocol &ServiceRegistry::sharedService(VPNProtocolType protocol)
{
    switch (protocol) {
    case VPNProtocolType::IKEv2:
        return IKEv2Service::shared();
    case VPNProtocolType::WireGuard:
        return WireGuardService::shared();
    case VPNProtocolType::XrayReality:
        return XrayService::shared();
    }
    Q_UNREACHABLE();
}
