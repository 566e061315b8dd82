// WireGuardConfigResponse, the answer to GET /api/v1/wireguard/config.
#include "FuzzSupport.h"
#include "vpn/wireguard/WireGuardConfigResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::decode<WireGuardConfigResponse>(Fuzz::bytes(data, size));
    return 0;
}
