// Value types and decoding: dates, JSON records, accounts, servers, connection states, secret masking.
#include "model/Account.h"
#include "model/AuthMessages.h"
#include "model/InternetDateTime.h"
#include "model/JsonReader.h"
#include "model/SecretMask.h"
#include "model/ServerLocation.h"
#include "model/VPNConnectionState.h"
#include "model/VPNProtocolType.h"

#include <QHostAddress>
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

// "<decoded>", or the error's description.
using Decoder = QString (*)(const QByteArray &);
template<typename T>
QString decodeAs(const QByteArray &body)
{
    QString error;
    return tryDecodeBody<T>(body, &error) ? u"<decoded>"_s : error;
}

QDateTime utc(const char16_t *text)
{
    return *InternetDateTime::parseEither(QStringView(text));
}

const QByteArray kUserResponse = "{\"id\":\"u1\",\"email\":\"a@b.c\",\"email_verified\":true,\"apple_linked\":false,"
                                 "\"created_at\":\"2026-01-31T12:00:00Z\"}";

} // namespace

Q_DECLARE_METATYPE(Decoder)

class TestModel : public QObject
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
        QVERIFY(decodeAs<Outer>(R"({"count":3,"items":[],"inner":"x"})").startsWith(u"Wrong type for key \"inner\""_s));
    }

    void malformedBodiesNeverDecode()
    {
        for (const QByteArray &body : {QByteArray(), QByteArray("\xff\xfe"), QByteArray("{\"count\":"),
                                       QByteArray("null"), QByteArray("{\"count\":1e400,\"items\":[]}")})
            QVERIFY2(decodeAs<Outer>(body) != u"<decoded>"_s, body.constData());
    }

    void referenceSeconds()
    {
        const QDateTime date = utc(u"2001-01-02T00:00:00Z");
        QCOMPARE(InternetDateTime::fromReferenceSeconds(86400.5).toMSecsSinceEpoch(), date.toMSecsSinceEpoch() + 500);
        QCOMPARE(InternetDateTime::logDescription(date), u"2001-01-02 00:00:00 +0000"_s);
    }

    void decodingAcceptsOrNamesTheFault_data()
    {
        QTest::addColumn<Decoder>("decode");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("result");
        const QString ok = u"<decoded>"_s;

        QTest::newRow("missing") << &decodeAs<Outer> << QByteArray(R"({"items":[]})") << u"Missing key \"count\""_s;
        QTest::newRow("fractional integer") << &decodeAs<Outer> << QByteArray(R"({"count":1.5,"items":[]})")
                                            << u"Wrong type for key \"count\": expected integer, found number"_s;
        QTest::newRow("integer as text") << &decodeAs<Outer> << QByteArray(R"({"count":"1","items":[]})")
                                         << u"Wrong type for key \"count\": expected integer, found string"_s;
        QTest::newRow("nested enum") << &decodeAs<Outer> << QByteArray(R"({"count":1,"items":[],"inner":{"tier":"gold"}})")
                                     << u"Unknown value \"gold\" for key \"inner.tier\""_s;
        QTest::newRow("array element") << &decodeAs<Outer> << QByteArray(R"({"count":1,"items":[{"tier":"free"},{"tier":3}]})")
                                       << u"Wrong type for key \"items[1].tier\": expected string, found number"_s;
        QTest::newRow("element not object") << &decodeAs<Outer> << QByteArray(R"({"count":1,"items":[7]})")
                                            << u"Wrong type for key \"items[0]\": expected object, found number"_s;
        QTest::newRow("top level array") << &decodeAs<Outer> << QByteArray("[]") << u"Expected a JSON object at the top level"_s;
        QTest::newRow("date without time")
            << &decodeAs<Outer> << QByteArray(R"({"count":1,"items":[],"inner":{"tier":"free","expires_at":"2026-01-31"}})")
            << u"Cannot decode date: 2026-01-31"_s;

        const QByteArray sub = R"("tier":"monthly","status":"active","auto_renew":true)";
        QTest::newRow("subscription minimal") << &decodeAs<Subscription> << "{" + sub + "}" << ok;
        QTest::newRow("subscription null expiry") << &decodeAs<Subscription> << "{" + sub + ",\"expires_at\":null}" << ok;
        QTest::newRow("subscription no auto_renew")
            << &decodeAs<Subscription> << QByteArray(R"({"tier":"free","status":"trial"})") << u"Missing key \"auto_renew\""_s;
        QTest::newRow("subscription unknown tier")
            << &decodeAs<Subscription> << QByteArray(R"({"tier":"gold","status":"active","auto_renew":true})")
            << u"Unknown value \"gold\" for key \"tier\""_s;
        QTest::newRow("subscription status case")
            << &decodeAs<Subscription> << QByteArray(R"({"tier":"free","status":"Active","auto_renew":true})")
            << u"Unknown value \"Active\" for key \"status\""_s;

        const QByteArray user = R"("user_id":"u1","email":"a@b.c","created_at":"2026-01-31T12:00:00.5Z")";
        QTest::newRow("user without subscription") << &decodeAs<User> << "{" + user + "}" << ok;
        QTest::newRow("user reads user_id, not id")
            << &decodeAs<User> << QByteArray(R"({"id":"u1","email":"a@b.c","created_at":"2026-01-31T12:00:00Z"})")
            << u"Missing key \"user_id\""_s;

        QTest::newRow("user response") << &decodeAs<UserResponse> << kUserResponse << ok;
        QTest::newRow("user response reads id, not user_id")
            << &decodeAs<UserResponse> << QByteArray(kUserResponse).replace(R"("id")", R"("user_id")") << u"Missing key \"id\""_s;
        QTest::newRow("user response without apple_linked")
            << &decodeAs<UserResponse> << QByteArray(kUserResponse).replace(R"("apple_linked":false,)", "")
            << u"Missing key \"apple_linked\""_s;
        QTest::newRow("user response display name number")
            << &decodeAs<UserResponse> << QByteArray(kUserResponse).replace(R"("id")", R"("display_name":5,"id")")
            << u"Wrong type for key \"display_name\": expected string, found number"_s;

        // The three token answers share one decoder.
        QTest::newRow("tokens without refresh token") << &decodeAs<LoginResponse> << QByteArray(R"({"access_token":"a","expires_in":3600})")
                                                      << u"Missing key \"refresh_token\""_s;

        QTest::newRow("register") << &decodeAs<RegisterResponse>
                                  << QByteArray(R"({"message":"sent","requires_verification":true})") << ok;
        QTest::newRow("register without flag") << &decodeAs<RegisterResponse> << QByteArray(R"({"message":"sent"})")
                                               << u"Missing key \"requires_verification\""_s;
        QTest::newRow("register without message")
            << &decodeAs<RegisterResponse> << QByteArray(R"({"requires_verification":false})") << u"Missing key \"message\""_s;
        QTest::newRow("message null") << &decodeAs<MessageResponse> << QByteArray(R"({"message":null})")
                                      << u"Wrong type for key \"message\": expected string, found null"_s;
    }

    void decodingAcceptsOrNamesTheFault()
    {
        QFETCH(Decoder, decode);
        QFETCH(QByteArray, body);
        QFETCH(QString, result);
        QCOMPARE(decode(body), result);
    }

    void decodedValues()
    {
        const QDateTime created = utc(u"2026-01-31T12:00:00Z");
        QCOMPARE(decodeBody<User>("{\"user_id\":\"u1\",\"email\":\"a@b.c\",\"created_at\":\"2026-01-31T12:00:00.5Z\","
                                  "\"subscription\":{\"tier\":\"partner\",\"status\":\"cancelled\",\"auto_renew\":false,"
                                  "\"expires_at\":\"2026-02-01T00:00:00Z\"}}"),
                 (User{u"u1"_s, u"a@b.c"_s, created.addMSecs(500),
                       Subscription{SubscriptionTier::Partner, SubscriptionStatus::Cancelled, utc(u"2026-02-01T00:00:00Z"), false}}));
        QCOMPARE(decodeBody<User>(R"({"user_id":"u","email":"e","created_at":"2026-01-31T12:00:00Z","subscription":null})"),
                 (User{u"u"_s, u"e"_s, created, std::nullopt}));

        // An absent or null display name is no name.
        const std::pair<QByteArray, std::optional<QString>> names[] = {
            {"", std::nullopt}, {R"("display_name":null,)", std::nullopt}, {R"("display_name":"Ann",)", u"Ann"_s}};
        for (const auto &[member, name] : names)
            QCOMPARE(decodeBody<UserResponse>(QByteArray(kUserResponse).replace(R"("id")", QByteArray(member + R"("id")"))),
                     (UserResponse{u"u1"_s, u"a@b.c"_s, true, name, false, created}));

        QCOMPARE(decodeBody<VerifyEmailResponse>(R"({"access_token":"a","refresh_token":"r","expires_in":900})"),
                 (VerifyEmailResponse{{u"a"_s, u"r"_s, 900}}));
    }

    void everyEnumerationValueDecodesAndEncodes()
    {
        using Case = std::tuple<QString, SubscriptionTier, QString, SubscriptionStatus>;
        for (const auto &[tierText, tier, statusText, status] :
             {Case{u"free"_s, SubscriptionTier::Free, u"active"_s, SubscriptionStatus::Active},
              Case{u"monthly"_s, SubscriptionTier::Monthly, u"expired"_s, SubscriptionStatus::Expired},
              Case{u"yearly"_s, SubscriptionTier::Yearly, u"cancelled"_s, SubscriptionStatus::Cancelled},
              Case{u"partner"_s, SubscriptionTier::Partner, u"trial"_s, SubscriptionStatus::Trial}}) {
            const QByteArray body = u"{\"tier\":\"%1\",\"status\":\"%2\",\"auto_renew\":true}"_s.arg(tierText, statusText).toUtf8();
            const Subscription decoded = decodeBody<Subscription>(body);
            QCOMPARE(decoded.tier, tier);
            QCOMPARE(decoded.status, status);
            QCOMPARE(SubscriptionValues::rawValue(tier) + u' ' + SubscriptionValues::rawValue(status), tierText + u' ' + statusText);
        }
    }

    void requestBodiesKeepTheListedOrder()
    {
        const QList<QByteArray> encoded{LoginRequest{u"a@b.c"_s, u"pw"_s}.toJson(),
                                        RegisterRequest{u"a@b.c"_s, u"pw"_s}.toJson(),
                                        VerifyEmailRequest{u"a@b.c"_s, u"123456"_s}.toJson(),
                                        ResendCodeRequest{u"a@b.c"_s}.toJson(),
                                        ForgotPasswordRequest{u"a@b.c"_s}.toJson(),
                                        ResetPasswordRequest{u"a@b.c"_s, u"42"_s, u"n3w"_s}.toJson(),
                                        RefreshTokenRequest{u"r.t"_s}.toJson(),
                                        LoginRequest{u"\"q\"\\\n"_s, u"pässwörd 🔑"_s}.toJson()};
        QCOMPARE(encoded, (QList<QByteArray>{R"({"email":"a@b.c","password":"pw"})", R"({"email":"a@b.c","password":"pw"})",
                                             R"({"email":"a@b.c","code":"123456"})", R"({"email":"a@b.c"})", R"({"email":"a@b.c"})",
                                             R"({"email":"a@b.c","code":"42","new_password":"n3w"})", R"({"refresh_token":"r.t"})",
                                             "{\"email\":\"\\\"q\\\"\\\\\\n\",\"password\":\"" + u"pässwörd 🔑"_s.toUtf8() + "\"}"}));
    }

    void accountRecordsEncodeWithoutAbsentOptionals()
    {
        const QDateTime created = utc(u"2001-01-02T00:00:00Z");
        User user{u"u1"_s, u"a@b.c"_s, created, std::nullopt};
        QCOMPARE(user.toJson(), (QJsonObject{{u"user_id"_s, u"u1"_s}, {u"email"_s, u"a@b.c"_s}, {u"created_at"_s, 86400.0}}));
        user.subscription = Subscription{SubscriptionTier::Yearly, SubscriptionStatus::Trial, std::nullopt, true};
        QCOMPARE(user.toJson().value(u"subscription"_s).toObject(),
                 (QJsonObject{{u"tier"_s, u"yearly"_s}, {u"status"_s, u"trial"_s}, {u"auto_renew"_s, true}}));
        user.subscription->expiresAt = created;
        QCOMPARE(user.subscription->toJson().value(u"expires_at"_s).toDouble(), 86400.0);
    }

    void catalogue()
    {
        QList<ServerLocation> active;
        for (const auto &s : ServerLocation::allServers()) {
            QCOMPARE(s.port, 500);
            QCOMPARE(s.isPremium, !s.isActive);
            QCOMPARE(QHostAddress(s.ipAddress).protocol() == QAbstractSocket::IPv4Protocol, s.isActive);
            if (s.isActive)
                active.append(s);
        }
        QCOMPARE(ServerLocation::availableServers(), active);
        QCOMPARE(active.size(), 2);
        QCOMPARE(ServerLocation::allServers().size(), 9);
    }

    void flags()
    {
        ServerLocation server = ServerLocation::allServers().first();
        QCOMPARE(server.flagEmoji(), u"🇸🇬"_s);
        server.countryCode = u"us"_s;
        QCOMPARE(server.flagEmoji(), u"🇺🇸"_s);
        server.countryCode = u"GB"_s;
        QCOMPARE(server.flagEmoji(), u"🇬🇧"_s);
        server.countryCode.clear();
        QCOMPARE(server.flagEmoji(), QString());
    }

    void jsonRoundTripAndStrictKeys()
    {
        const ServerLocation original = ServerLocation::allServers()[1];
        const QByteArray body = QJsonDocument(original.toJson()).toJson();
        QCOMPARE(decodeBody<ServerLocation>(body), original);
        ServerLocation moved = original; // equality sees every field, so the round trip above means something
        moved.latitude += 0.0001;
        QVERIFY(moved != original);
        QCOMPARE(original.toJson().keys().size(), 11);
        QVERIFY(original.toJson().contains(u"countryCode"_s));

        QJsonObject missing = original.toJson();
        missing.remove(u"isPremium"_s);
        QString error;
        QVERIFY(!tryDecodeBody<ServerLocation>(QJsonDocument(missing).toJson(), &error));
        QCOMPARE(error, u"Missing key \"isPremium\""_s);

        QJsonObject snake = missing;
        snake.insert(u"is_premium"_s, true);
        QVERIFY(!tryDecodeBody<ServerLocation>(QJsonDocument(snake).toJson()));
    }

    void protocolRawValues()
    {
        QCOMPARE(VPNProtocol::fromRawValue(u"XrayReality"_s), std::optional(VPNProtocolType::XrayReality));
        QCOMPARE(VPNProtocol::fromRawValue(u"Xray Reality"_s), std::nullopt);
        QCOMPARE(VPNProtocol::fromRawValue(u"ikev2"_s), std::nullopt);
        for (VPNProtocolType type : VPNProtocol::allCases())
            QCOMPARE(VPNProtocol::fromRawValue(VPNProtocol::rawValue(type)), std::optional(type));
        QCOMPARE(VPNProtocol::shortName(VPNProtocolType::XrayReality), u"Xray"_s);
        QCOMPARE(VPNProtocol::displayName(VPNProtocolType::XrayReality), u"Xray Reality"_s);
    }

    void stateEquality()
    {
        QVERIFY(VPNConnectionState::error(u"a"_s) != VPNConnectionState::error(u"b"_s));
        QCOMPARE(VPNConnectionState::error(u"a"_s), VPNConnectionState::error(u"a"_s));
        QVERIFY(VPNConnectionState::error(QString()) != VPNConnectionState::disconnected());
        QCOMPARE(VPNConnectionState(), VPNConnectionState::disconnected());
    }

    void masksSecretValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("masked");
        QTest::newRow("token pair")
            << uR"({"access_token":"eyJ.a.b","refresh_token":"r-1","expires_in":3600})"_s
            << uR"({"access_token":"***","refresh_token":"***","expires_in":3600})"_s;
        QTest::newRow("blanks around colon") << uR"({ "access_token" : "abc" , "x":1})"_s
                                             << uR"({ "access_token" : "***" , "x":1})"_s;
        QTest::newRow("escaped quote in value") << u"{\"password\":\"a\\\"b,c\",\"user\":\"d\"}"_s
                                                << uR"({"password":"***","user":"d"})"_s;
        QTest::newRow("nested") << uR"({"data":{"refresh_token":"r"},"new_password":"n"})"_s
                                << uR"({"data":{"refresh_token":"***"},"new_password":"***"})"_s;
        QTest::newRow("cut inside value") << u"{\"email\":\"a@b.c\",\"access_token\":\"eyJhbGciOiJIUzI1"_s
                                          << u"{\"email\":\"a@b.c\",\"access_token\":\"***"_s;
        QTest::newRow("cut after colon") << u"{\"access_token\":"_s << u"{\"access_token\":"_s;
        QTest::newRow("number value") << uR"({"password":12345,"a":1})"_s << uR"({"password":***,"a":1})"_s;
        QTest::newRow("object value") << uR"({"password":{"v":"s1","w":["s2"]},"ok":true})"_s
                                      << uR"({"password":***,"ok":true})"_s;
        QTest::newRow("any case") << uR"({"Access_Token":"abc"})"_s << uR"({"Access_Token":"***"})"_s;
        QTest::newRow("escaped JSON inside a string")
            << u"{\"detail\":\"{\\\"access_token\\\":\\\"abc\\\",\\\"n\\\":1}\"}"_s
            << u"{\"detail\":\"{\\\"access_token\\\":\\\"***\\\",\\\"n\\\":1}\"}"_s;
        QTest::newRow("escaped key") << u"{\"access\\u005ftoken\":\"abc123\"}"_s
                                     << u"{\"access\\u005ftoken\":\"***\"}"_s;
        QTest::newRow("form body") << u"access_token=abc&refresh_token=def&x=1"_s
                                   << u"access_token=***&refresh_token=***&x=1"_s;
        QTest::newRow("plain text") << u"error: refresh_token: abc is revoked"_s
                                    << u"error: refresh_token: *** is revoked"_s;
        QTest::newRow("word in a message") << uR"({"message":"Invalid password"})"_s
                                           << uR"({"message":"Invalid password"})"_s;
        QTest::newRow("no secrets") << uR"({"email":"a@b.c","expires_in":1})"_s
                                    << uR"({"email":"a@b.c","expires_in":1})"_s;
        QTest::newRow("empty") << QString() << QString();
        // A secret's value repeated elsewhere, also spelt with other escapes than a JSON writer uses.
        QTest::newRow("value repeated") << uR"({"access_token":"tok-123","echo":"tok-123"})"_s
                                        << uR"({"access_token":"***","echo":"***"})"_s;
        QTest::newRow("value repeated, escaped") << u"{\"access_token\":\"tok-123\",\"echo\":\"\\u0074ok\\-123\"}"_s
                                                 << uR"({"access_token":"***","echo":"***"})"_s;
    }

    void masksSecretValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, masked);
        QCOMPARE(SecretMask::apply(text), masked);
    }

    void theStartOfALongTextIsMaskedAlone()
    {
        const QString text = uR"({"access_token":"tok-123","n":1,"echo":"tok-123"})"_s;
        QCOMPARE(SecretMask::applyToStart(text, 25), u"{\"access_token\":\"***\""_s);
        // A string cut open may be the start of a secret found further on.
        QCOMPARE(SecretMask::applyToStart(text, text.size() - 4), u"{\"access_token\":\"***\",\"n\":1,\"echo\":\"***"_s);
        // A cut never ends inside a character made of two UTF-16 units.
        QCOMPARE(SecretMask::applyToStart(u"ab🔑cd"_s, 3), u"ab"_s);
        QCOMPARE(SecretMask::applyToStart(u"ab🔑cd"_s, 4), u"ab🔑"_s);
    }

    // The log line of a hostile 4 MB answer must not stall the caller.
    void hostileBodiesAreMaskedQuickly()
    {
        QString keys;
        for (int i = 0; i < 100'000; ++i)
            keys += u"password=a&"_s;
        QString secrets = u"["_s;
        for (int i = 0; i < 50'000; ++i)
            secrets += u"{\"access_token\":\"s%1\"},"_s.arg(i);
        secrets += u"{}]"_s;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(SecretMask::apply(keys).left(19), u"password=***&passwo"_s);
        QVERIFY(SecretMask::apply(secrets).startsWith(u"[{\"access_token\":\"***\"},"_s));
        QCOMPARE_LT(timer.elapsed(), 5000);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
