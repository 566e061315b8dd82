// DeviceListResponse and RegisteredDevice, the answer to GET /devices.
#include "FuzzSupport.h"
#include "backend/DeviceRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto list = Fuzz::decode<DeviceListResponse>(Fuzz::bytes(data, size));
    if (!list)
        return 0;
    for (const RegisteredDevice &device : list->devices) {
        Fuzz::check(!device.platformIcon().isEmpty(), "a device without an icon");
        Fuzz::check(!device.isCurrentDevice(std::nullopt), "a device is current without a stored id");
    }
    return 0;
}
