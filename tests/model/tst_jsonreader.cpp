#include "model/InternetDateTime.h"
#include "model/JsonReader.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

enum class Tier { Free, Monthly };

struct Inner
{
    Tier tier;
    std::optional<QDateTime> expiresAt;
    static Inner decode(const JsonReader &json)
    {
        return {json.enumeration<Tier>(u"tier"_s, {{u"free", Tier::Free}, {u"monthly", Tier::Monthly}}),
                json.optionalDate(u"expires_at"_s)};
    }
};

struct Outer
{
    qint64 count;
    std::optional<Inner> inner;
    QList<Inner> items;
    static Outer decode(const JsonReader &json)
    {
        return {json.integer(u"count"_s), json.optionalRecord<Inner>(u"inner"_s), json.records<Inner>(u"items"_s)};
    }
};

QString decodeError(const QByteArray &body)
{
    QString error;
    if (tryDecodeBody<Outer>(body, &error))
        return u"<decoded>"_s;
    return error;
}

} // namespace

class TestJsonReader : public QObject
{
    Q_OBJECT

private slots:
    void internetDateTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("withFraction");
        QTest::addColumn<bool>("withoutFraction");
        QTest::addColumn<qint64>("msecsSinceEpoch");
        QTest::newRow("plain") << u"2026-01-31T12:00:00Z"_s << false << true << Q_INT64_C(1769860800000);
        QTest::newRow("fraction") << u"2026-01-31T12:00:00.5Z"_s << true << false << Q_INT64_C(1769860800500);
        QTest::newRow("long fraction") << u"2026-01-31T12:00:00.123456Z"_s << true << false << Q_INT64_C(1769860800123);
        QTest::newRow("offset") << u"2026-01-31T14:00:00+02:00"_s << false << true << Q_INT64_C(1769860800000);
        QTest::newRow("bare date") << u"2026-01-31"_s << false << false << qint64(0);
        QTest::newRow("no zone") << u"2026-01-31T12:00:00"_s << false << false << qint64(0);
        QTest::newRow("space separator") << u"2026-01-31 12:00:00Z"_s << false << false << qint64(0);
        QTest::newRow("empty fraction") << u"2026-01-31T12:00:00.Z"_s << false << false << qint64(0);
        QTest::newRow("bad day") << u"2026-02-30T12:00:00Z"_s << false << false << qint64(0);
        QTest::newRow("trailing text") << u"2026-01-31T12:00:00Zx"_s << false << false << qint64(0);
        QTest::newRow("empty") << QString() << false << false << qint64(0);
    }

    void internetDateTimes()
    {
        QFETCH(QString, text);
        QFETCH(bool, withFraction);
        QFETCH(bool, withoutFraction);
        QFETCH(qint64, msecsSinceEpoch);
        const auto with = InternetDateTime::parse(text, InternetDateTime::Fraction::Required);
        const auto without = InternetDateTime::parse(text, InternetDateTime::Fraction::Without);
        QCOMPARE(bool(with), withFraction);
        QCOMPARE(bool(without), withoutFraction);
        const auto either = InternetDateTime::parseEither(text);
        QCOMPARE(bool(either), withFraction || withoutFraction);
        if (either)
            QCOMPARE(either->toMSecsSinceEpoch(), msecsSinceEpoch);
    }

    void errorsNameTheKey_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << QByteArray(R"({"items":[]})") << u"Missing key \"count\""_s;
        QTest::newRow("fractional integer") << QByteArray(R"({"count":1.5,"items":[]})")
                                            << u"Wrong type for key \"count\": expected integer, found number"_s;
        QTest::newRow("integer as text") << QByteArray(R"({"count":"1","items":[]})")
                                         << u"Wrong type for key \"count\": expected integer, found string"_s;
        QTest::newRow("nested enum") << QByteArray(R"({"count":1,"items":[],"inner":{"tier":"gold"}})")
                                     << u"Unknown value \"gold\" for key \"inner.tier\""_s;
        QTest::newRow("array element") << QByteArray(R"({"count":1,"items":[{"tier":"free"},{"tier":3}]})")
                                       << u"Wrong type for key \"items[1].tier\": expected string, found number"_s;
        QTest::newRow("element not object") << QByteArray(R"({"count":1,"items":[7]})")
                                            << u"Wrong type for key \"items[0]\": expected object, found number"_s;
        QTest::newRow("top level array") << QByteArray("[]") << u"Expected a JSON object at the top level"_s;
        QTest::newRow("date without time") << QByteArray(R"({"count":1,"items":[],"inner":{"tier":"free","expires_at":"2026-01-31"}})")
                                           << u"Cannot decode date: 2026-01-31"_s;
    }

    void errorsNameTheKey()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QCOMPARE(decodeError(body), error);
    }

    void optionalsAndExtraKeys()
    {
        const auto outer = tryDecodeBody<Outer>(R"({"count":3,"items":[],"inner":null,"extra":{"x":1}})");
        QVERIFY(outer);
        QCOMPARE(outer->count, 3);
        QVERIFY(!outer->inner);
        const auto withInner = tryDecodeBody<Outer>(R"({"count":3,"items":[{"tier":"monthly"}],"inner":{"tier":"free"}})");
        QVERIFY(withInner && withInner->inner);
        QVERIFY(!withInner->inner->expiresAt);
        QCOMPARE(withInner->items.first().tier, Tier::Monthly);
        const JsonReader reader(QJsonObject{{u"d"_s, u"2026-01-31T12:00:00.5Z"_s}});
        QVERIFY_THROWS_EXCEPTION(DecodeError, reader.date(u"d"_s, JsonReader::DateRule::NoFraction));
        // Present but of the wrong type is an error, not "absent".
        QVERIFY(decodeError(R"({"count":3,"items":[],"inner":"x"})").startsWith(u"Wrong type for key \"inner\""_s));
    }

    void malformedBodiesNeverDecode()
    {
        for (const QByteArray &body : {QByteArray(), QByteArray("\xff\xfe"), QByteArray("{\"count\":"),
                                       QByteArray("null"), QByteArray("{\"count\":1e400,\"items\":[]}")})
            QVERIFY2(decodeError(body) != u"<decoded>"_s, body.constData());
    }

    void referenceSeconds()
    {
        const QDateTime date = *InternetDateTime::parseEither(u"2001-01-02T00:00:00Z");
        QCOMPARE(InternetDateTime::toReferenceSeconds(date), 86400.0);
        QCOMPARE(InternetDateTime::fromReferenceSeconds(86400.5).toMSecsSinceEpoch(), date.toMSecsSinceEpoch() + 500);
        QCOMPARE(InternetDateTime::logDescription(date), u"2001-01-02 00:00:00 +0000"_s);
    }
};

QTEST_GUILESS_MAIN(TestJsonReader)
#include "tst_jsonreader.moc"
