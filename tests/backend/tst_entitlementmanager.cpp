#include "backend/APIError.h"
#include "backend/EntitlementManager.h"
#include "support/BackendFixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kPath = u"/api/v1/subscriptions/status"_s;

QByteArray statusBody(const QString &status, const QString &expiresAt = u"2026-01-31T12:00:00Z"_s)
{
    return "{\"status\":\"" + status.toUtf8() + "\",\"plan\":\"personal_yearly\",\"expires_at\":\""
        + expiresAt.toUtf8() + "\",\"is_trial\":false}";
}

struct Fixture : BackendFixture
{
    EntitlementManager &manager = services.entitlements;
    Fixture() { manager.setTimeout(1s); }

    std::exception_ptr sync() { return runToEnd(manager.syncWithBackend(u"AT-1"_s)); }
};

} // namespace

class TestEntitlementManager : public QObject
{
    Q_OBJECT

private slots:
    void syncStoresTheRecordWithReferenceDates()
    {
        Fixture f;
        f.server.on("GET", kPath, StubServer::Response::json(200, statusBody(u"active"_s)));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(!f.sync());

        const auto request = f.server.requests().constFirst();
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer AT-1"));
        QVERIFY(!request.hasHeader("Content-Type"));

        const QJsonObject stored = QJsonDocument::fromJson(*f.defaults.appGroup().data(u"current_entitlement"_s)).object();
        QCOMPARE(stored.keys(), (QStringList{u"expiresAt"_s, u"isActive"_s, u"lastVerified"_s, u"provider"_s}));
        QCOMPARE(stored.value(u"expiresAt"_s).toDouble(), 791553600.0);
        QCOMPARE(stored.value(u"provider"_s).toString(), u"personal_yearly"_s);

        // A later start reads the same record.
        UserDefaults nextStart(f.defaults.appGroupPath());
        EntitlementManager next(nextStart, Endpoints::at(f.server.baseUrl()));
        const auto cache = next.loadCachedEntitlement();
        QVERIFY(cache);
        QVERIFY(cache->isActive);
        QCOMPARE(cache->expiresAt, QDateTime(QDate(2026, 1, 31), QTime(12, 0), Qt::UTC));
        QVERIFY(cache->lastVerified >= before && cache->lastVerified <= QDateTime::currentDateTimeUtc());

        // A cleared record, or one missing members, reads as none.
        f.manager.clearCache();
        QVERIFY(!f.manager.loadCachedEntitlement());
        f.defaults.appGroup().set(u"current_entitlement"_s, QByteArray("{\"isActive\":true}"));
        QVERIFY(!f.manager.loadCachedEntitlement());
    }

    void statusIsComparedExactly()
    {
        for (const auto &[status, active] : {std::pair(u"active"_s, true), {u"Active"_s, false}, {u"trial"_s, false}}) {
            Fixture f;
            f.server.on("GET", kPath, StubServer::Response::json(200, statusBody(status)));
            QVERIFY(!f.sync());
            QCOMPARE(f.manager.loadCachedEntitlement()->isActive, active);
        }
    }

    void failuresKeepTheOldRecord_data()
    {
        QTest::addColumn<StubServer::Response>("response");
        QTest::addColumn<QString>("error");
        QTest::newRow("fractional seconds")
            << StubServer::Response::json(200, statusBody(u"active"_s, u"2027-01-31T12:00:00.5Z"_s))
            << u"Cannot decode date: 2027-01-31T12:00:00.5Z"_s;
        QTest::newRow("401") << StubServer::Response::json(401, R"({"error":"expired"})")
                             << u"Subscription status request unauthorized"_s;
        QTest::newRow("201") << StubServer::Response::json(201, statusBody(u"active"_s))
                             << u"Subscription status server error"_s;
    }

    void failuresKeepTheOldRecord()
    {
        QFETCH(StubServer::Response, response);
        QFETCH(QString, error);
        Fixture f;
        f.manager.saveEntitlement(true, QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC), u"monthly"_s);
        const QByteArray before = *f.defaults.appGroup().data(u"current_entitlement"_s);
        f.server.on("GET", kPath, response);
        const std::exception_ptr thrown = f.sync();
        QVERIFY(thrown);
        QVERIFY2(describe(thrown).contains(error), qPrintable(describe(thrown)));
        QCOMPARE(*f.defaults.appGroup().data(u"current_entitlement"_s), before);
    }
};

QTEST_GUILESS_MAIN(TestEntitlementManager)
#include "tst_entitlementmanager.moc"
