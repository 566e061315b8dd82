// The process's basic services: what a log line or a terminal gets of a value a
// server chose, what reaches the main thread (signals, notifications, posted
// work), and the real path monitor over whichever network-information backend
// loads here.
#include "platform/Log.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/PathMonitor.h"
#include "platform/SignalNotifier.h"

#include <QNetworkInformation>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

class TestRuntime : public QObject
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

    void signalsArriveOnTheMainThreadInOrder()
    {
        SignalNotifier &notifier = SignalNotifier::instance();
        QVERIFY(notifier.watch(SIGUSR1));
        QVERIFY(notifier.watch(SIGUSR2));
        QVERIFY(notifier.watch(SIGUSR1));
        QList<int> received;
        QList<QThread *> threads;
        QObject::connect(&notifier, &SignalNotifier::received, this, [&](int signal) {
            received.append(signal);
            threads.append(QThread::currentThread());
        });
        std::unique_ptr<QThread> worker(QThread::create([] {
            ::raise(SIGUSR1);
            ::raise(SIGUSR2);
        }));
        worker->start();
        QVERIFY(worker->wait(5000));
        // Nothing runs inside the handler: the delivery waits for the event loop.
        QVERIFY(received.isEmpty());
        QTRY_COMPARE(received, (QList<int>{SIGUSR1, SIGUSR2}));
        QCOMPARE(threads, (QList<QThread *>{QThread::currentThread(), QThread::currentThread()}));
        QVERIFY(notifier.isWatching(SIGUSR2));
        QVERIFY(!notifier.isWatching(SIGHUP));
    }

    void theQtPathMonitorReportsTheCurrentPath()
    {
        QtPathMonitor monitor;
        QSignalSpy updates(&monitor, &PathMonitor::pathUpdated);
        monitor.start();
        QNetworkInformation *info = QNetworkInformation::instance();
        if (!info)
            QSKIP("no network information backend on this machine");
        // A known reachability is reported at once; an unknown one is not.
        if (info->reachability() == QNetworkInformation::Reachability::Unknown) {
            QCOMPARE(updates.size(), 0);
        } else {
            QCOMPARE(updates.size(), 1);
            const bool online = info->reachability() == QNetworkInformation::Reachability::Online
                || info->reachability() == QNetworkInformation::Reachability::Site;
            QCOMPARE(updates[0][0].value<PathMonitor::Status>(),
                     online ? PathMonitor::Status::Satisfied : PathMonitor::Status::Unsatisfied);
        }
        monitor.cancel();
        monitor.start(); // a cancelled monitor can be started again, once
        monitor.start();
        QVERIFY(updates.size() <= 2);
    }

    void postFromAnotherThreadArrivesOnTheMainThread()
    {
        NotificationCenter center;
        QObject context;
        QList<QThread *> deliveredOn;
        QVariantMap received;
        center.observe(u"com.velorin.test"_s, &context, [&](const QVariantMap &info) {
            deliveredOn.append(QThread::currentThread());
            received = info;
        });
        std::unique_ptr<QThread> worker(QThread::create([&center] {
            center.post(u"com.velorin.other"_s);
            center.post(u"com.velorin.test"_s, {{u"isAuthenticated"_s, true}});
        }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QTRY_COMPARE(deliveredOn.size(), 1);
        QCOMPARE(deliveredOn.first(), QThread::currentThread());
        QCOMPARE(received.value(u"isAuthenticated"_s), QVariant(true));
    }

    void postedWorkSkipsADestroyedContext()
    {
        int runs = 0;
        auto context = std::make_unique<QObject>();
        MainThread::post(context.get(), [&runs] { ++runs; });
        context.reset();
        QObject alive;
        MainThread::post(&alive, [&runs] { runs += 10; });
        QTRY_COMPARE(runs, 10);
    }
};

QTEST_GUILESS_MAIN(TestRuntime)
#include "tst_runtime.moc"
