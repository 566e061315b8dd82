#include "support/StubServer.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Sends one request with Qt's own client and waits for its end.
std::unique_ptr<QNetworkReply> fetch(QNetworkAccessManager &network, const QString &url, const QByteArray &method = "GET",
                                     const QByteArray &body = {})
{
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(500);
    request.setRawHeader("X-Probe", "yes");
    std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(5000);
    return reply;
}

} // namespace

// The server every network test relies on: routes, recording, keep-alive,
// delays, and the failure a request no route expects causes.
class TestStubServer : public QObject
{
    Q_OBJECT

private slots:
    void routesRecordsAndDelays()
    {
        StubServer server;
        QNetworkAccessManager network;
        server.on("GET", u"/items?page=2"_s, StubServer::Response::json(200, R"({"page":2})"));
        server.on("GET", u"/items"_s, StubServer::Response::text(200, "any page"));
        server.on("POST", u"/items"_s, StubServer::Response::empty(204).after(std::chrono::milliseconds(200)));

        // Three requests, kept alive on one connection by the client.
        QCOMPARE(fetch(network, server.baseUrl() + u"/items?page=1"_s)->readAll(), QByteArray("any page"));
        QCOMPARE(fetch(network, server.baseUrl() + u"/items?page=2"_s)->readAll(), QByteArray(R"({"page":2})"));
        QElapsedTimer clock;
        clock.start();
        const auto posted = fetch(network, server.baseUrl() + u"/items"_s, "POST", QByteArray("\x00\xff raw", 6));
        QCOMPARE(posted->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 204);
        QVERIFY(clock.elapsed() >= 190);

        const auto requests = server.requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(requests[0].query, u"page=1"_s);
        QCOMPARE(requests[1].path, u"/items"_s);
        QCOMPARE(requests[2].method, QByteArray("POST"));
        QCOMPARE(requests[2].body, QByteArray("\x00\xff raw", 6));
        QCOMPARE(requests[2].header("x-probe"), QByteArray("yes"));
        QCOMPARE(server.requests("GET", u"/items"_s).size(), 2);
    }

    void unknownRoutesAreAnsweredAndRecorded()
    {
        StubServer server;
        server.expectUnexpected();
        QNetworkAccessManager network;
        const auto reply = fetch(network, server.baseUrl() + u"/nowhere?x=1"_s);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        QCOMPARE(server.unexpectedSummary(), u"unexpected requests to the stub server: GET /nowhere?x=1"_s);
    }
};

QTEST_GUILESS_MAIN(TestStubServer)
#include "tst_stubserver.moc"
