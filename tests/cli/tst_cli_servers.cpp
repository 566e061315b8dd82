// Runs the real `velorin` program against a throw-away settings folder.
#include "support/ProgramRun.h"

#include "platform/UserDefaults.h"
#include "vpn/ServerManager.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestCliServers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;

    ChildProcess::Result velorin(const QStringList &arguments)
    {
        return ProgramRun::velorinIn(m_config.path(), arguments);
    }

    QString selectedLine(const QString &listing)
    {
        for (const QString &line : listing.split(u'\n'))
            if (line.startsWith(u"* "_s))
                return line;
        return {};
    }

private slots:
    void listsAndSelects()
    {
        auto result = velorin({u"servers"_s});
        QCOMPARE(result.exitCode, 0);
        const QStringList lines = result.out.split(u'\n');
        QVERIFY(lines[1].startsWith(u"* sg-node-01"_s));
        QVERIFY(lines[1].endsWith(u"available"_s));
        QVERIFY(lines[2].contains(u"us-west-01"_s));
        QVERIFY(lines[3].contains(u"United Kingdom - London"_s));
        QVERIFY(lines[3].endsWith(u"offline"_s));
        QVERIFY(lines[9].contains(u"it-node-01"_s));

        result = velorin({u"select"_s, u"us-west-01"_s});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, u"Selected United States - San Francisco (us-west-01)\n"_s);
        QVERIFY(selectedLine(velorin({u"servers"_s}).out).startsWith(u"* us-west-01"_s));
    }

    void refusalsAreClearAndChangeNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("offline") << QStringList{u"select"_s, u"uk-node-01"_s} << 1
                                 << u"velorin: server 'uk-node-01' (United Kingdom - London) is offline and cannot be selected\n"_s;
        QTest::newRow("unknown") << QStringList{u"select"_s, u"mars-01"_s} << 1
                                 << u"velorin: unknown server 'mars-01' (see 'velorin servers')\n"_s;
        QTest::newRow("no id") << QStringList{u"select"_s} << 2
                               << u"velorin: usage: velorin select ID (see 'velorin servers')\n"_s;
        QTest::newRow("unknown command") << QStringList{u"teleport"_s} << 2
                                         << u"velorin: unknown command 'teleport' (see 'velorin --help')\n"_s;
    }

    void refusalsAreClearAndChangeNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QString before = selectedLine(velorin({u"servers"_s}).out);
        const auto result = velorin(arguments);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.err, message);
        QVERIFY(result.out.isEmpty());
        QCOMPARE(selectedLine(velorin({u"servers"_s}).out), before);
    }

    void helpAndNoArguments()
    {
        auto result = velorin({u"--help"_s});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.contains(u"select ID"_s));
        result = velorin({});
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.err.startsWith(u"Usage: velorin"_s));
        result = velorin({u"--version"_s});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.startsWith(u"velorin 1.0 (1)"_s));
    }

    // The app writes its own keys every 20 ms while the command line runs
    // `select` 100 times on the same settings folder.
    void sideBySideWithTheAppNoKeyIsLost()
    {
        QTemporaryDir config;
        const QString path = config.filePath(UserDefaults::standardDomainName + u".json"_s);
        UserDefaults app(path);
        ServerManager servers(app);
        QSignalSpy followed(&servers, &ServerManager::selectedServerChanged);
        int written = 0;
        QTimer writer;
        writer.setInterval(20);
        connect(&writer, &QTimer::timeout, this, [&] {
            if (written < 200 && app.set(u"app-%1"_s.arg(written), written))
                ++written;
        });
        writer.start();
        const QStringList ids{u"us-west-01"_s, u"sg-node-01"_s};
        for (int run = 0; run < 100; ++run) {
            // Waits running the event loop, so the app's writes go on meanwhile.
            const auto cli = ProgramRun::velorin({u"--config-dir"_s, config.path(), u"select"_s, ids[run % 2]}, {});
            QVERIFY2(cli->exitStatus() == 0, qPrintable(cli->err()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(written, 200, 20000);
        QTRY_COMPARE(servers.selectedServer().id, ids[1]);
        QVERIFY(followed.count() > 10);
        UserDefaults after(path);
        for (int n = 0; n < 200; ++n)
            QCOMPARE(after.integer(u"app-%1"_s.arg(n)), std::optional<qint64>(n));
        QCOMPARE(after.string(ServerManager::selectedServerKey), std::optional<QString>(ids[1]));
        QCOMPARE(after.stringList(ServerManager::recentServersKey), std::optional<QStringList>(QStringList{ids[1], ids[0]}));
    }
};

QTEST_GUILESS_MAIN(TestCliServers)
#include "tst_cli_servers.moc"
