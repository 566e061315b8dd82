#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// The three tunnel protocols, in their fixed order.
enum class VPNProtocolType { IKEv2, WireGuard, XrayReality };

namespace VPNProtocol {

const QList<VPNProtocolType> &allCases();

// The stored form ("IKEv2", "WireGuard", "XrayReality").
QString rawValue(VPNProtocolType type);
// Nothing for any text that is not exactly one of the raw values.
std::optional<VPNProtocolType> fromRawValue(const QString &raw);

QString displayName(VPNProtocolType type);
// The name used in log lines ("IKEv2", "WireGuard", "Xray").
QString shortName(VPNProtocolType type);
QString protocolDescription(VPNProtocolType type);

} // namespace VPNProtocol

Q_DECLARE_METATYPE(VPNProtocolType)
