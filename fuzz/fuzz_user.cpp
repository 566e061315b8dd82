// User (the account record, with its optional Subscription) from a body.
#include "FuzzSupport.h"
#include "model/Account.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto user = Fuzz::decode<User>(Fuzz::bytes(data, size));
    if (!user)
        return 0;
    Fuzz::check(user->createdAt.isValid(), "a decoded User with an invalid created_at");
    if (user->subscription && user->subscription->expiresAt)
        Fuzz::check(user->subscription->expiresAt->isValid(), "a decoded Subscription with an invalid expires_at");
    // The record the client writes for itself must carry the same values.
    const QJsonObject written = user->toJson();
    Fuzz::check(written.value(QStringLiteral("user_id")).toString() == user->id, "User::toJson lost the id");
    return 0;
}
