// The answers to a registration and a revoke.
#include "FuzzSupport.h"
#include "backend/DeviceRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = Fuzz::bytes(data, size);
    Fuzz::decode<DeviceRegisterSuccessResponse>(body);
    Fuzz::decode<DeviceRevokeSuccessResponse>(body);
    Fuzz::decode<RegisteredDevice>(body);
    return 0;
}
