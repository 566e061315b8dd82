#include "model/ConnectionPresentation.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace ConnectionPresentation {

Look look(VPNDisplayStatus status)
{
    Look l;
    l.text = VPNDisplay::displayName(status);
    switch (status) {
    case VPNDisplayStatus::Disconnected:
        l.traySymbol = u"shield.lefthalf.filled"_s;
        l.emblemSymbol = u"shield.slash"_s;
        l.buttonSymbol = u"lock.shield"_s;
        l.buttonTitle = QCoreApplication::translate("ConnectionPresentation", "Connect");
        break;
    case VPNDisplayStatus::Connecting:
        l.tone = Tone::Busy;
        l.traySymbol = u"shield"_s;
        l.emblemSymbol = u"shield.lefthalf.filled"_s;
        l.emblemTone = Tone::Busy;
        l.buttonSymbol = u"hourglass"_s;
        l.buttonTitle = QCoreApplication::translate("ConnectionPresentation", "Connecting…");
        l.buttonTone = Tone::Busy;
        l.action = ButtonAction::None;
        break;
    case VPNDisplayStatus::Connected:
        l.tone = Tone::Go;
        l.traySymbol = u"checkmark.shield.fill"_s;
        l.emblemSymbol = u"checkmark.shield.fill"_s;
        l.emblemTone = Tone::Go;
        l.connected = true;
        l.buttonSymbol = u"lock.open"_s;
        l.buttonTitle = QCoreApplication::translate("ConnectionPresentation", "Disconnect");
        l.buttonTone = Tone::Stop;
        l.action = ButtonAction::Disconnect;
        break;
    case VPNDisplayStatus::Disconnecting:
        l.tone = Tone::Busy;
        l.traySymbol = u"shield"_s;
        l.emblemSymbol = u"shield.lefthalf.filled"_s;
        l.buttonSymbol = u"hourglass"_s;
        l.buttonTitle = QCoreApplication::translate("ConnectionPresentation", "Disconnecting…");
        l.buttonTone = Tone::Busy;
        l.action = ButtonAction::None;
        break;
    case VPNDisplayStatus::Error:
        l.tone = Tone::Stop;
        l.traySymbol = u"exclamationmark.shield"_s;
        l.emblemSymbol = u"exclamationmark.shield"_s;
        l.buttonSymbol = u"lock.shield"_s;
        l.buttonTitle = QCoreApplication::translate("ConnectionPresentation", "Connect");
        break;
    }
    return l;
}

QString trayTitle(VPNDisplayStatus status)
{
    return QCoreApplication::translate("ConnectionPresentation", "Velorin VPN — %1").arg(VPNDisplay::displayName(status));
}

QString statusLine(const VPNConnectionState &state, const QString &serverName,
                   const std::optional<QString> &address)
{
    if (!state.is(VPNConnectionState::Kind::Connected))
        return state.description();
    return u"connected to "_s + serverName + (address ? u" ("_s + *address + u')' : QString());
}

std::optional<MapRegion> regionForStatus(VPNDisplayStatus status, const ServerLocation &selected)
{
    switch (status) {
    case VPNDisplayStatus::Connected:
        return MapRegion::around(selected.latitude, selected.longitude);
    case VPNDisplayStatus::Disconnected:
        return MapRegion::overview();
    case VPNDisplayStatus::Connecting:
    case VPNDisplayStatus::Disconnecting:
    case VPNDisplayStatus::Error:
        break;
    }
    return std::nullopt;
}

} // namespace ConnectionPresentation
