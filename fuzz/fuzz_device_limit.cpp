// The body of a registration refused with 403 (the device limit, or a text).
#include "FuzzSupport.h"
#include "backend/DeviceRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const DeviceLimitRefusal refusal = DeviceLimitRefusal::parse(Fuzz::bytes(data, size));
    switch (refusal.kind) {
    case DeviceLimitRefusal::Kind::Limit:
        Fuzz::check(refusal.text.isEmpty(), "a limit refusal with a text");
        break;
    case DeviceLimitRefusal::Kind::Undecodable:
        Fuzz::check(!refusal.text.isEmpty(), "an undecodable refusal without a reason");
        break;
    case DeviceLimitRefusal::Kind::Message:
    case DeviceLimitRefusal::Kind::Nothing:
        Fuzz::check(refusal.limit.devices.isEmpty(), "a refusal without a limit carries devices");
        break;
    }
    return 0;
}
