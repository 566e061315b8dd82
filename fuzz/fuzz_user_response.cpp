// UserResponse, the answer to GET /auth/me.
#include "FuzzSupport.h"
#include "model/AuthMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto response = Fuzz::decode<UserResponse>(Fuzz::bytes(data, size));
    if (response)
        Fuzz::check(response->createdAt.isValid(), "a decoded UserResponse with an invalid created_at");
    return 0;
}
