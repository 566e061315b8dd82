// The built application and command line as a user runs them: one
// application per user, and the command line acting through it.
#include "support/ProgramRun.h"
#include "vpn/ControlProtocol.h"

#include <QLocalSocket>
#include <QtTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_env;

    ControlProtocol::Places places() const
    {
        return ControlProtocol::placesFor(m_dir.filePath(u"run/velorin"_s), m_dir.filePath(u"config"_s));
    }
    std::unique_ptr<ProgramRun> app() const
    {
        return std::make_unique<ProgramRun>(ChildProcess::builtProgram(u"velorin-vpn"_s), QStringList{}, m_env);
    }
    bool answers() const
    {
        return ControlProtocol::connectToApp(places().socket, 200) != nullptr;
    }
    ChildProcess::Result velorin(const QStringList &arguments) const
    {
        return ChildProcess::run(ChildProcess::builtProgram(u"velorin"_s), arguments, {}, m_env);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_dir.filePath(u"run"_s)));
        QVERIFY(::chmod(QFile::encodeName(m_dir.filePath(u"run"_s)).constData(), 0700) == 0);
        m_env = {u"QT_QPA_PLATFORM=offscreen"_s, u"XDG_RUNTIME_DIR="_s + m_dir.filePath(u"run"_s),
                 u"VELORIN_CONFIG_DIR="_s + m_dir.filePath(u"config"_s),
                 u"VELORIN_VICI_SOCKET="_s + m_dir.filePath(u"no-daemon.vici"_s)};
    }

    void twoStartsAtOnceEndWithOneApplication()
    {
        for (int round = 0; round < 5; ++round) {
            auto first = app();
            auto second = app();
            QVERIFY(QTest::qWaitFor([&] { return !first->running() || !second->running(); }, 15000));
            ProgramRun &stayed = first->running() ? *first : *second;
            ProgramRun &left = first->running() ? *second : *first;
            QCOMPARE(left.exitStatus(), 0);
            QTest::qWait(300);
            QVERIFY2(stayed.running(), qPrintable(stayed.all()));
            QVERIFY(QTest::qWaitFor([&] { return answers(); }, 5000));
            stayed.signal(SIGTERM);
            QCOMPARE(stayed.exitStatus(), 0);
            QVERIFY(!QFile::exists(places().socket));
        }
    }

    void aKilledApplicationIsReplacedAndTheCommandLineActsThroughTheNext()
    {
        auto killed = app();
        QVERIFY(QTest::qWaitFor([&] { return answers(); }, 10000));
        killed->signal(SIGKILL);
        QVERIFY(killed->waitForExit());
        QVERIFY(QFile::exists(places().socket) && QFile::exists(places().instanceLock));
        auto running = app();
        QVERIFY2(QTest::qWaitFor([&] { return answers(); }, 10000), qPrintable(running->all()));
        QVERIFY(running->running());

        QCOMPARE(velorin({u"select"_s, u"us-west-01"_s}).exitCode, 0);
        const ChildProcess::Result status = velorin({u"status"_s});
        QVERIFY2(status.out.contains(u"server: United States - San Francisco (us-west-01)"_s), qPrintable(status.out));
        QVERIFY2(status.out.contains(u"application: running; disconnected"_s), qPrintable(status.out));
        // No account here: the application's connect fails, and says why.
        const ChildProcess::Result connect = velorin({u"connect"_s});
        QCOMPARE(connect.exitCode, 1);
        QVERIFY2(connect.out.startsWith(u"connecting\nerror: "_s), qPrintable(connect.out + connect.err));
        QTRY_VERIFY2(running->all().contains(u"Control: Connect asked by the command line"_s), qPrintable(running->all()));
        const ChildProcess::Result disconnect = velorin({u"disconnect"_s});
        QCOMPARE(disconnect.exitCode, 0);
        QCOMPARE(disconnect.out, u"not connected\n"_s);
        running->signal(SIGTERM);
        QVERIFY(running->waitForExit());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
