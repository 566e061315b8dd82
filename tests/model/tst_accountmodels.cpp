#include "model/Account.h"
#include "model/AuthMessages.h"
#include "model/InternetDateTime.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

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

class TestAccountModels : public QObject
{
    Q_OBJECT

private slots:
    void decodingAcceptsOrNamesTheFault_data()
    {
        QTest::addColumn<Decoder>("decode");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("result");
        const QString ok = u"<decoded>"_s;

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
};

QTEST_GUILESS_MAIN(TestAccountModels)
#include "tst_accountmodels.moc"
