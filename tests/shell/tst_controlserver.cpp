// The control socket, driven by real local-socket clients.
#include "shell/ControlServer.h"
#include "shell/ShellFixture.h"

#include <QLocalSocket>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Client
{
    QLocalSocket socket;
    QByteArray buffer;
    QList<QJsonObject> lines;

    explicit Client(const QString &path)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, &socket, [this] {
            buffer += socket.readAll();
            for (qsizetype end; (end = buffer.indexOf('\n')) >= 0; buffer.remove(0, end + 1))
                lines.append(QJsonDocument::fromJson(buffer.left(end)).object());
        });
        socket.connectToServer(path);
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    bool waitFor(qsizetype count) { return QTest::qWaitFor([&] { return lines.size() >= count; }, 5000); }
    bool waitClosed()
    {
        return QTest::qWaitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000);
    }
    QStringList states() const
    {
        QStringList names;
        for (const QJsonObject &line : lines)
            if (line.contains(u"event"_s))
                names.append(line.value(u"state"_s).toString());
        return names;
    }
};

QByteArray request(const QString &command, QJsonObject fields = {})
{
    fields.insert(u"version"_s, 1);
    fields.insert(u"command"_s, command);
    return QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

class TestControlServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ShellFixture> m_shell;
    std::unique_ptr<ControlServer> m_server;
    QStringList m_activated;
    QList<bool> m_proxyOnly;

    QString path() const { return m_dir.filePath(u"app.sock"_s); }

private slots:
    void init()
    {
        m_shell = std::make_unique<ShellFixture>();
        m_activated.clear();
        m_proxyOnly.clear();
        ControlServer::Actions actions;
        actions.activate = [this](const QString &window) { m_activated.append(window); };
        actions.setProxyOnly = [this](bool on) { m_proxyOnly.append(on); };
        m_server = std::make_unique<ControlServer>(m_shell->vpn, m_shell->servers, actions);
        QCOMPARE(m_server->listen(path()), std::nullopt);
    }

    void cleanup()
    {
        m_server.reset();
        m_shell.reset();
    }

    // (Status and select: the single-instance test's command line.)
    void activateCallsTheAction()
    {
        Client activate(path());
        activate.send(request(u"activate"_s, {{u"window"_s, u"settings"_s}}));
        QVERIFY(activate.waitFor(1));
        QCOMPARE(m_activated, QStringList{u"settings"_s});
    }

    // The proxy-only switch goes back off after the disconnect.
    void connectFollowsTheStatesAndDisconnects()
    {
        Client client(path());
        client.send(request(u"connect"_s, {{u"protocol"_s, u"XrayReality"_s}, {u"server"_s, u"sg-node-01"_s},
                                           {u"proxyOnly"_s, true}}));
        QVERIFY(client.waitFor(1));
        QVERIFY(client.lines.first().value(u"ok"_s).toBool());
        QCOMPARE(m_shell->vpn.selectedProtocol(), VPNProtocolType::XrayReality);
        QCOMPARE(m_shell->xray.connectCalls.size(), 1);
        QCOMPARE(m_shell->xray.connectCalls[0].serverId, std::optional(u"sg-node-01"_s));
        m_shell->xray.setConnectedServer(u"sg-node-01"_s, u"203.0.113.10"_s);
        m_shell->xray.setState(VPNConnectionState::connected());
        QVERIFY(client.waitFor(2));
        QCOMPARE(client.lines.last().value(u"address"_s).toString(), u"203.0.113.10"_s);

        Client same(path()), elsewhere(path());
        same.send(request(u"connect"_s, {{u"protocol"_s, u"XrayReality"_s}, {u"server"_s, u"sg-node-01"_s}}));
        elsewhere.send(request(u"connect"_s, {{u"protocol"_s, u"IKEv2"_s}}));
        QVERIFY(same.waitFor(2) && elsewhere.waitFor(1));
        QCOMPARE(same.states(), QStringList{u"connected"_s});
        QVERIFY(elsewhere.lines.first().value(u"error"_s).toString().contains(u"velorin disconnect"_s));
        QCOMPARE(m_shell->xray.connectCalls.size(), 1);

        client.send(request(u"disconnect"_s));
        QTRY_COMPARE(m_shell->xray.disconnectCalls, 1);
        m_shell->xray.setState(VPNConnectionState::disconnecting());
        m_shell->xray.setState(VPNConnectionState::disconnected());
        QTRY_COMPARE(client.states().last(), u"disconnected"_s);
        QCOMPARE(m_proxyOnly, (QList<bool>{true, false}));
    }

    void badRequestsGetAnErrorAndNothingChanges_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("not json") << QByteArray("status please\n") << u"malformed request"_s;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\x01\n", 7) << u"malformed request"_s;
        QTest::newRow("array") << QByteArray("[1,2]\n") << u"malformed request"_s;
        QTest::newRow("no version") << QByteArray("{\"command\":\"status\"}\n") << u"malformed request"_s;
        QTest::newRow("other version") << request(u"status"_s).replace("\"version\":1", "\"version\":2")
                                       << u"unsupported protocol version 2"_s;
        QTest::newRow("unknown command") << request(u"shutdown"_s) << u"unknown command \"shutdown\""_s;
        QTest::newRow("wrong type") << request(u"select"_s, {{u"server"_s, 7}}) << u"malformed request"_s;
        QTest::newRow("odd server id") << request(u"select"_s, {{u"server"_s, u"../../x"_s}}) << u"not a server id"_s;
        QTest::newRow("unknown server") << request(u"select"_s, {{u"server"_s, u"xx-node-99"_s}})
                                        << u"unknown server"_s;
        QTest::newRow("proxy-only IKEv2") << request(u"connect"_s, {{u"protocol"_s, u"IKEv2"_s}, {u"proxyOnly"_s, true}})
                                          << u"proxy-only works with the Xray protocol only"_s;
        QTest::newRow("too long") << QByteArray(10 * 1024 * 1024, 'x') << u"request too long"_s;
    }

    void badRequestsGetAnErrorAndNothingChanges()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const QString selected = m_shell->servers.selectedServer().id;
        Client client(path());
        client.send(bytes);
        QVERIFY(client.waitFor(1));
        QVERIFY(!client.lines.first().value(u"ok"_s).toBool(true));
        QVERIFY2(client.lines.first().value(u"error"_s).toString().startsWith(error),
                 qPrintable(client.lines.first().value(u"error"_s).toString()));
        QVERIFY(client.waitClosed());
        QVERIFY(m_shell->ikev2.connectCalls.isEmpty() && m_shell->xray.connectCalls.isEmpty());
        QCOMPARE(m_shell->servers.selectedServer().id, selected);
        Client next(path());
        next.send(request(u"status"_s));
        QVERIFY(next.waitFor(1) && next.lines.first().value(u"ok"_s).toBool());
    }

    // Another user reaching the socket (its folder opened by mistake) is
    // refused before anything it sends is read.
    void aPeerOfAnotherUserIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a client as another user");
        QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                        | QFileDevice::ExeOwner | QFileDevice::ExeOther));
        QVERIFY(::chmod(QFile::encodeName(path()).constData(), 0777) == 0);
        const QByteArray socketPath = QFile::encodeName(path());
        const QByteArray ask = request(u"disconnect"_s);
        const pid_t child = ::fork();
        if (child == 0) {
            // As nobody: exit 0 only when the answer is the refusal.
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            ::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                ::_exit(3);
            [[maybe_unused]] const ssize_t sent = ::write(fd, ask.constData(), size_t(ask.size()));
            char answer[512] = {};
            const ssize_t n = ::read(fd, answer, sizeof answer - 1);
            ::_exit(n > 0 && std::strstr(answer, "refused: this application belongs to another user") ? 0 : 4);
        }
        // The application answers from this thread's event loop.
        int status = -1;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5000));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(m_shell->ikev2.disconnectCalls, 0);
    }
};

QTEST_MAIN(TestControlServer)
#include "tst_controlserver.moc"
