// The `velorin` program on a pseudo-terminal against a server whose every
// name and message carries escape sequences, control characters and
// bidirectional overrides: none reaches the terminal raw.
#include "support/ChildProcess.h"
#include "support/StubServer.h"

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

class TestCliTerminal : public QObject
{
    Q_OBJECT

    StubServer m_server;
    QTemporaryDir m_config;

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
                      QStringList{u"--config-dir"_s, m_config.path()} + arguments);
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

QTEST_GUILESS_MAIN(TestCliTerminal)
#include "tst_cli_terminal.moc"
