#include "model/VPNConnectionState.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

QString VPNConnectionState::description() const
{
    switch (m_kind) {
    case Kind::Disconnected:
        return u"disconnected"_s;
    case Kind::Connecting:
        return u"connecting"_s;
    case Kind::Connected:
        return u"connected"_s;
    case Kind::Disconnecting:
        return u"disconnecting"_s;
    case Kind::Reconnecting:
        return u"reconnecting"_s;
    case Kind::Error:
        return u"error: "_s + m_message;
    }
    return {};
}

namespace VPNDisplay {

VPNDisplayStatus status(const VPNConnectionState &state)
{
    switch (state.kind()) {
    case VPNConnectionState::Kind::Disconnected:
        return VPNDisplayStatus::Disconnected;
    case VPNConnectionState::Kind::Connecting:
    case VPNConnectionState::Kind::Reconnecting:
        return VPNDisplayStatus::Connecting;
    case VPNConnectionState::Kind::Connected:
        return VPNDisplayStatus::Connected;
    case VPNConnectionState::Kind::Disconnecting:
        return VPNDisplayStatus::Disconnecting;
    case VPNConnectionState::Kind::Error:
        return VPNDisplayStatus::Error;
    }
    return VPNDisplayStatus::Disconnected;
}

QString displayName(VPNDisplayStatus status)
{
    switch (status) {
    case VPNDisplayStatus::Disconnected:
        return QCoreApplication::translate("VPNDisplay", "Disconnected");
    case VPNDisplayStatus::Connecting:
        return QCoreApplication::translate("VPNDisplay", "Connecting…");
    case VPNDisplayStatus::Connected:
        return QCoreApplication::translate("VPNDisplay", "Connected");
    case VPNDisplayStatus::Disconnecting:
        return QCoreApplication::translate("VPNDisplay", "Disconnecting…");
    case VPNDisplayStatus::Error:
        return QCoreApplication::translate("VPNDisplay", "Error");
    }
    return {};
}

} // namespace VPNDisplay
