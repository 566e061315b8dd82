#include "model/VPNProtocolType.h"

using namespace Qt::StringLiterals;

namespace VPNProtocol {

const QList<VPNProtocolType> &allCases()
{
    static const QList<VPNProtocolType> cases{VPNProtocolType::IKEv2, VPNProtocolType::WireGuard,
                                              VPNProtocolType::XrayReality};
    return cases;
}

QString rawValue(VPNProtocolType type)
{
    switch (type) {
    case VPNProtocolType::IKEv2:
        return u"IKEv2"_s;
    case VPNProtocolType::WireGuard:
        return u"WireGuard"_s;
    case VPNProtocolType::XrayReality:
        return u"XrayReality"_s;
    }
    Q_UNREACHABLE();
    return {};
}

std::optional<VPNProtocolType> fromRawValue(const QString &raw)
{
    for (VPNProtocolType type : allCases())
        if (rawValue(type) == raw)
            return type;
    return std::nullopt;
}

QString displayName(VPNProtocolType type)
{
    switch (type) {
    case VPNProtocolType::IKEv2:
        return u"IKEv2 (Recommended)"_s;
    case VPNProtocolType::WireGuard:
        return u"WireGuard"_s;
    case VPNProtocolType::XrayReality:
        return u"Xray Reality"_s;
    }
    Q_UNREACHABLE();
    return {};
}

QString shortName(VPNProtocolType type)
{
    switch (type) {
    case VPNProtocolType::IKEv2:
        return u"IKEv2"_s;
    case VPNProtocolType::WireGuard:
        return u"WireGuard"_s;
    case VPNProtocolType::XrayReality:
        return u"Xray"_s;
    }
    Q_UNREACHABLE();
    return {};
}

QString protocolDescription(VPNProtocolType type)
{
    switch (type) {
    case VPNProtocolType::IKEv2:
        return u"Native Apple VPN protocol. Best compatibility, moderate speed. Works through App Store."_s;
    case VPNProtocolType::WireGuard:
        return u"Modern, fast tunnel protocol. Low latency, excellent battery life."_s;
    case VPNProtocolType::XrayReality:
        return u"Advanced anti-censorship protocol. Disguises traffic as normal HTTPS. Best for restricted networks."_s;
    }
    Q_UNREACHABLE();
    return {};
}

} // namespace VPNProtocol
