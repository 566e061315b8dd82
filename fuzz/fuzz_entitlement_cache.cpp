// EntitlementCache, the stored subscription record, as read back from the
// settings file (which anything running as the user may have changed).
#include "FuzzSupport.h"
#include "backend/EntitlementRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto cache = Fuzz::decode<EntitlementCache>(Fuzz::bytes(data, size));
    if (!cache)
        return 0;
    // The account screen shows these dates: a record that decodes has real ones.
    Fuzz::check(cache->expiresAt.isValid() && cache->lastVerified.isValid(),
                "a decoded cache with an invalid date");
    const auto reread = Fuzz::decode<EntitlementCache>(cache->toJson());
    Fuzz::check(reread && *reread == *cache, "a decoded cache does not survive being written again",
                QString::fromUtf8(cache->toJson()));
    return 0;
}
