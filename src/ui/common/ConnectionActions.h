#pragma once

#include "model/ConnectionPresentation.h"

struct ServerLocation;
class ServerManager;
class VPNServiceManager;

// What the connect/disconnect button and a choice of server do, the same in
// the panel and in the connection view.
namespace ConnectionActions {

// The button in a status: connects to the selected server (selected again,
// so that it counts as recent), disconnects, or does nothing while busy.
void pressButton(VPNDisplayStatus status, ServerManager &servers, VPNServiceManager &vpn);

// A server the user picked: an active one is selected and, while connected,
// the connection is dropped now and made to it reconnectDelay later (one
// delayed connect, not cancelled by later actions; it belongs to the
// manager, so it runs even if the screen is gone by then). False, with
// nothing changed, for a server that is not active.
bool chooseServer(const ServerLocation &server, VPNDisplayStatus status, ServerManager &servers,
                  VPNServiceManager &vpn);

} // namespace ConnectionActions
