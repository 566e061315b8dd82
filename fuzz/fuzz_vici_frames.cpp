// The VICI FrameReader over a byte stream cut into arbitrary pieces: the
// packets it gives must not depend on how the stream was cut.
#include "FuzzSupport.h"
#include "platform/Vici.h"

#include <QList>

namespace {

struct Outcome
{
    QList<QByteArray> packets; // each packet encoded again
    bool failed = false;
};

Outcome readAll(const QByteArray &stream, const QList<qsizetype> &cuts)
{
    Outcome outcome;
    Vici::FrameReader reader;
    qsizetype pos = 0;
    qsizetype piece = 0;
    while (pos < stream.size() && !outcome.failed) {
        const qsizetype length = cuts.isEmpty() ? stream.size() : cuts[piece++ % cuts.size()];
        reader.append(QByteArrayView(stream).sliced(pos, std::min(length, stream.size() - pos)));
        pos += length;
        while (true) {
            Vici::Packet packet;
            QString error;
            const Vici::FrameReader::Result result = reader.next(&packet, &error);
            if (result == Vici::FrameReader::Result::NeedMore)
                break;
            if (result == Vici::FrameReader::Result::Error) {
                Fuzz::check(!error.isEmpty(), "a frame error without a reason");
                outcome.failed = true;
                break;
            }
            const std::optional<QByteArray> frame = Vici::encodeFrame(packet, &error);
            Fuzz::check(frame.has_value(), "a read packet does not encode", error);
            outcome.packets.append(*frame);
        }
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte chooses the piece sizes (1 to 16 bytes, cycling).
    if (size < 1)
        return 0;
    QList<qsizetype> cuts;
    for (int i = 0; i < 4; ++i)
        cuts.append(1 + ((data[0] >> (2 * i)) & 0x3) * 5);
    const QByteArray stream = Fuzz::bytes(data + 1, size - 1);

    const Outcome whole = readAll(stream, {});
    const Outcome pieces = readAll(stream, cuts);
    Fuzz::check(whole.failed == pieces.failed, "the stream fails only when cut differently");
    Fuzz::check(whole.packets == pieces.packets, "the packets depend on how the stream was cut");
    // The packets read are the stream's own frames, in order.
    QByteArray joined;
    for (const QByteArray &frame : whole.packets)
        joined += frame;
    Fuzz::check(stream.startsWith(joined), "the packets read are not the stream's frames");
    return 0;
}
