#include "vpn/ServiceRegistry.h"

#include "vpn/UnavailableService.h"
#include "vpn/xray/XrayService.h"

using namespace Qt::StringLiterals;

VPNServiceProtocol &ServiceRegistry::sharedService(VPNProtocolType protocol)
{
    switch (protocol) {
    case VPNProtocolType::IKEv2: {
        static auto *service = new UnavailableService(protocol, u"IKEv2 is not available in this build"_s);
        return *service;
    }
    case VPNProtocolType::WireGuard: {
        static auto *service = new UnavailableService(protocol, u"WireGuard is not available in this build"_s);
        return *service;
    }
    case VPNProtocolType::XrayReality:
        return XrayService::shared();
    }
    Q_UNREACHABLE();
}
