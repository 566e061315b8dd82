#include "platform/Vici.h"

#include <QtEndian>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

QByteArray lengthPrefix(quint32 length)
{
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian(length, out.data());
    return out;
}

} // namespace

class TestVici : public QObject
{
    Q_OBJECT

private slots:
    // The encoding example of the protocol description, byte for byte.
    void encodesTheProtocolExample()
    {
        Vici::Message sub;
        sub.set("key2", "value2");
        Vici::Message section;
        section.setSection("sub-section", sub);
        section.setList("list1", {"item1", "item2"});
        Vici::Message message;
        message.set("key1", "value1");
        message.setSection("section1", section);

        const QByteArray expected = QByteArray("\x03\x04key1\x00\x06value1", 14)
            + QByteArray("\x01\x08section1", 10) + QByteArray("\x01\x0bsub-section", 13)
            + QByteArray("\x03\x04key2\x00\x06value2", 14) + QByteArray("\x02", 1)
            + QByteArray("\x04\x05list1", 7) + QByteArray("\x05\x00\x05item1", 8)
            + QByteArray("\x05\x00\x05item2", 8) + QByteArray("\x06\x02", 2);
        QCOMPARE(Vici::encode(message), expected);

        const std::optional<Vici::Message> decoded = Vici::decode(expected);
        QVERIFY(decoded);
        QCOMPARE(*decoded, message);
        QCOMPARE(decoded->text("key1"), u"value1"_s);
        QCOMPARE(decoded->section("section1")->section("sub-section")->text("key2"), u"value2"_s);
        QCOMPARE(decoded->section("section1")->list("list1"), (QList<QByteArray>{"item1", "item2"}));
    }

    void roundTripsTheLimits()
    {
        Vici::Message message;
        message.set(QByteArray(255, 'n'), QByteArray(0xFFFF, 'v'));
        message.set("binary", QByteArray("\x00\x01\x02", 3));
        message.set("empty", QByteArray());
        message.setList("none", {});
        message.setSection("empty-section", {});
        QCOMPARE(Vici::decode(*Vici::encode(message)), message);
        // Setting an existing name replaces it in place.
        message.set("binary", "text");
        QCOMPARE(message.entries().size(), std::size_t(5));
        QCOMPARE(message.text("binary"), u"text"_s);
        // The deepest nesting allowed (one more is refused below).
        QByteArray deep;
        for (int i = 0; i < Vici::MaxSectionDepth; ++i)
            deep += bytes({1, 1, 's'});
        QVERIFY(Vici::decode(QByteArray(deep + QByteArray(Vici::MaxSectionDepth, '\x02'))));
    }

    void refusesWhatTheWireCannotCarry()
    {
        QString error;
        Vici::Message longName;
        longName.set(QByteArray(256, 'n'), "v");
        QVERIFY(!Vici::encode(longName, &error));
        QVERIFY2(error.contains(u"255"_s), qPrintable(error));
        Vici::Message longValue;
        longValue.setList("l", {QByteArray(0x10000, 'v')});
        QVERIFY(!Vici::encode(longValue, &error));
        QVERIFY2(error.contains(u"65535"_s), qPrintable(error));
    }

    void rejectsMalformedMessages_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown element") << bytes({7}) << u"unknown element type 7"_s;
        QTest::newRow("element zero") << bytes({0}) << u"unknown element type 0"_s;
        QTest::newRow("name cut") << bytes({3, 4, 'k', 'e'}) << u"truncated"_s;
        QTest::newRow("value length cut") << bytes({3, 1, 'k', 0}) << u"truncated"_s;
        QTest::newRow("value longer than the rest") << bytes({3, 1, 'k', 0xFF, 0xFF, 'v'}) << u"truncated"_s;
        QTest::newRow("section end alone") << bytes({2}) << u"without a section"_s;
        QTest::newRow("section left open") << bytes({1, 1, 's'}) << u"section(s) open"_s;
        QTest::newRow("list left open") << bytes({4, 1, 'l', 5, 0, 0}) << u"inside the list"_s;
        QTest::newRow("list in a list") << bytes({4, 1, 'l', 4, 1, 'm'}) << u"list inside a list"_s;
        QTest::newRow("key in a list") << bytes({4, 1, 'l', 3, 1, 'k', 0, 0}) << u"key/value inside a list"_s;
        QTest::newRow("section in a list") << bytes({4, 1, 'l', 1, 1, 's'}) << u"section inside a list"_s;
        QTest::newRow("section end in a list") << bytes({1, 1, 's', 4, 1, 'l', 2}) << u"inside a list"_s;
        QTest::newRow("item outside a list") << bytes({5, 0, 0}) << u"outside a list"_s;
        QTest::newRow("list end alone") << bytes({6}) << u"without a list"_s;
        QByteArray deep;
        for (int i = 0; i <= Vici::MaxSectionDepth; ++i)
            deep += bytes({1, 1, 's'});
        QTest::newRow("too deep") << deep << u"nested deeper"_s; // one level more than allowed
    }

    void rejectsMalformedMessages()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, error);
        QString why;
        QVERIFY(!Vici::decode(input, &why));
        QVERIFY2(why.contains(error), qPrintable(why));
    }

    // An event and the response it interrupts, fed one byte at a time.
    void readsFramesByteByByte()
    {
        Vici::Message event;
        event.set("up", "yes");
        Vici::Packet eventPacket{Vici::PacketType::Event, "ike-updown", event};
        Vici::Message response;
        response.set("success", "yes");
        Vici::Packet responsePacket{Vici::PacketType::CmdResponse, {}, response};
        const QByteArray stream = *Vici::encodeFrame(eventPacket) + *Vici::encodeFrame(responsePacket);

        Vici::FrameReader reader;
        QList<Vici::Packet> packets;
        for (char byte : stream) {
            reader.append(QByteArrayView(&byte, 1));
            Vici::Packet packet;
            QString error;
            Vici::FrameReader::Result result;
            while ((result = reader.next(&packet, &error)) == Vici::FrameReader::Result::Packet)
                packets.append(packet);
            QCOMPARE(result, Vici::FrameReader::Result::NeedMore);
        }
        QCOMPARE(packets.size(), 2);
        QCOMPARE(packets[0].type, Vici::PacketType::Event);
        QCOMPARE(packets[0].name, QByteArray("ike-updown"));
        QCOMPARE(packets[0].message, event);
        QCOMPARE(packets[1].type, Vici::PacketType::CmdResponse);
        QCOMPARE(packets[1].message, response);
        QVERIFY(!reader.hasPartialFrame());
    }

    // A length over the limit is refused as soon as the length is read, not
    // after waiting for half a megabyte that may never come; an empty frame
    // and a malformed packet are refused too.
    void refusesBadFrames_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("error");
        QTest::newRow("over 512 KiB") << lengthPrefix(512 * 1024 + 1) << u"exceeds the 512 KiB limit"_s;
        QTest::newRow("4 GiB") << lengthPrefix(0xFFFFFFFF) << u"exceeds the 512 KiB limit"_s;
        QTest::newRow("zero") << lengthPrefix(0) << u"empty frame"_s;
        const auto framed = [](const QByteArray &payload) -> QByteArray {
            return lengthPrefix(quint32(payload.size())) + payload;
        };
        QTest::newRow("unknown type") << framed(bytes({8})) << u"unknown packet type 8"_s;
        QTest::newRow("event without name") << framed(bytes({7})) << u"before its name"_s;
        QTest::newRow("event name cut") << framed(bytes({7, 5, 'a'})) << u"inside its name"_s;
        QTest::newRow("confirm with bytes") << framed(bytes({5, 1})) << u"unexpected bytes"_s;
        QTest::newRow("response malformed") << framed(bytes({1, 9})) << u"malformed message"_s;
    }

    void refusesBadFrames()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, error);
        Vici::FrameReader reader;
        reader.append(input);
        Vici::Packet packet;
        QString why;
        QCOMPARE(reader.next(&packet, &why), Vici::FrameReader::Result::Error);
        QVERIFY2(why.contains(error), qPrintable(why));
    }

    void framesUpToTheLimit()
    {
        // Type byte + 8 key/values of (5 + length) bytes = exactly 512 KiB.
        Vici::Message message;
        for (char key = 'a'; key < 'h'; ++key)
            message.set(QByteArray(1, key), QByteArray(0xFFFF, 'x'));
        message.set("h", QByteArray(65502, 'x'));
        Vici::Packet packet{Vici::PacketType::CmdResponse, {}, message};
        const std::optional<QByteArray> frame = Vici::encodeFrame(packet);
        QVERIFY(frame);
        QCOMPARE(frame->size(), 4 + Vici::MaxFrameLength);
        Vici::FrameReader reader;
        reader.append(*frame);
        Vici::Packet decoded;
        QString error;
        QCOMPARE(reader.next(&decoded, &error), Vici::FrameReader::Result::Packet);
        QCOMPARE(decoded.message, message);

        packet.message.set("i", "1");
        QVERIFY(!Vici::encodeFrame(packet, &error));
        QVERIFY2(error.contains(u"512 KiB"_s), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestVici)
#include "tst_vici.moc"
