// MessageResponse, the answer to resend-code, forgot-password and reset-password.
#include "FuzzSupport.h"
#include "model/AuthMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::decode<MessageResponse>(Fuzz::bytes(data, size));
    return 0;
}
