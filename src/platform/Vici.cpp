#include "platform/Vici.h"

#include <QtEndian>

using namespace Qt::StringLiterals;

namespace Vici {

bool Entry::operator==(const Entry &other) const
{
    return kind == other.kind && name == other.name && value == other.value && items == other.items
        && section == other.section;
}

Entry *Message::find(const QByteArray &name)
{
    for (Entry &entry : m_entries) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

const Entry *Message::find(const QByteArray &name) const
{
    for (const Entry &entry : m_entries) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

Entry &Message::append(Entry entry)
{
    m_entries.push_back(std::move(entry));
    return m_entries.back();
}

static Message &replaceOrAppend(Message &message, Entry *existing, Entry entry)
{
    if (existing)
        *existing = std::move(entry);
    else
        message.append(std::move(entry));
    return message;
}

Message &Message::set(const QByteArray &name, const QByteArray &value)
{
    Entry entry;
    entry.kind = Entry::Kind::Value;
    entry.name = name;
    entry.value = value;
    return replaceOrAppend(*this, find(name), std::move(entry));
}

Message &Message::set(const QByteArray &name, const QString &value)
{
    return set(name, value.toUtf8());
}

Message &Message::set(const QByteArray &name, const char *value)
{
    return set(name, QByteArray(value));
}

Message &Message::setList(const QByteArray &name, const QList<QByteArray> &items)
{
    Entry entry;
    entry.kind = Entry::Kind::List;
    entry.name = name;
    entry.items = items;
    return replaceOrAppend(*this, find(name), std::move(entry));
}

Message &Message::setSection(const QByteArray &name, const Message &section)
{
    Entry entry;
    entry.kind = Entry::Kind::Section;
    entry.name = name;
    entry.section.push_back(section);
    return replaceOrAppend(*this, find(name), std::move(entry));
}

std::optional<QByteArray> Message::value(const QByteArray &name) const
{
    const Entry *entry = find(name);
    if (!entry || entry->kind != Entry::Kind::Value)
        return std::nullopt;
    return entry->value;
}

QString Message::text(const QByteArray &name) const
{
    return QString::fromUtf8(value(name).value_or(QByteArray()));
}

QList<QByteArray> Message::list(const QByteArray &name) const
{
    const Entry *entry = find(name);
    if (!entry || entry->kind != Entry::Kind::List)
        return {};
    return entry->items;
}

const Message *Message::section(const QByteArray &name) const
{
    const Entry *entry = find(name);
    if (!entry || entry->kind != Entry::Kind::Section || entry->section.empty())
        return nullptr;
    return &entry->section.front();
}

bool Message::contains(const QByteArray &name) const
{
    return find(name) != nullptr;
}

bool Message::operator==(const Message &other) const
{
    return m_entries == other.m_entries;
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

bool appendName(QByteArray &out, const QByteArray &name, QString *error)
{
    if (name.size() > 255) {
        if (error)
            *error = u"the name \"%1...\" is longer than 255 bytes"_s.arg(QString::fromUtf8(name.left(32)));
        return false;
    }
    out.append(char(quint8(name.size())));
    out.append(name);
    return true;
}

bool appendValue(QByteArray &out, const QByteArray &name, const QByteArray &value, QString *error)
{
    if (value.size() > 0xFFFF) {
        if (error)
            *error = u"the value of \"%1\" is longer than 65535 bytes"_s.arg(QString::fromUtf8(name));
        return false;
    }
    char length[2];
    qToBigEndian(quint16(value.size()), length);
    out.append(length, 2);
    out.append(value);
    return true;
}

bool encodeInto(QByteArray &out, const Message &message, QString *error)
{
    for (const Entry &entry : message.entries()) {
        switch (entry.kind) {
        case Entry::Kind::Value:
            out.append(char(ElementType::KeyValue));
            if (!appendName(out, entry.name, error) || !appendValue(out, entry.name, entry.value, error))
                return false;
            break;
        case Entry::Kind::List:
            out.append(char(ElementType::ListStart));
            if (!appendName(out, entry.name, error))
                return false;
            for (const QByteArray &item : entry.items) {
                out.append(char(ElementType::ListItem));
                if (!appendValue(out, entry.name, item, error))
                    return false;
            }
            out.append(char(ElementType::ListEnd));
            break;
        case Entry::Kind::Section:
            out.append(char(ElementType::SectionStart));
            if (!appendName(out, entry.name, error))
                return false;
            if (!entry.section.empty() && !encodeInto(out, entry.section.front(), error))
                return false;
            out.append(char(ElementType::SectionEnd));
            break;
        }
    }
    return true;
}

} // namespace

std::optional<QByteArray> encode(const Message &message, QString *error)
{
    QByteArray out;
    if (!encodeInto(out, message, error))
        return std::nullopt;
    return out;
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

class Cursor
{
public:
    explicit Cursor(QByteArrayView bytes) : m_bytes(bytes) {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }
    qsizetype position() const { return m_pos; }

    std::optional<quint8> byte()
    {
        if (m_pos >= m_bytes.size())
            return std::nullopt;
        return quint8(m_bytes[m_pos++]);
    }

    std::optional<QByteArray> take(qsizetype count)
    {
        if (count < 0 || m_bytes.size() - m_pos < count)
            return std::nullopt;
        QByteArray out(m_bytes.data() + m_pos, count);
        m_pos += count;
        return out;
    }

    std::optional<QByteArray> name()
    {
        const std::optional<quint8> length = byte();
        if (!length)
            return std::nullopt;
        return take(*length);
    }

    std::optional<QByteArray> value()
    {
        if (m_bytes.size() - m_pos < 2)
            return std::nullopt;
        const quint16 length = qFromBigEndian<quint16>(m_bytes.data() + m_pos);
        m_pos += 2;
        return take(length);
    }

private:
    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
};

} // namespace

std::optional<Message> decode(QByteArrayView bytes, QString *error)
{
    auto fail = [error](const QString &why) -> std::optional<Message> {
        if (error)
            *error = why;
        return std::nullopt;
    };

    Message root;
    // Open sections, innermost last. Only the innermost one grows while it is
    // open, so pointers to the outer ones stay valid.
    std::vector<Message *> open{&root};
    Entry *list = nullptr;  // the open list, if any
    Cursor cursor(bytes);

    while (!cursor.atEnd()) {
        const qsizetype at = cursor.position();
        const quint8 type = *cursor.byte();
        auto truncated = [&]() { return fail(u"truncated element at byte %1"_s.arg(at)); };
        switch (ElementType(type)) {
        case ElementType::SectionStart: {
            if (list)
                return fail(u"section inside a list at byte %1"_s.arg(at));
            if (int(open.size()) > MaxSectionDepth)
                return fail(u"sections nested deeper than %1 levels"_s.arg(MaxSectionDepth));
            const std::optional<QByteArray> name = cursor.name();
            if (!name)
                return truncated();
            Entry entry;
            entry.kind = Entry::Kind::Section;
            entry.name = *name;
            entry.section.emplace_back();
            Entry &added = open.back()->append(std::move(entry));
            open.push_back(&added.section.front());
            break;
        }
        case ElementType::SectionEnd:
            if (list)
                return fail(u"section end inside a list at byte %1"_s.arg(at));
            if (open.size() == 1)
                return fail(u"section end without a section at byte %1"_s.arg(at));
            open.pop_back();
            break;
        case ElementType::KeyValue: {
            if (list)
                return fail(u"key/value inside a list at byte %1"_s.arg(at));
            const std::optional<QByteArray> name = cursor.name();
            if (!name)
                return truncated();
            const std::optional<QByteArray> value = cursor.value();
            if (!value)
                return truncated();
            Entry entry;
            entry.kind = Entry::Kind::Value;
            entry.name = *name;
            entry.value = *value;
            open.back()->append(std::move(entry));
            break;
        }
        case ElementType::ListStart: {
            if (list)
                return fail(u"list inside a list at byte %1"_s.arg(at));
            const std::optional<QByteArray> name = cursor.name();
            if (!name)
                return truncated();
            Entry entry;
            entry.kind = Entry::Kind::List;
            entry.name = *name;
            list = &open.back()->append(std::move(entry));
            break;
        }
        case ElementType::ListItem: {
            if (!list)
                return fail(u"list item outside a list at byte %1"_s.arg(at));
            const std::optional<QByteArray> value = cursor.value();
            if (!value)
                return truncated();
            list->items.append(*value);
            break;
        }
        case ElementType::ListEnd:
            if (!list)
                return fail(u"list end without a list at byte %1"_s.arg(at));
            list = nullptr;
            break;
        default:
            return fail(u"unknown element type %1 at byte %2"_s.arg(type).arg(at));
        }
    }
    if (list)
        return fail(u"message ends inside the list \"%1\""_s.arg(QString::fromUtf8(list->name)));
    if (open.size() > 1)
        return fail(u"message ends with %1 section(s) open"_s.arg(open.size() - 1));
    return root;
}

// ---------------------------------------------------------------------------
// Packets and frames

bool Packet::isNamed(PacketType type)
{
    return type == PacketType::CmdRequest || type == PacketType::EventRegister
        || type == PacketType::EventUnregister || type == PacketType::Event;
}

bool Packet::carriesMessage(PacketType type)
{
    return type == PacketType::CmdRequest || type == PacketType::CmdResponse || type == PacketType::Event;
}

std::optional<QByteArray> encodeFrame(const Packet &packet, QString *error)
{
    QByteArray payload;
    payload.append(char(packet.type));
    if (Packet::isNamed(packet.type) && !appendName(payload, packet.name, error))
        return std::nullopt;
    if (Packet::carriesMessage(packet.type)) {
        const std::optional<QByteArray> message = encode(packet.message, error);
        if (!message)
            return std::nullopt;
        payload.append(*message);
    }
    if (payload.size() > MaxFrameLength) {
        if (error)
            *error = u"the message of %1 bytes exceeds the 512 KiB limit"_s.arg(payload.size());
        return std::nullopt;
    }
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian(quint32(payload.size()), frame.data());
    frame.append(payload);
    return frame;
}

std::optional<Packet> decodePacket(QByteArrayView payload, QString *error)
{
    auto fail = [error](const QString &why) -> std::optional<Packet> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (payload.isEmpty())
        return fail(u"empty packet"_s);
    const quint8 type = quint8(payload[0]);
    if (type > quint8(PacketType::Event))
        return fail(u"unknown packet type %1"_s.arg(type));
    Packet packet;
    packet.type = PacketType(type);
    qsizetype pos = 1;
    if (Packet::isNamed(packet.type)) {
        if (payload.size() < 2)
            return fail(u"packet ends before its name"_s);
        const qsizetype length = quint8(payload[1]);
        if (payload.size() - 2 < length)
            return fail(u"packet ends inside its name"_s);
        packet.name = payload.sliced(2, length).toByteArray();
        pos = 2 + length;
    }
    const QByteArrayView rest = payload.sliced(pos);
    if (Packet::carriesMessage(packet.type)) {
        QString why;
        std::optional<Message> message = decode(rest, &why);
        if (!message)
            return fail(u"malformed message: "_s + why);
        packet.message = std::move(*message);
    } else if (!rest.isEmpty()) {
        return fail(u"%1 unexpected bytes after a packet of type %2"_s.arg(rest.size()).arg(type));
    }
    return packet;
}

FrameReader::Result FrameReader::next(Packet *packet, QString *error)
{
    if (m_buffer.size() < 4)
        return Result::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData());
    if (length == 0) {
        if (error)
            *error = u"empty frame"_s;
        return Result::Error;
    }
    if (length > quint32(MaxFrameLength)) {
        if (error)
            *error = u"frame of %1 bytes exceeds the 512 KiB limit"_s.arg(length);
        return Result::Error;
    }
    if (m_buffer.size() - 4 < qsizetype(length))
        return Result::NeedMore;
    std::optional<Packet> decoded = decodePacket(QByteArrayView(m_buffer).sliced(4, length), error);
    m_buffer.remove(0, 4 + qsizetype(length));
    if (!decoded)
        return Result::Error;
    *packet = std::move(*decoded);
    return Result::Packet;
}

} // namespace Vici
