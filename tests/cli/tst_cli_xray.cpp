// `velorin connect --protocol xray` and `velorin status`: the real program
// against the stub VPN API, the fake xray and the fake proxy tool.
#include "support/XrayRig.h"

#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

class TestCliXray : public QObject, protected CliXrayFixture
{
    Q_OBJECT

    std::unique_ptr<ProgramRun> connect(const QStringList &extra = {u"--protocol"_s, u"xray"_s})
    {
        return velorin(QStringList{u"connect"_s} + extra);
    }

private slots:
    void init()
    {
        QVERIFY(setUpXrayRun());
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        m_server.reset();
    }

    void connectsAndCleansUpOnCtrlC_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("server"); // empty: the selected one
        // (SIGTERM and SIGHUP end the runs of the tests below.)
        QTest::newRow("Ctrl-C") << int(SIGINT) << QString();
        QTest::newRow("SIGQUIT, a server named") << int(SIGQUIT) << u"us-west-01"_s;
    }

    void connectsAndCleansUpOnCtrlC()
    {
        QFETCH(int, signal);
        QFETCH(QString, server);
        auto run = connect(QStringList{u"--protocol"_s, u"xray"_s} + (server.isEmpty() ? QStringList() : QStringList{server}));
        QVERIFY2(run->waitForOut(u"connected to Singapore (203.0.113.10)\n"_s), qPrintable(run->out() + run->err()));
        QCOMPARE(run->out(), u"connecting\nconnected to Singapore (203.0.113.10)\n"_s);
        QCOMPARE(m_server->requests()[0].query, u"server_id="_s + (server.isEmpty() ? u"sg-node-01"_s : server));
        const QList<qint64> launches = m_xray->launches();
        QCOMPARE(launches.size(), 1);

        const auto shown = status();
        QCOMPARE(shown.exitCode, 0);
        QCOMPARE(shown.out, u"protocol: Xray Reality\nserver: Singapore - Singapore (sg-node-01)\n"
                             "system proxy: the proxy tool "_s + m_tool->toolPath() + u" (the proxy tool is installed)\n"
                             "xray: connected; proxies set on [\"Wi-Fi\", \"Ethernet\"], 127.0.0.1:"_s
                                + QString::number(m_socks) + u" answering\n"_s);

        m_tool->clearCalls();
        run->signal(signal);
        QCOMPARE(run->exitStatus(), 0);
        QCOMPARE(run->out(), u"connecting\nconnected to Singapore (203.0.113.10)\ndisconnecting\ndisconnected\n"_s);
        QCOMPARE(m_tool->calls(), XrayTest::restoreCalls());
        QVERIFY(FakeXray::waitUntilGone(launches[0]));
        QVERIFY(!QFileInfo::exists(configFile()));
        QVERIFY(status().out.endsWith(u"xray: not connected\n"_s));
    }

    // --proxy-only connects, prints the local ports and changes no setting.
    void proxyOnlyWhereTheDesktopHasNoProxyStore()
    {
        QStringList env = environment();
        env.replaceInStrings(QRegularExpression(u"^VELORIN_PROXY_TOOL=.*"_s), u"VELORIN_PROXY_TOOL=/nonexistent"_s);
        env << u"XDG_CURRENT_DESKTOP=sway"_s << u"VELORIN_PROXY_BACKEND="_s;
        auto refused = velorin({u"connect"_s, u"--protocol"_s, u"xray"_s}, env);
        QCOMPARE(refused->exitStatus(), 1);
        QCOMPARE(refused->out(), u"connecting\nerror: "_s
                                     + ProxyBackends::noStoreMessage(u"sway"_s, {u"127.0.0.1"_s, m_socks, m_http})
                                     + u'\n');
        QVERIFY(m_server->requests().isEmpty());
        QVERIFY(m_xray->launches().isEmpty());

        auto run = velorin({u"connect"_s, u"--proxy-only"_s}, env);
        const QString ports = u"local proxies (system settings left alone): SOCKS5 127.0.0.1:"_s
            + QString::number(m_socks) + u", HTTP 127.0.0.1:"_s + QString::number(m_http) + u'\n';
        QVERIFY2(run->waitForOut(ports), qPrintable(run->all()));
        QVERIFY(ProxyClient::getThroughHttpProxy(m_http, m_server->port()).endsWith("hello through the proxy"));
        const auto shown = status(env);
        QCOMPARE(shown.out.section(u'\n', 2), u"system proxy: none for this desktop (XDG_CURRENT_DESKTOP=sway); "
                                               "connect with --proxy-only\nxray: no system proxy set; 127.0.0.1:"_s
                     + QString::number(m_socks) + u" answering (a proxy-only connection?)\n"_s);
        run->signal(SIGHUP);
        QCOMPARE(run->exitStatus(), 0);
        QVERIFY(!UserDefaults(defaultsPath()).contains(SystemProxy::activeKey));

        auto wrong = velorin({u"connect"_s, u"--proxy-only"_s, u"--protocol"_s, u"ikev2"_s}, env);
        QCOMPARE(wrong->exitStatus(), 2);
    }

    // A store that cannot be written, or that drops the write (dconf without
    // its session bus), is a failed connect that leaves the settings alone.
    void gnomeFromTheCommandLine_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QString>("error"); // its start; empty: connects
        QTest::newRow("keyfile") << u"keyfile"_s << QString();
        QTest::newRow("keyfile, folder not writable")
            << u"unwritable"_s << u"GNOME's proxy settings cannot be changed here (mode is locked"_s;
        QTest::newRow("dconf without a session bus")
            << u"dconf"_s << u"GNOME's settings did not keep the proxy values (mode reads back as “none”)"_s;
    }

    void gnomeFromTheCommandLine()
    {
        QFETCH(QString, store);
        QFETCH(QString, error);
        const QString home = m_dir->filePath(u"home"_s);
        QDir().mkpath(home + u"/glib-2.0"_s);
        if (store == u"unwritable") // a file where the store's folder goes
            QFile(home + u"/glib-2.0/settings"_s).open(QIODevice::WriteOnly);
        const QStringList env = environment()
            + QStringList{u"VELORIN_PROXY_BACKEND=gnome"_s, u"XDG_CONFIG_HOME="_s + home,
                          u"GSETTINGS_BACKEND="_s + (store == u"dconf" ? u"dconf"_s : u"keyfile"_s),
                          u"DBUS_SESSION_BUS_ADDRESS="_s, u"DISPLAY="_s};
        const auto mode = [&] {
            return ChildProcess::run(u"gsettings"_s, {u"get"_s, u"org.gnome.system.proxy"_s, u"mode"_s}, {}, env)
                .out.trimmed();
        };
        auto run = velorin({u"connect"_s, u"--protocol"_s, u"xray"_s}, env);
        if (!error.isEmpty()) {
            QCOMPARE(run->exitStatus(), 1);
            QVERIFY2(run->out().startsWith(u"connecting\nerror: "_s + error), qPrintable(run->all()));
            // A store found unusable beforehand starts nothing.
            QCOMPARE(m_xray->launches().size(), store == u"dconf" ? 1 : 0);
            QCOMPARE(mode(), u"'none'"_s);
            return;
        }
        QVERIFY2(run->waitForOut(u"connected to Singapore"_s), qPrintable(run->all()));
        QCOMPARE(mode(), u"'manual'"_s);
        const auto shown = status(env);
        QVERIFY2(shown.out.contains(u"system proxy: GNOME settings (org.gnome.system.proxy) (VELORIN_PROXY_BACKEND=gnome)\n"
                                    "xray: connected; proxies set in GNOME settings (org.gnome.system.proxy) to SOCKS "
                                    "127.0.0.1:"_s + QString::number(m_socks)),
                 qPrintable(shown.out));
        run->signal(SIGTERM);
        QCOMPARE(run->exitStatus(), 0);
        QCOMPARE(mode(), u"'none'"_s);
    }

    void refusesBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown protocol") << QStringList{u"--protocol"_s, u"pptp"_s} << 2
                                          << u"velorin: unknown protocol 'pptp' (ikev2, wireguard or xray)\n"_s;
        QTest::newRow("offline server") << QStringList{u"uk-node-01"_s} << 1
                                        << u"velorin: server 'uk-node-01' (United Kingdom - London) is offline\n"_s;
    }

    void refusesBadArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        auto run = connect(arguments);
        QCOMPARE(run->exitStatus(), exitCode);
        QCOMPARE(run->err(), message);
        QVERIFY(m_server->requests().isEmpty());
    }

    // A second connect is refused before it starts anything; `velorin
    // disconnect` ends the first one's connection in its orderly way.
    void oneCommandLineConnectsAndDisconnectEndsIt()
    {
        auto first = connect();
        QVERIFY2(first->waitForOut(u"connected to Singapore"_s), qPrintable(first->all()));
        const QString pid = QString::number(first->pid());
        auto second = connect();
        QVERIFY2(second->waitForExit(), qPrintable(second->all()));
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->out(), u"error: Another Velorin VPN program is connected (velorin connect, process "_s + pid
                                    + u"); disconnect it first\n"_s);
        QCOMPARE(m_xray->launches().size(), 1);

        m_tool->clearCalls();
        const auto disconnect = ProgramRun::velorinIn(configDir(), {u"disconnect"_s}, {}, environment());
        QCOMPARE(disconnect.exitCode, 0);
        QCOMPARE(disconnect.out, u"disconnecting (velorin connect, process "_s + pid + u")\ndisconnected\n"_s);
        QCOMPARE(first->exitStatus(), 0);
        QVERIFY(first->out().endsWith(u"disconnecting\ndisconnected\n"_s));
        QCOMPARE(m_tool->calls(), XrayTest::restoreCalls());
    }
};

QTEST_GUILESS_MAIN(TestCliXray)
#include "tst_cli_xray.moc"
