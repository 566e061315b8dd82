#include "platform/ViciClient.h"
#include "support/FakeViciServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

using namespace Qt::StringLiterals;
using Answer = FakeViciServer::Answer;

namespace {

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

class TestViciClient : public QObject
{
    Q_OBJECT

private slots:
    // Each reply comes from the event loop, never inside call(). A command or
    // event the daemon does not know, or a value too long to send, fails
    // only itself: the connection stays and the next command is answered.
    void eachCommandGetsItsOwnReply()
    {
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("version", [](const Vici::Message &) {
            Answer answer;
            answer.message.set("daemon", "charon");
            return answer;
        });
        server.setHandler("frobnicate", [](const Vici::Message &) { return Answer::unknown(); });
        ViciClient client(server.socketPath());
        Recorder version, unknown, tooLong;
        client.call("version", {}, version.handler());
        client.call("frobnicate", {}, unknown.handler());
        client.registerEvent("no-such-event", unknown.handler());
        client.call("load-cert", keyValue("data", QByteArray(70000, 'x')), tooLong.handler());
        client.call("version", keyValue("a", "b"), version.handler());
        QVERIFY(version.replies.isEmpty());
        QTRY_COMPARE(version.replies.size(), 2);
        QCOMPARE(version.replies[0].message.text("daemon"), u"charon"_s);
        QVERIFY(version.replies[1].ok());
        QCOMPARE(server.lastRequest("version"), keyValue("a", "b"));
        QTRY_COMPARE(unknown.replies.size(), 2);
        QCOMPARE(unknown.replies[0].error, u"the IKE daemon does not know the command \"frobnicate\""_s);
        QCOMPARE(unknown.replies[1].error, u"the IKE daemon does not know the event \"no-such-event\""_s);
        QTRY_COMPARE(tooLong.replies.size(), 1);
        QVERIFY2(tooLong.replies[0].error.contains(u"65535"_s), qPrintable(tooLong.replies[0].error));
        QVERIFY(!server.commands().contains("load-cert"));
        QCOMPARE(server.connectionCount(), 1);
    }

    void sendsOneCommandAtATime()
    {
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        ViciClient client(server.socketPath());
        QList<QByteArray> order;
        client.call("initiate", {}, [&order](const ViciClient::Reply &) { order.append("initiate"); });
        client.call("terminate", {}, [&order](const ViciClient::Reply &) { order.append("terminate"); });
        QTRY_COMPARE(server.commands(), QList<QByteArray>{"initiate"});
        QTest::qWait(50);
        QCOMPARE(server.commands(), QList<QByteArray>{"initiate"});
        server.respond(keyValue("success", "yes"));
        QTRY_COMPARE(order, (QList<QByteArray>{"initiate", "terminate"}));
        QCOMPARE(server.commands(), (QList<QByteArray>{"initiate", "terminate"}));
        QCOMPARE(server.connectionCount(), 1);
    }

    void deliversEventsInTheMiddleOfAResponse_data()
    {
        QTest::addColumn<bool>("byteByByte");
        QTest::newRow("whole frames") << false;
        QTest::newRow("byte by byte") << true;
    }

    void deliversEventsInTheMiddleOfAResponse()
    {
        QFETCH(bool, byteByByte);
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setByteByByte(byteByByte);
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
        QByteArray huge(4, Qt::Uninitialized);
        qToBigEndian(quint32(0x7FFFFFFF), huge.data());
        QTest::newRow("oversized length") << huge << true << u"exceeds the 512 KiB limit"_s;
        QTest::newRow("unknown packet type") << QByteArray("\x00\x00\x00\x01\x09", 5) << true
                                             << u"unknown packet type 9"_s;
        QTest::newRow("malformed message") << QByteArray("\x00\x00\x00\x03\x01\x03\x05", 7) << true
                                           << u"malformed message"_s;
        QTest::newRow("a request from the daemon")
            << FakeViciServer::frame(Vici::PacketType::CmdRequest, "version") << true << u"only clients send"_s;
        QTest::newRow("confirmation for a command")
            << FakeViciServer::frame(Vici::PacketType::EventConfirm) << true << u"nobody asked for"_s;
        QTest::newRow("response nobody asked for")
            << FakeViciServer::frame(Vici::PacketType::CmdResponse) << false << u"nobody asked for"_s;
        QTest::newRow("closed in the middle of a frame")
            << QByteArray("\x00\x00\x00\x10\x01", 5) << true << u"in the middle of a message"_s;
    }

    // Malformed bytes end the connection with a clear error for everything
    // that waits; the next request opens a fresh connection.
    void dropsTheConnectionOnHostileInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, whileWaiting);
        QFETCH(QString, error);
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        ViciClient client(server.socketPath());
        QSignalSpy lost(&client, &ViciClient::connectionLost);
        Recorder recorder;
        client.call(whileWaiting ? "initiate" : "version", {}, recorder.handler());
        client.call("queued", {}, recorder.handler());
        QTRY_VERIFY(!server.commands().isEmpty());
        if (!whileWaiting)
            QTRY_COMPARE(recorder.replies.size(), 2);
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

        Recorder after;
        client.call("version", {}, after.handler());
        QTRY_COMPARE(after.replies.size(), 1);
        QVERIFY(after.replies[0].ok());
        QCOMPARE(server.connectionCount(), 2);
    }

    void anUnansweredCommandTimesOut()
    {
        FakeViciServer server;
        QVERIFY(server.listen());
        server.setHandler("initiate", [](const Vici::Message &) { return Answer::hold(); });
        ViciClient client(server.socketPath());
        client.setTimeout(200);
        QSignalSpy lost(&client, &ViciClient::connectionLost);
        Recorder recorder;
        QElapsedTimer timer;
        timer.start();
        client.call("initiate", {}, recorder.handler());
        client.call("queued", {}, recorder.handler());
        QTRY_COMPARE(recorder.replies.size(), 2);
        QVERIFY(timer.elapsed() < 2000);
        QCOMPARE(recorder.replies[0].error, u"the IKE daemon did not answer \"initiate\" within 0.2 s"_s);
        QCOMPARE(recorder.replies[1].error, recorder.replies[0].error);
        QCOMPARE(lost.size(), 1);
        // A late answer to the dropped connection cannot be paired with a
        // later request.
        server.respond(keyValue("success", "late"), 0);
        Recorder after;
        client.call("version", {}, after.handler());
        QTRY_COMPARE(after.replies.size(), 1);
        QCOMPARE(after.replies[0].message.value("success"), QByteArray("yes"));
    }

    void reportsAMissingDaemon_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("error");
        QTest::newRow("no socket") << false << u"nothing listens at "_s;
        QTest::newRow("not a socket") << true << u"charon"_s;
    }

    void reportsAMissingDaemon()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"charon.vici"_s);
        if (fileExists) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        ViciClient client(path);
        QSignalSpy lost(&client, &ViciClient::connectionLost);
        Recorder recorder;
        client.call("version", {}, recorder.handler());
        client.call("version", {}, recorder.handler());
        QTRY_COMPARE(recorder.replies.size(), 2);
        QVERIFY2(recorder.replies[0].error.contains(error), qPrintable(recorder.replies[0].error));
        QVERIFY2(recorder.replies[0].error.contains(path), qPrintable(recorder.replies[0].error));
        QCOMPARE(lost.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestViciClient)
#include "tst_viciclient.moc"
