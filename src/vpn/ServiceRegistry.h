#pragma once

#include "model/VPNProtocolType.h"

class VPNServiceProtocol;

namespace ServiceRegistry {
// The shared protocol service for a protocol, created on first use.
VPNServiceProtocol &sharedService(VPNProtocolType protocol);
} // namespace ServiceRegistry
