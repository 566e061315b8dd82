// What a log line or a terminal gets of a value a server chose.
#include "platform/Log.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void escapeControls_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("terminal");
        QTest::newRow("plain text, emoji, tab") << u"✅ Zürich —\tok"_s << u"✅ Zürich —\tok"_s << u"✅ Zürich —\tok"_s;
        QTest::newRow("escape sequences, NUL, DEL, C1")
            << u"a\x1B]0;owned\x07" "b\0\x7F\u009B31m"_s << u"a\\x1B]0;owned\\x07b\\x00\\x7F\\x9B31m"_s
            << u"a\\x1B]0;owned\\x07b\\x00\\x7F\\x9B31m"_s;
        QTest::newRow("a forged second line") << u"ok\n✅ IKEv2: Connected!\r"_s << u"ok\\n✅ IKEv2: Connected!\\x0D"_s
                                              << u"ok\n✅ IKEv2: Connected!\\x0D"_s;
        QTest::newRow("bidi override and isolate") << u"moc.\u202Elive\u2066x"_s << u"moc.\\u202Elive\\u2066x"_s
                                                   << u"moc.\\u202Elive\\u2066x"_s;
    }

    void escapeControls()
    {
        QFETCH(QString, text);
        QFETCH(QString, logLine);
        QFETCH(QString, terminal);
        QCOMPARE(Log::escapeControls(text), logLine);
        QCOMPARE(Log::escapeControls(text, true), terminal);
    }

    void linesAreWrittenEscaped()
    {
        Log::Capture capture;
        Log::system(u"❌ IKEv2: Load error: \x1B[31mred\n🔌 IKEv2: Disconnected"_s);
        QCOMPARE(capture.lines(), QStringList{u"❌ IKEv2: Load error: \\x1B[31mred\\n🔌 IKEv2: Disconnected"_s});
        QVERIFY(Log::recentLines().constLast().startsWith(u"❌ IKEv2: Load error: \\x1B"_s));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
