// `velorin connect --protocol xray` killed, stopped or failing at any moment:
// the proxies it set are turned off again (by itself, or by the next start of
// the Xray service) and its xray child does not outlive it.
#include "Hardening.h"

#include "support/XrayRig.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace Hardening;
using ProxyClient::spinUntil;

class TestXrayFaults : public QObject, protected CliXrayFixture
{
    Q_OBJECT

    bool m_refuseConfig = false;
    // Calls the fake tool's script refuses.
    QStringList m_failing;

    std::unique_ptr<ProgramRun> connect() { return velorin({u"--verbose"_s, u"connect"_s, u"--protocol"_s, u"xray"_s}); }

    QMap<QString, QStringList> proxiesOn() const { return proxiesLeftOn(m_tool->calls(), m_failing); }

    // The calls that set a proxy (its address or its state "on").
    static int setCalls(const QStringList &calls)
    {
        return int(std::count_if(calls.cbegin(), calls.cend(), [](const QString &call) {
            return call.startsWith(u"-set"_s) && (call.endsWith(u" on"_s) || call.contains(u" 127.0.0.1 "_s));
        }));
    }

    // A new `velorin connect` process whose own connect fails at once: what
    // it does before that is the launch clean-up.
    void restoreByANewProcess()
    {
        m_refuseConfig = true;
        auto next = connect();
        QVERIFY(next->waitForExit());
        m_refuseConfig = false;
        QCOMPARE(next->exitCode(), 1);
        QVERIFY2(next->out().endsWith(u"error: Failed to fetch Xray config\n"_s), qPrintable(next->all()));
    }

    // Every proxy off, the record says so, no configuration file, no xray
    // child. (A quit while connected may leave the service list behind.)
    void verifyNothingOwed(const QString &context)
    {
        QVERIFY2(proxiesOn().isEmpty(), qPrintable(context + u": proxies left on: "_s + describe(proxiesOn())));
        UserDefaults defaults(defaultsPath());
        QVERIFY2(!defaults.boolOr(SystemProxy::activeKey, false), qPrintable(context));
        QVERIFY2(!QFileInfo::exists(configFile()), qPrintable(context + u": configuration file left"_s));
        for (const qint64 pid : m_xray->launches())
            QVERIFY2(FakeXray::waitUntilGone(pid), qPrintable(context + u": xray " + QString::number(pid) + u" runs"));
    }

    // How long a whole connect takes here, from the start of the process to
    // "connected" (measured once, then left by Ctrl-C).
    qint64 m_connectMs = 0;
    qint64 measureConnect()
    {
        if (m_connectMs > 0)
            return m_connectMs;
        QElapsedTimer clock;
        clock.start();
        auto run = connect();
        if (!run->waitForOut(u"connected to Singapore"_s)) {
            qWarning().noquote() << run->all();
            return -1;
        }
        const qint64 elapsed = clock.elapsed();
        run->signal(SIGINT);
        run->waitForExit();
        verifyNothingOwed(u"after Ctrl-C"_s);
        m_connectMs = run->exitCode() == 0 && !QTest::currentTestFailed() ? elapsed : -1;
        return m_connectMs;
    }

    // `count` random moments from the start of a connect to just past its
    // end, one in each `count`th of that window so that every phase is hit;
    // none when the connect itself failed.
    QList<qint64> momentsOfTheConnect(int count)
    {
        const qint64 connectMs = measureConnect();
        if (connectMs <= 0)
            return {};
        bool ok = false;
        const quint32 given = quint32(qEnvironmentVariableIntValue("VELORIN_FAULT_SEED", &ok));
        const quint32 seed = ok ? given : QRandomGenerator::global()->generate() % 1000000;
        qInfo("random moments from seed %u (VELORIN_FAULT_SEED=%u repeats them)", seed, seed);
        QRandomGenerator random(seed);
        const qint64 window = connectMs + 300;
        QList<qint64> moments;
        for (int i = 0; i < count; ++i)
            moments.append(window * i / count + random.bounded(int(window / count)));
        return moments;
    }

private slots:
    void init()
    {
        m_refuseConfig = false;
        m_failing.clear();
        QVERIFY(setUpXrayRun());
        // Slow tool calls, as the real tool's: the proxies are being set for
        // a good part of the connect.
        m_tool->setDelayMs(25);
        m_server->on("GET", u"/api/v1/xray/config"_s, [this](const StubServer::Request &) {
            return m_refuseConfig ? StubServer::Response::json(401, "{\"error\":\"expired\"}")
                                  : StubServer::Response::json(200, QJsonDocument(XrayTest::configBody()).toJson());
        });
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        FakeNetworkSetup::unapply();
        m_server.reset();
    }

    // SIGKILL at 20 moments of the connect: the child dies with the process,
    // and the next start of the Xray service, alternately in this process and
    // as a new `velorin` process, turns off whatever the killed one had set.
    void killedAtRandomMomentsOfTheConnect()
    {
        const QList<qint64> moments = momentsOfTheConnect(20);
        QVERIFY(!moments.isEmpty());
        for (int i = 0; i < moments.size(); ++i) {
            const int launchesBefore = int(m_xray->launches().size());
            const int callsBefore = int(m_tool->calls().size());
            const qint64 delay = moments[i];
            QString context = u"kill "_s + QString::number(i + 1) + u" after "_s + QString::number(delay) + u" ms"_s;
            auto run = connect();
            QTest::qWait(int(delay));
            run->signal(SIGKILL);
            QVERIFY2(run->waitForExit(), qPrintable(context));

            const QList<qint64> children = m_xray->launches().mid(launchesBefore);
            for (const qint64 pid : children)
                QVERIFY2(FakeXray::waitUntilGone(pid), qPrintable(context + u": the xray child outlived its parent"_s));
            QVERIFY2(waitUntilNoProcess(m_tool->toolPath()), qPrintable(context + u": a proxy tool call hangs"_s));
            context += u" (%1 child, %2 proxy calls)"_s.arg(children.size()).arg(setCalls(m_tool->calls().mid(callsBefore)));

            if (i % 2 == 0)
                QVERIFY2(cleanUpByANewService(), qPrintable(context));
            else
                restoreByANewProcess();
            verifyNothingOwed(context);
            if (QTest::currentTestFailed())
                return;
        }
        qInfo("%lld kills survived, connect takes %lld ms", qint64(moments.size()), m_connectMs);
    }

    // Killed after some proxies were set: the record must already say so, or
    // the next start finds nothing owed and they point at a dead port.
    void killedWhileSettingTheProxies()
    {
        m_tool->setDelayMs(100);
        auto run = connect();
        QVERIFY(spinUntil([&] { return setCalls(m_tool->calls()) >= 3; }, 20000));
        run->signal(SIGKILL);
        QVERIFY(run->waitForExit());
        QVERIFY(waitUntilNoProcess(m_tool->toolPath()));
        QVERIFY2(!proxiesOn().isEmpty(), "the kill came too late to leave a proxy half-set");
        QVERIFY2(status().out.contains(u"xray: proxies set on [\"Wi-Fi\", \"Ethernet\"] but nothing answers"_s),
                 qPrintable(status().out));
        restoreByANewProcess();
        verifyNothingOwed(u"after the new process"_s);
    }

    // SIGTERM at moments after the connect has begun: the process itself
    // disconnects in order, restores the proxies, stops its child and ends.
    void terminatedAtRandomMoments()
    {
        const QList<qint64> moments = momentsOfTheConnect(10);
        QVERIFY(!moments.isEmpty());
        for (int i = 0; i < moments.size(); ++i) {
            const qint64 delay = moments[i];
            const QString context = u"SIGTERM "_s + QString::number(i + 1) + u" after "_s + QString::number(delay) + u" ms"_s;
            auto run = connect();
            QVERIFY2(run->waitForOut(u"connecting\n"_s), qPrintable(run->all()));
            QTest::qWait(int(delay));
            run->signal(SIGTERM);
            QVERIFY2(run->waitForExit(15000), qPrintable(context + u": still running"_s));
            QVERIFY2(!run->crashed() && run->exitCode() == 0, qPrintable(context + u'\n' + run->all()));
            QVERIFY2(run->out().endsWith(u"disconnecting\ndisconnected\n"_s), qPrintable(context + u'\n' + run->out()));
            verifyNothingOwed(context);
            if (QTest::currentTestFailed())
                return;
        }
        qInfo("%lld SIGTERMs: each process restored the proxies, stopped its child and ended", qint64(moments.size()));
    }

    void theProxyToolFailingHalfWay_data()
    {
        QTest::addColumn<bool>("whileRestoring");
        QTest::newRow("third of six calls, setting: the connect fails") << false;
        QTest::newRow("second of three calls, restoring") << true;
    }

    void theProxyToolFailingHalfWay()
    {
        QFETCH(bool, whileRestoring);
        const QString failing = whileRestoring ? u"-setwebproxystate Wi-Fi off"_s
                                               : u"-setwebproxy Wi-Fi 127.0.0.1 "_s + QString::number(m_http);
        QString script = u"[-listallnetworkservices]\nWi-Fi\nEthernet\n"
                         "[-getinfo Wi-Fi]\nIP address: 192.168.1.20\n[-getinfo Ethernet]\nIP address: 10.0.0.2\n"_s;
        script += u'[' + failing + u"] exit=4\n** Error: The parameters were not valid.\n"_s;
        m_tool->setScript(script);
        m_failing = {failing};
        const QStringList restore = XrayTest::restoreCalls();

        auto run = connect();
        if (!whileRestoring) {
            // A refused call fails the connect: the calls stop there, what
            // they set is turned off again and the user reads why.
            QVERIFY(run->waitForExit());
            QCOMPARE(run->exitCode(), 1);
            QCOMPARE(run->out(), u"connecting\nerror: The proxy tool refused “"_s + failing
                                     + u"”: ** Error: The parameters were not valid.\n"_s);
            QCOMPARE(m_tool->calls().mid(3), proxyOnCalls(u"Wi-Fi"_s, m_socks, m_http).mid(0, 3) + restore);
            verifyNothingOwed(u"after the refused call"_s);
            return;
        }
        QVERIFY2(run->waitForOut(u"connected to Singapore"_s), qPrintable(run->all()));
        QCOMPARE(m_tool->calls().mid(3), proxyOnCalls(u"Wi-Fi"_s, m_socks, m_http) + proxyOnCalls(u"Ethernet"_s, m_socks, m_http));
        const qsizetype before = m_tool->calls().size();
        run->signal(SIGINT);
        QVERIFY(run->waitForExit());
        QCOMPARE(run->exitCode(), 0);
        // The refused "off" leaves Wi-Fi's web proxy on; the process tries
        // once more as it quits, and the record keeps the restore owed ...
        QCOMPARE(m_tool->calls().mid(before), restore + restore);
        QCOMPARE(proxiesOn(), (QMap<QString, QStringList>{{u"Wi-Fi"_s, {u"web"_s}}}));
        QVERIFY(status().out.contains(u"xray: proxies set on [\"Wi-Fi\", \"Ethernet\"] but nothing answers"_s));
        // ... so the next start, with the tool working again, turns it off.
        m_tool->setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        m_failing.clear();
        restoreByANewProcess();
        verifyNothingOwed(u"after the next start"_s);
    }

    // A full runtime folder: the connect fails with no part of the file and
    // no copy of the credential left, no child started, no proxy touched.
    void theDiskFullWhileWritingTheConfiguration()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root; CI runs this test as root");
        const QByteArray target = QFile::encodeName(runtimeDir());
        QVERIFY2(::mount("velorin-full", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16k,mode=0700") == 0,
                 std::strerror(errno));
        const auto unmount = qScopeGuard([&target] { ::umount2(target.constData(), MNT_DETACH); });
        {
            QFile filler(runtimeDir() + u"/filler"_s);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(1024, 'x');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }
        auto run = connect();
        QVERIFY(run->waitForExit());
        QCOMPARE(run->exitCode(), 1);
        QCOMPARE(run->out(), u"connecting\nerror: Failed to write config\n"_s);
        QVERIFY2(run->err().contains(u"❌ Xray: Failed to write config: cannot write "_s + configFile()
                                     + u": No space left on device"_s),
                 qPrintable(run->err()));
        QVERIFY(m_xray->launches().isEmpty());
        QVERIFY(setCalls(m_tool->calls()) == 0);
        QCOMPARE(QDir(runtimeDir() + u"/velorin"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        for (const QString &file : filesUnder({runtimeDir(), configDir()})) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(!f.readAll().contains(XrayTest::kUuid.toUtf8()), qPrintable(file));
        }
        UserDefaults defaults(defaultsPath());
        QVERIFY(!defaults.boolOr(SystemProxy::activeKey, false));
    }
};

QTEST_GUILESS_MAIN(TestXrayFaults)
#include "tst_xray_faults.moc"
