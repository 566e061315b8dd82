#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestNotificationCenter : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestNotificationCenter)
#include "tst_notificationcenter.moc"
