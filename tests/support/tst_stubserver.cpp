#include "support/StubServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

// Only the report of unexpected requests: a fault in anything else of the
// stub fails the network tests, a silent report would fail none of them.
class TestStubServer : public QObject
{
    Q_OBJECT

private slots:
    void unknownRoutesAreAnsweredAndRecorded()
    {
        StubServer server;
        server.expectUnexpected();
        QNetworkAccessManager network;
        const std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(server.baseUrl() + u"/nowhere?x=1"_s))));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        QCOMPARE(server.unexpectedSummary(), u"unexpected requests to the stub server: GET /nowhere?x=1"_s);
    }
};

QTEST_GUILESS_MAIN(TestStubServer)
#include "tst_stubserver.moc"
