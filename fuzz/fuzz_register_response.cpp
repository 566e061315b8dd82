// RegisterResponse, the answer to POST /auth/register.
#include "FuzzSupport.h"
#include "model/AuthMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::decode<RegisterResponse>(Fuzz::bytes(data, size));
    return 0;
}
