#pragma once

#include "model/VPNConnectionState.h"

#include <QCoreApplication>
#include <QString>

#include <optional>

// What the connection's state says beyond its status (whose look is
// ConnectionPresentation's): for an error, the reason the state carries (a
// service's or a server's text, cleaned and bounded), and the moments worth
// a desktop notification.
namespace ConnectionText {

// The reason of an error state, ready to show; empty for other states.
QString reason(const VPNConnectionState &state);
// "Velorin VPN — <status>", and for an error the reason on a second line.
QString trayToolTip(const VPNConnectionState &state);

// What the desktop is told when the connection ends without being asked to.
struct Notice
{
    QString title;
    QString body;
    bool operator==(const Notice &) const = default;
};

// Watches the states one after another and names the moments worth a desktop
// notification: a connection that was up drops (to disconnected without a
// disconnect under way, or to an error), and a recovery that gives up later
// (a further error while the lost connection is being brought back). A user's
// disconnect passes through "disconnecting" and tells nothing; a connect that
// fails before it was ever up is shown in the windows only.
class DropWatch
{
    Q_DECLARE_TR_FUNCTIONS(DropWatch)
public:
    std::optional<Notice> next(const VPNConnectionState &state);

private:
    VPNConnectionState m_previous;
    // Connected at some point since the last connect or disconnect.
    bool m_wasUp = false;
};

} // namespace ConnectionText
