#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

// VICI, the control protocol of the IKE daemon (strongSwan's charon): the
// message tree, its binary encoding, packets and the length-prefixed framing.
//
// A frame is a 4-byte big-endian length followed by that many bytes (at most
// 512 KiB). The first byte of a frame is the packet type; named packets carry
// a 1-byte name length and the name; requests, responses and events carry a
// message: a flat sequence of elements that describes a tree of sections,
// key/values and lists of values.
//
// Decoding treats its input as hostile: every length is checked against the
// bytes that are actually there, nesting is bounded, and anything malformed
// is an error with a description, never a crash.
namespace Vici {

// Largest frame payload the daemon accepts or sends.
constexpr qsizetype MaxFrameLength = 512 * 1024;
// Deepest section nesting accepted when decoding. The daemon's own messages
// nest four or five levels; the bound keeps a hostile message from building
// a tree too deep to walk or destroy recursively.
constexpr int MaxSectionDepth = 32;

enum class PacketType : quint8 {
    CmdRequest = 0,
    CmdResponse = 1,
    CmdUnknown = 2,
    EventRegister = 3,
    EventUnregister = 4,
    EventConfirm = 5,
    EventUnknown = 6,
    Event = 7,
};

enum class ElementType : quint8 {
    SectionStart = 1,
    SectionEnd = 2,
    KeyValue = 3,
    ListStart = 4,
    ListItem = 5,
    ListEnd = 6,
};

class Message;

// One named entry of a section: a value, a list of values or a sub-section.
struct Entry
{
    enum class Kind { Value, List, Section };
    Kind kind = Kind::Value;
    QByteArray name;
    QByteArray value;         // Kind::Value
    QList<QByteArray> items;  // Kind::List
    std::vector<Message> section;  // Kind::Section: exactly one element

    bool operator==(const Entry &other) const;
};

// A section (the message itself is the unnamed root section). Entries keep
// their order, which the daemon relies on for some settings.
class Message
{
public:
    Message() = default;

    // Building. Setting a name that exists replaces that entry in place.
    Message &set(const QByteArray &name, const QByteArray &value);
    Message &set(const QByteArray &name, const QString &value);
    Message &set(const QByteArray &name, const char *value);
    Message &setList(const QByteArray &name, const QList<QByteArray> &items);
    Message &setSection(const QByteArray &name, const Message &section);

    // Reading. Absent names give nothing / empty.
    std::optional<QByteArray> value(const QByteArray &name) const;
    // The value as UTF-8 text, or an empty text when absent.
    QString text(const QByteArray &name) const;
    QList<QByteArray> list(const QByteArray &name) const;
    const Message *section(const QByteArray &name) const;
    bool contains(const QByteArray &name) const;

    const std::vector<Entry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.empty(); }

    // The raw append used by the decoder (keeps duplicates as sent).
    Entry &append(Entry entry);

    bool operator==(const Message &other) const;

private:
    Entry *find(const QByteArray &name);
    const Entry *find(const QByteArray &name) const;

    std::vector<Entry> m_entries;
};

// Encodes a message tree. Fails when a name is longer than 255 bytes or a
// value longer than 65535 bytes (the wire format cannot carry them).
std::optional<QByteArray> encode(const Message &message, QString *error = nullptr);
// Decodes a complete message.
std::optional<Message> decode(QByteArrayView bytes, QString *error = nullptr);

struct Packet
{
    PacketType type = PacketType::CmdRequest;
    QByteArray name;   // command or event name, for the named types
    Message message;   // for requests, responses and events

    static bool isNamed(PacketType type);
    static bool carriesMessage(PacketType type);
};

// A whole frame: the length prefix, the packet type, the name, the message.
std::optional<QByteArray> encodeFrame(const Packet &packet, QString *error = nullptr);
// Decodes one frame's payload (without the length prefix).
std::optional<Packet> decodePacket(QByteArrayView payload, QString *error = nullptr);

// Splits a byte stream into packets; bytes may arrive in any pieces, down to
// one at a time.
class FrameReader
{
public:
    enum class Result { NeedMore, Packet, Error };

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // Takes the next complete packet. After an Error the stream is unusable.
    Result next(Packet *packet, QString *error);
    // Bytes of an incomplete frame are waiting.
    bool hasPartialFrame() const { return !m_buffer.isEmpty(); }
    void clear() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
};

} // namespace Vici
