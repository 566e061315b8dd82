// A VICI message and a VICI packet (what the IKE daemon sends over its socket).
#include "FuzzSupport.h"
#include "platform/Vici.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytes(data, size);
    QString error;
    if (const std::optional<Vici::Message> message = Vici::decode(bytes, &error)) {
        // A decoded message encodes back to the very same bytes.
        const std::optional<QByteArray> encoded = Vici::encode(*message, &error);
        Fuzz::check(encoded.has_value(), "a decoded message does not encode", error);
        Fuzz::check(*encoded == bytes, "a decoded message encodes to other bytes");
    } else {
        Fuzz::check(!error.isEmpty(), "a refused message without a reason");
    }

    error.clear();
    if (const std::optional<Vici::Packet> packet = Vici::decodePacket(bytes, &error)) {
        const std::optional<QByteArray> frame = Vici::encodeFrame(*packet, &error);
        Fuzz::check(frame.has_value(), "a decoded packet does not encode", error);
        Fuzz::check(frame->mid(4) == bytes, "a decoded packet encodes to other bytes");
    } else {
        Fuzz::check(!error.isEmpty(), "a refused packet without a reason");
    }
    return 0;
}
