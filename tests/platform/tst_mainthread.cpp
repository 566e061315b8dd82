// What reaches the main thread (signals, notifications, posted work), and the
// real path monitor over whichever network-information backend loads here.
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/PathMonitor.h"
#include "platform/SignalNotifier.h"

#include <QNetworkInformation>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

class TestMainThread : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestMainThread)
#include "tst_mainthread.moc"
