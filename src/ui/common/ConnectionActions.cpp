#include "ui/common/ConnectionActions.h"

#include "vpn/ServerManager.h"
#include "vpn/VPNServiceManager.h"

#include <QTimer>

namespace ConnectionActions {

void pressButton(VPNDisplayStatus status, ServerManager &servers, VPNServiceManager &vpn)
{
    switch (ConnectionPresentation::look(status).action) {
    case ConnectionPresentation::ButtonAction::Connect: {
        // A copy: selecting replaces the catalogue's selected server.
        const ServerLocation server = servers.selectedServer();
        servers.selectServer(server);
        vpn.connect(server.ipAddress, server.id);
        break;
    }
    case ConnectionPresentation::ButtonAction::Disconnect:
        vpn.disconnect();
        break;
    case ConnectionPresentation::ButtonAction::None:
        break;
    }
}

bool chooseServer(const ServerLocation &chosen, VPNDisplayStatus status, ServerManager &servers,
                  VPNServiceManager &vpn)
{
    if (!chosen.isActive)
        return false;
    // A copy: the caller's record must not change under the calls below.
    const ServerLocation server = chosen;
    servers.selectServer(server);
    if (status != VPNDisplayStatus::Connected)
        return true;
    vpn.disconnect();
    QTimer::singleShot(ConnectionPresentation::reconnectDelay, &vpn,
                       [&vpn, ip = server.ipAddress, id = server.id] { vpn.connect(ip, id); });
    return true;
}

} // namespace ConnectionActions
