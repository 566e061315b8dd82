// The VICI wire format (messages, packets, frames) and the client that
// speaks it over a socket to a stand-in daemon.
#include "platform/Vici.h"
#include "platform/ViciClient.h"
#include "support/FakeViciServer.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using Answer = FakeViciServer::Answer;

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

struct Recorder
{
    QList<ViciClient::Reply> replies;
    ViciClient::Handler handler()
    {
        return [this](const ViciClient::Reply &reply) { replies.append(reply); };
    }
};

Vici::Message keyValue(const QByteArray &key, const QByteArray &value)
{
    Vici::Message message;
    message.set(key, value);
    return message;
}

} // namespace

class TestVici : public QObject
{
    Q_OBJECT

private slots:
    // Names up to 255 bytes, values up to 65535 and frames up to 512 KiB
    // round-trip; one byte more is refused when encoding.
    void theLimitsOfTheWire()
    {
        Vici::Message message;
        message.set(QByteArray(255, 'n'), QByteArray(0xFFFF, 'v'));
        message.set("binary", QByteArray("\x00\x01\x02", 3));
        message.set("empty", QByteArray());
        message.setList("none", {});
        message.setSection("empty-section", {});
        QCOMPARE(Vici::decode(*Vici::encode(message)), message);
        // An existing name is replaced in place.
        message.set("binary", "text");
        QCOMPARE(message.entries().size(), std::size_t(5));
        QCOMPARE(message.text("binary"), u"text"_s);
        QByteArray deep;
        for (int i = 0; i < Vici::MaxSectionDepth; ++i)
            deep += bytes({1, 1, 's'});
        QVERIFY(Vici::decode(QByteArray(deep + QByteArray(Vici::MaxSectionDepth, '\x02'))));

        QString error;
        Vici::Message longName;
        longName.set(QByteArray(256, 'n'), "v");
        QVERIFY(!Vici::encode(longName, &error));
        QVERIFY2(error.contains(u"255"_s), qPrintable(error));
        Vici::Message longValue;
        longValue.setList("l", {QByteArray(0x10000, 'v')});
        QVERIFY(!Vici::encode(longValue, &error));
        QVERIFY2(error.contains(u"65535"_s), qPrintable(error));

        // Type byte + 8 key/values of (5 + length) bytes = exactly 512 KiB.
        Vici::Message big;
        for (char key = 'a'; key < 'h'; ++key)
            big.set(QByteArray(1, key), QByteArray(0xFFFF, 'x'));
        big.set("h", QByteArray(65502, 'x'));
        Vici::Packet packet{Vici::PacketType::CmdResponse, {}, big};
        const std::optional<QByteArray> frame = Vici::encodeFrame(packet);
        QVERIFY(frame);
        QCOMPARE(frame->size(), 4 + Vici::MaxFrameLength);
        Vici::FrameReader reader;
        reader.append(*frame);
        Vici::Packet decoded;
        QCOMPARE(reader.next(&decoded, &error), Vici::FrameReader::Result::Packet);
        QCOMPARE(decoded.message, big);
        packet.message.set("i", "1");
        QVERIFY(!Vici::encodeFrame(packet, &error));
        QVERIFY2(error.contains(u"512 KiB"_s), qPrintable(error));
    }

    // A length over the limit is refused as soon as it is read, not after
    // waiting for half a megabyte that may never come. A response's message
    // is decoded as the frame is read.
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
        QTest::newRow("response malformed") << framed(bytes({1, 9})) << u"malformed message: unknown element type 9"_s;
        const auto response = [&framed](const QByteArray &message) { return framed(bytes({1}) + message); };
        QTest::newRow("unknown element") << response(bytes({7})) << u"unknown element type 7"_s;
        QTest::newRow("element zero") << response(bytes({0})) << u"unknown element type 0"_s;
        QTest::newRow("name cut") << response(bytes({3, 4, 'k', 'e'})) << u"truncated"_s;
        QTest::newRow("value length cut") << response(bytes({3, 1, 'k', 0})) << u"truncated"_s;
        QTest::newRow("value longer than the rest") << response(bytes({3, 1, 'k', 0xFF, 0xFF, 'v'})) << u"truncated"_s;
        QTest::newRow("section end alone") << response(bytes({2})) << u"without a section"_s;
        QTest::newRow("section left open") << response(bytes({1, 1, 's'})) << u"section(s) open"_s;
        QTest::newRow("list left open") << response(bytes({4, 1, 'l', 5, 0, 0})) << u"inside the list"_s;
        QTest::newRow("list in a list") << response(bytes({4, 1, 'l', 4, 1, 'm'})) << u"list inside a list"_s;
        QTest::newRow("key in a list") << response(bytes({4, 1, 'l', 3, 1, 'k', 0, 0})) << u"key/value inside a list"_s;
        QTest::newRow("section in a list") << response(bytes({4, 1, 'l', 1, 1, 's'})) << u"section inside a list"_s;
        QTest::newRow("section end in a list") << response(bytes({1, 1, 's', 4, 1, 'l', 2})) << u"inside a list"_s;
        QTest::newRow("item outside a list") << response(bytes({5, 0, 0})) << u"outside a list"_s;
        QTest::newRow("list end alone") << response(bytes({6})) << u"without a list"_s;
        QByteArray deep;
        for (int i = 0; i <= Vici::MaxSectionDepth; ++i)
            deep += bytes({1, 1, 's'});
        QTest::newRow("too deep") << response(deep) << u"nested deeper"_s;
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

    // One command is sent at a time. A command or event the daemon does not
    // know, or a value too long to send, fails only itself.
    void eachCommandGetsItsOwnReplyInTurn()
    {
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        server.setHandler("frobnicate", [](const Vici::Message &) { return Answer::unknown(); });
        ViciClient client(server.socketPath());
        Recorder held, version, unknown, tooLong;
        client.call("initiate", {}, held.handler());
        client.call("frobnicate", {}, unknown.handler());
        client.registerEvent("no-such-event", unknown.handler());
        client.call("load-cert", keyValue("data", QByteArray(70000, 'x')), tooLong.handler());
        client.call("version", keyValue("a", "b"), version.handler());
        QTRY_COMPARE(server.commands(), QList<QByteArray>{"initiate"});
        QTest::qWait(50);
        QCOMPARE(server.commands(), QList<QByteArray>{"initiate"});
        QVERIFY(version.replies.isEmpty());
        server.respond(keyValue("daemon", "charon"));
        QTRY_COMPARE(version.replies.size(), 1);
        QCOMPARE(held.replies[0].message.text("daemon"), u"charon"_s);
        QVERIFY(version.replies[0].ok());
        QCOMPARE(server.lastRequest("version"), keyValue("a", "b"));
        QCOMPARE(unknown.replies.size(), 2);
        QCOMPARE(unknown.replies[0].error, u"the IKE daemon does not know the command \"frobnicate\""_s);
        QCOMPARE(unknown.replies[1].error, u"the IKE daemon does not know the event \"no-such-event\""_s);
        QCOMPARE(tooLong.replies.size(), 1);
        QVERIFY2(tooLong.replies[0].error.contains(u"65535"_s), qPrintable(tooLong.replies[0].error));
        QVERIFY(!server.commands().contains("load-cert"));
        QCOMPARE(server.connectionCount(), 1);
    }

    // The bytes come one at a time (every other client test gets whole frames).
    void deliversEventsInTheMiddleOfAResponse()
    {
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setByteByByte(true);
        server.setHandler("list-sas", [](const Vici::Message &) {
            Answer answer;
            answer.eventsBefore = {{"list-sa", keyValue("first", "1")}, {"list-sa", keyValue("second", "2")}};
            answer.message.set("done", "yes");
            return answer;
        });
        ViciClient client(server.socketPath());
        QStringList seen;
        QObject::connect(&client, &ViciClient::eventReceived, &client,
                         [&seen](const QByteArray &name, const Vici::Message &message) {
                             seen.append(QString::fromUtf8(name) + u':' + QString::fromUtf8(message.entries()[0].name));
                         });
        Recorder registration;
        client.registerEvent("list-sa", registration.handler());
        client.call("list-sas", {}, [&seen](const ViciClient::Reply &reply) {
            seen.append(u"response:"_s + reply.message.text("done"));
        });
        QTRY_COMPARE(seen.size(), 3);
        QCOMPARE(seen, (QStringList{u"list-sa:first"_s, u"list-sa:second"_s, u"response:yes"_s}));
        QVERIFY(registration.replies[0].ok());
    }

    void dropsTheConnectionOnHostileInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("whileWaiting");
        QTest::addColumn<QString>("error");
        QTest::newRow("oversized length") << lengthPrefix(0x7FFFFFFF) << true << u"exceeds the 512 KiB limit"_s;
        QTest::newRow("a request from the daemon")
            << FakeViciServer::frame(Vici::PacketType::CmdRequest, "version") << true << u"only clients send"_s;
        QTest::newRow("confirmation for a command")
            << FakeViciServer::frame(Vici::PacketType::EventConfirm) << true << u"nobody asked for"_s;
        QTest::newRow("response nobody asked for")
            << FakeViciServer::frame(Vici::PacketType::CmdResponse) << false << u"nobody asked for"_s;
        QTest::newRow("closed in the middle of a frame")
            << QByteArray("\x00\x00\x00\x10\x01", 5) << true << u"in the middle of a message"_s;
        QTest::newRow("no answer in time") << QByteArray() << true
                                           << u"the IKE daemon did not answer \"initiate\" within 0.2 s"_s;
    }

    // The next request opens a fresh connection, and a late answer on the
    // old one is not taken for it.
    void dropsTheConnectionOnHostileInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, whileWaiting);
        QFETCH(QString, error);
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        ViciClient client(server.socketPath());
        if (bytes.isEmpty())
            client.setTimeout(200);
        QSignalSpy lost(&client, &ViciClient::connectionLost);
        Recorder recorder;
        client.call(whileWaiting ? "initiate" : "version", {}, recorder.handler());
        client.call("queued", {}, recorder.handler());
        QTRY_VERIFY(!server.commands().isEmpty());
        if (!whileWaiting)
            QTRY_COMPARE(recorder.replies.size(), 2);
        if (!bytes.isEmpty())
            server.sendRaw(bytes);
        if (QTest::currentDataTag() == QByteArray("closed in the middle of a frame")) {
            QTest::qWait(20);
            server.closeConnections();
        }
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY2(lost[0][0].toString().contains(error), qPrintable(lost[0][0].toString()));
        if (whileWaiting) {
            QTRY_COMPARE(recorder.replies.size(), 2);
            for (const ViciClient::Reply &reply : recorder.replies)
                QCOMPARE(reply.error, lost[0][0].toString());
        }
        QVERIFY(!client.isConnected());

        if (bytes.isEmpty())
            server.respond(keyValue("success", "late"), 0);
        Recorder after;
        client.call("version", {}, after.handler());
        QTRY_COMPARE(after.replies.size(), 1);
        QCOMPARE(after.replies[0].message.value("success"), QByteArray("yes"));
        QCOMPARE(server.connectionCount(), 2);
    }

    // A plain file at the path (nothing listening there is the adapter's test).
    void reportsAMissingDaemon()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"charon.vici"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        ViciClient client(path);
        QSignalSpy lost(&client, &ViciClient::connectionLost);
        Recorder recorder;
        client.call("version", {}, recorder.handler());
        client.call("version", {}, recorder.handler());
        QTRY_COMPARE(recorder.replies.size(), 2);
        QVERIFY2(recorder.replies[1].error.contains(u"charon"_s), qPrintable(recorder.replies[1].error));
        QVERIFY2(recorder.replies[1].error.contains(path), qPrintable(recorder.replies[1].error));
        QCOMPARE(lost.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVici)
#include "tst_vici.moc"
