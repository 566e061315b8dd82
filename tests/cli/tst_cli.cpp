// Runs the real `velorin` program against a throw-away settings folder: its
// account commands against the real development backend, and on a
// pseudo-terminal against a server whose every name and message carries
// escape sequences, control characters and bidirectional overrides: none
// reaches the terminal raw.
#include "support/ChildProcess.h"
#include "support/DevServerProcess.h"
#include "support/ProgramRun.h"
#include "support/StubServer.h"

#include "platform/UserDefaults.h"
#include "vpn/ServerManager.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kHostile = u"ada\x1B]0;pwned\x07\x1B[2J\u009B31m\u202Eevil\0end <img src=/dev/zero>"_s;

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    StubServer m_server;
    QTemporaryDir m_terminalConfig;
    QTemporaryDir m_accountConfig;
    QTemporaryDir m_backendData;
    DevServerProcess m_backend{m_backendData.path(), DevServerProcess::fastArguments()};

    ChildProcess::Result velorin(const QStringList &arguments)
    {
        return ProgramRun::velorinIn(m_config.path(), arguments);
    }

    ChildProcess::Result onBackend(const QStringList &arguments, const QByteArray &input = {})
    {
        return ProgramRun::velorinIn(m_accountConfig.path(), arguments, input,
                                     {u"VELORIN_BACKEND_URL="_s + m_backend.url().toString()});
    }

    // On failure, standard error, so a comparison shows why.
    QString succeed(const QStringList &arguments, const QByteArray &input = {})
    {
        const auto result = onBackend(arguments, input);
        return result.exitCode == 0 ? result.out : u"failed: "_s + result.err;
    }

    void refuses(const QStringList &arguments, int exitCode, const QString &message, const QByteArray &input = {})
    {
        const auto result = onBackend(arguments, input);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.err, u"velorin: "_s + message + u'\n');
    }

    QString selectedLine(const QString &listing)
    {
        for (const QString &line : listing.split(u'\n'))
            if (line.startsWith(u"* "_s))
                return line;
        return {};
    }

    // Every byte the terminal received.
    QByteArray onTerminal(const QStringList &arguments, const QByteArray &input = {})
    {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return "openpty failed";
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"VELORIN_BACKEND_URL"_s, m_server.baseUrl());
        process.setProcessEnvironment(env);
        process.setChildProcessModifier([slave] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(slave, STDOUT_FILENO);
            ::dup2(slave, STDERR_FILENO);
        });
        process.start(ChildProcess::builtProgram(u"velorin"_s),
                      QStringList{u"--config-dir"_s, m_terminalConfig.path()} + arguments);
        process.write(input);
        process.closeWriteChannel();
        ::close(slave);
        QByteArray received;
        char buffer[4096];
        QElapsedTimer clock;
        clock.start();
        // The server answers from this loop; the terminal is read as it fills.
        while (clock.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0)
                received.append(buffer, got);
            else if (process.state() == QProcess::NotRunning && got <= 0)
                break;
        }
        ::close(master);
        return received;
    }

    static void verifyNothingRaw(const QByteArray &terminal)
    {
        for (const QByteArray &raw : {QByteArray("\x1B"), QByteArray(1, '\0'), QByteArray("\x07"),
                                      QByteArray("\xC2\x9B"), QByteArray("\xE2\x80\xAE")})
            QVERIFY2(!terminal.contains(raw), terminal.toPercentEncoding(" \n<>=/:;'").constData());
        // Still shown, escaped.
        QVERIFY2(terminal.contains("ada\\x1B]0;pwned\\x07\\x1B[2J\\x9B31m\\u202Eevil\\x00end <img src=/dev/zero>"),
                 terminal.constData());
    }

private slots:
    void initTestCase()
    {
        const QByteArray tokens = R"({"access_token":"AT-1","refresh_token":"RT-1","expires_in":900})";
        m_server.on("POST", u"/auth/login"_s, StubServer::Response::json(200, tokens));
        m_server.on("POST", u"/auth/refresh"_s, StubServer::Response::json(200, tokens));
        m_server.on("GET", u"/auth/me"_s,
                    StubServer::Response::json(200, json({{u"id"_s, kHostile}, {u"email"_s, kHostile},
                                                          {u"email_verified"_s, true}, {u"display_name"_s, QJsonValue()},
                                                          {u"apple_linked"_s, false},
                                                          {u"created_at"_s, u"2026-01-31T12:00:00Z"_s}})));
        m_server.on("GET", u"/api/v1/subscriptions/status"_s,
                    StubServer::Response::json(200, json({{u"status"_s, u"active"_s}, {u"plan"_s, kHostile},
                                                          {u"expires_at"_s, u"2099-03-01T00:00:00Z"_s},
                                                          {u"is_trial"_s, false}})));
        m_server.on("POST", u"/api/v1/devices/register"_s, StubServer::Response::json(400, json({{u"error"_s, kHostile}})));
        const QJsonObject device{{u"id"_s, 1}, {u"device_id"_s, kHostile}, {u"nickname"_s, kHostile},
                                 {u"platform"_s, kHostile}, {u"is_active"_s, true}, {u"last_seen_at"_s, QJsonValue()},
                                 {u"created_at"_s, kHostile}, {u"app_version"_s, kHostile}};
        m_server.on("GET", u"/api/v1/devices"_s,
                    StubServer::Response::json(200, json({{u"devices"_s, QJsonArray{device}}, {u"device_limit"_s, 3},
                                                          {u"active_count"_s, 1}, {u"can_add_more"_s, true}})));
    }

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

    void accountFromTheCommandLine()
    {
        QVERIFY2(m_backend.start(), qPrintable(m_backend.errorString()));
        const QString email = u"grace@example.com"_s;
        const QByteArray password = "a long password\n";
        // A password never goes on the command line, and an empty one is refused.
        refuses({u"login"_s, email, u"--password"_s, u"x"_s}, 2, u"usage: velorin login EMAIL [--password-stdin]"_s);
        refuses({u"register"_s, email, u"--password-stdin"_s}, 1, u"the password is empty"_s, "\n");
        QCOMPARE(succeed({u"register"_s, email, u"--password-stdin"_s}, password),
                 u"Account created. Enter the code sent to grace@example.com with: velorin verify grace@example.com CODE\n"_s);
        refuses({u"verify"_s, email, u"000000"_s}, 1, u"That code is not right. 4 tries left."_s);
        QCOMPARE(succeed({u"verify"_s, email, m_backend.lastCode(email)}),
                 u"Email verified. Signed in as grace@example.com\n"_s);

        // Each command is a new process: it restores the stored session first.
        const QString who = succeed({u"whoami"_s});
        QVERIFY2(who.startsWith(u"Email:         grace@example.com\nUser ID:       "_s), qPrintable(who));
        QVERIFY(who.contains(u"\nPlan:          monthly\nActive:        yes\n"_s));
        const QStringList listing = succeed({u"devices"_s}).split(u'\n');
        QVERIFY2(listing.size() > 2 && listing[1].startsWith(u"* "_s) && listing[1].contains(u" linux "_s),
                 qPrintable(listing.join(u'\n')));
        QVERIFY(listing.contains(u"1 of 3 device slots used; * this computer"_s));
        const QString prefix = listing[1].mid(2, 8);

        QCOMPARE(succeed({u"logout"_s}), u"Signed out\n"_s);
        refuses({u"whoami"_s}, 1, u"not signed in (use 'velorin login EMAIL')"_s);
        refuses({u"devices"_s}, 1, u"not signed in (use 'velorin login EMAIL')"_s);
        refuses({u"login"_s, email, u"--password-stdin"_s}, 1, u"Invalid email or password"_s, "wrong password\n");
        QCOMPARE(succeed({u"login"_s, email, u"--password-stdin"_s}, password), u"Signed in as grace@example.com\n"_s);
        refuses({u"revoke"_s, u"nothing"_s}, 1, u"no active device 'nothing' (see 'velorin devices')"_s);
        QCOMPARE(succeed({u"revoke"_s, prefix.toLower()}),
                 u"Removed "_s + listing[1].mid(12, 25).trimmed() + u" ("_s + prefix
                     + u"); this computer is added back at its next sign-in or session restore\n"_s);
        QVERIFY(m_backend.stop());
    }

    void everyCommandEscapesWhatTheServerSays()
    {
        const QByteArray login = onTerminal({u"login"_s, u"ada@example.com"_s, u"--password-stdin"_s}, "secret pw\n");
        QVERIFY2(login.contains("Signed in as "), login.constData());
        verifyNothingRaw(login);
        verifyNothingRaw(onTerminal({u"whoami"_s}));
        verifyNothingRaw(onTerminal({u"devices"_s}));

        m_server.on("POST", u"/auth/login"_s, StubServer::Response::json(400, json({{u"error"_s, kHostile}})));
        const QByteArray refused = onTerminal({u"login"_s, u"ada@example.com"_s, u"--password-stdin"_s}, "pw\n");
        QVERIFY2(refused.startsWith("velorin: "), refused.constData());
        verifyNothingRaw(refused);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
