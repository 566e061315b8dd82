#include "model/VPNProtocolType.h"

using namespace Qt::StringLiterals;

namespace VPNProtocol {

const QList<VPNProtocolType> &allCases()
{
    static const QList<VPNProtocolType> cases{VPNProtocolType::IKEv2, VPNProtocolType::WireGuard,
                                              VPNProtocolType::XrayReality};
    return cases;
}

namespace {

struct Names
{
    QString raw;
    QString display;
    QString shortName;
    QString description;
};

// One row per protocol, in the order of the enumeration.
const Names &namesOf(VPNProtocolType type)
{
    static const Names names[] = {
        {u"IKEv2"_s, u"IKEv2 (Recommended)"_s, u"IKEv2"_s,
         u"Native Apple VPN protocol. Best compatibility, moderate speed. Works through App Store."_s},
        {u"WireGuard"_s, u"WireGuard"_s, u"WireGuard"_s,
         u"Modern, fast tunnel protocol. Low latency, excellent battery life."_s},
        {u"XrayReality"_s, u"Xray Reality"_s, u"Xray"_s,
         u"Advanced anti-censorship protocol. Disguises traffic as normal HTTPS. Best for restricted networks."_s},
    };
    return names[static_cast<int>(type)];
}

} // namespace

QString rawValue(VPNProtocolType type)
{
    return namesOf(type).raw;
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
    return namesOf(type).display;
}

QString shortName(VPNProtocolType type)
{
    return namesOf(type).shortName;
}

QString protocolDescription(VPNProtocolType type)
{
    return namesOf(type).description;
}

} // namespace VPNProtocol
