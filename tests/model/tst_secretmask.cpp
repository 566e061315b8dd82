#include "model/SecretMask.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestSecretMask : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestSecretMask)
#include "tst_secretmask.moc"
