// SubscriptionStatusResponse, the answer to GET /subscriptions/status, and
// the record the sync stores from it.
#include "FuzzSupport.h"
#include "backend/EntitlementRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto response = Fuzz::decode<SubscriptionStatusResponse>(Fuzz::bytes(data, size));
    if (!response)
        return 0;
    Fuzz::check(response->expiresAt.isValid(), "a decoded status with an invalid expires_at");
    // What the sync stores must read back as the same record.
    const EntitlementCache stored{response->status == u"active", response->expiresAt,
                                  QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), response->plan};
    const auto reread = Fuzz::decode<EntitlementCache>(stored.toJson());
    Fuzz::check(reread && *reread == stored, "a stored subscription does not read back as written",
                QString::fromUtf8(stored.toJson()));
    return 0;
}
