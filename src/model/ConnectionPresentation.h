#pragma once

#include "model/MapRegion.h"
#include "model/ServerLocation.h"
#include "model/VPNConnectionState.h"

#include <QString>

#include <chrono>
#include <optional>

// How the connection status is shown, the same wherever it appears: the tray
// icon and its tooltip, the panel under the icon, the main window's
// connection view and the command line's status lines. Colours are named by
// their role; the screens' palette turns a role into a colour.
namespace ConnectionPresentation {

enum class Tone {
    Quiet, // nothing under way: secondary text (dimmed white on the dark map)
    Go, // connected, and the button that connects: green
    Busy, // connecting or disconnecting: orange
    Stop, // an error, and the button that disconnects: red
};

// What the connect/disconnect button does; None while it is disabled.
enum class ButtonAction { Connect, Disconnect, None };

struct Look
{
    // "Disconnected", "Connecting…", "Connected", "Disconnecting…", "Error".
    QString text;
    // The status dot of the panel.
    Tone tone = Tone::Quiet;
    QString traySymbol;
    // The large emblem of the connection view; it pulses, and the connected
    // location shows, only while connected.
    QString emblemSymbol;
    Tone emblemTone = Tone::Quiet;
    bool connected = false;
    QString buttonSymbol;
    QString buttonTitle;
    Tone buttonTone = Tone::Go;
    ButtonAction action = ButtonAction::Connect;
    bool buttonEnabled() const { return action != ButtonAction::None; }
};
Look look(VPNDisplayStatus status);
inline Look look(const VPNConnectionState &state)
{
    return look(VPNDisplay::status(state));
}

// "Velorin VPN — <status>": the tray icon's description and its tooltip's first line.
QString trayTitle(VPNDisplayStatus status);

// One line of the command line's account of a connection: "connecting",
// "connected to <server> (<address>)", "error: <message>"...
QString statusLine(const VPNConnectionState &state, const QString &serverName,
                   const std::optional<QString> &address);

// Where a map goes when the status changes to `status`: around the selected
// server once connected, the overview once disconnected; nothing otherwise.
std::optional<MapRegion> regionForStatus(VPNDisplayStatus status, const ServerLocation &selected);

// The delay between the disconnect and the connect when the user picks
// another server while connected.
inline constexpr std::chrono::milliseconds reconnectDelay{1500};

} // namespace ConnectionPresentation
