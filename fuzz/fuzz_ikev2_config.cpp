// IKEv2ConfigResponse, the answer to GET /api/v1/ikev2/config.
#include "FuzzSupport.h"
#include "vpn/ikev2/IKEv2ConfigResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::decode<IKEv2ConfigResponse>(Fuzz::bytes(data, size));
    return 0;
}
