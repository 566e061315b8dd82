// The real velorin-devserver over HTTP, with throw-away data directories.
#include "support/ChildProcess.h"
#include "support/DevServerProcess.h"

#include <QSslConfiguration>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

using Reply = DevServerProcess::Reply;

const QString kPassword = u"secret-pass"_s;
const QRegularExpression kDateWithMs(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"_s);
const QRegularExpression kDateSeconds(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"_s);

QString said(const Reply &reply) { return QString::number(reply.status) + u' ' + reply.error(); }

QList<int> statuses(std::initializer_list<Reply> replies)
{
    QList<int> list;
    for (const Reply &reply : replies)
        list.append(reply.status);
    return list;
}

QString wrongCode(const QString &code) { return code == u"000000"_s ? u"000001"_s : u"000000"_s; }

qint64 residentKiB(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch match = QRegularExpression(u"VmRSS:\\s+(\\d+) kB"_s).match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QByteArray rawRequest(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                      const QString &token = {})
{
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    if (!token.isEmpty())
        head += "Authorization: Bearer " + token.toLatin1() + "\r\n";
    if (!body.isEmpty())
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

// Everything the server sends until it closes, then "(still open)" when it
// had not closed by `timeoutMs`.
QByteArray rawExchange(quint16 port, const QByteArray &bytes, int trickleMs = 0, int timeoutMs = 8000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "not connected";
    QByteArray answer;
    QDeadlineTimer deadline(timeoutMs);
    for (qsizetype at = 0; !deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState;) {
        if (at < bytes.size()) {
            const qsizetype step = trickleMs > 0 ? 1 : bytes.size();
            socket.write(bytes.mid(at, step));
            at += step;
        }
        socket.waitForReadyRead(trickleMs > 0 ? trickleMs : 500);
        answer += socket.readAll();
    }
    answer += socket.readAll();
    return socket.state() == QAbstractSocket::ConnectedState ? answer + "(still open)" : answer;
}

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    std::unique_ptr<DevServerProcess> m_server; // default options, fast hashing
    QString m_token;                            // a signed-in account on m_server
    int m_serial = 0;

    QString newEmail() { return u"user%1@example.com"_s.arg(++m_serial); }
    QString newDir() { return m_root.filePath(u"data-%1"_s.arg(++m_serial)); }

    std::unique_ptr<DevServerProcess> startServer(const QStringList &arguments, QString dir = {}, bool fast = true)
    {
        auto server = std::make_unique<DevServerProcess>(dir.isEmpty() ? newDir() : dir,
                                                         (fast ? DevServerProcess::fastArguments() : QStringList()) + arguments);
        if (!server->start())
            qWarning("%s", qPrintable(server->errorString()));
        return server;
    }

    using Server = DevServerProcess;
    static Reply post(Server &server, const QString &path, const QJsonObject &body, const QString &token = {})
    {
        return server.send("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact), token);
    }
    static Reply get(Server &server, const QString &path, const QString &token) { return server.send("GET", path, {}, token); }
    static Reply me(Server &server, const QString &accessToken) { return get(server, u"/auth/me"_s, accessToken); }
    static Reply byAddress(Server &server, const QString &path, const QString &email) { return post(server, path, {{u"email"_s, email}}); }
    static Reply registerAccount(Server &server, const QString &email, const QString &password = kPassword)
    {
        return post(server, u"/auth/register"_s, {{u"email"_s, email}, {u"password"_s, password}});
    }
    static Reply login(Server &server, const QString &email, const QString &password = kPassword)
    {
        return post(server, u"/auth/login"_s, {{u"email"_s, email}, {u"password"_s, password}});
    }
    static Reply verify(Server &server, const QString &email, const QString &code)
    {
        return post(server, u"/auth/verify-email"_s, {{u"email"_s, email}, {u"code"_s, code}});
    }
    static Reply refresh(Server &server, const QJsonValue &token) { return post(server, u"/auth/refresh"_s, {{u"refresh_token"_s, token}}); }
    static Reply reset(Server &server, const QString &email, const QString &code, const QString &password)
    {
        return post(server, u"/auth/reset-password"_s, {{u"email"_s, email}, {u"code"_s, code}, {u"new_password"_s, password}});
    }

    QJsonObject signUp(Server &server, const QString &email, const QString &password = kPassword)
    {
        const Reply registered = registerAccount(server, email, password);
        const Reply verified = verify(server, email, server.lastCode(email));
        if (registered.status != 201 || verified.status != 200)
            qWarning("sign-up answered %d, %d: %s", registered.status, verified.status, verified.body.constData());
        return verified.json;
    }
    QString signedInToken(Server &server) { return signUp(server, newEmail()).value(u"access_token"_s).toString(); }

    static QJsonObject device(const QString &id, const QString &name = u"Work Mac"_s)
    {
        return {{u"device_id"_s, id}, {u"device_name"_s, name}, {u"platform"_s, u"macos"_s}, {u"app_version"_s, u"1.0"_s}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_server = startServer({});
        QVERIFY(m_server->isRunning());
        m_token = signedInToken(*m_server);
        QVERIFY(!m_token.isEmpty());
    }

    // A used refresh token presented again ends its whole family but not
    // another sign-in, and a password reset ends every sign-in. A spent
    // verification code signs nobody in.
    void sessionsEnd()
    {
        DevServerProcess &server = *m_server;
        const QString email = newEmail();
        const QJsonObject first = signUp(server, email, u"old-password"_s);
        const Reply other = login(server, email, u"old-password"_s); // a second sign-in, its own family
        const Reply rotated = refresh(server, first.value(u"refresh_token"_s));
        QCOMPARE(statuses({rotated, verify(server, email, server.lastCode(email)), refresh(server, first.value(u"refresh_token"_s)),
                           refresh(server, rotated.text(u"refresh_token"_s)), me(server, rotated.text(u"access_token"_s)),
                           me(server, other.text(u"access_token"_s)), refresh(server, u"vrt_made-up"_s)}),
                 (QList<int>{200, 400, 401, 401, 401, 200, 401}));

        QCOMPARE(byAddress(server, u"/auth/forgot-password"_s, email).status, 200);
        const QString code = server.lastCode(email, u"reset"_s);
        QCOMPARE(byAddress(server, u"/auth/forgot-password"_s, email).status, 429);
        QCOMPARE(said(reset(server, email, code, u"short"_s)), u"400 Password must be at least 8 characters"_s);
        QCOMPARE(statuses({reset(server, email, wrongCode(code), u"new-password"_s), reset(server, email, code, u"new-password"_s),
                           reset(server, email, code, u"newer-password"_s), // the code is spent
                           refresh(server, other.text(u"refresh_token"_s)), me(server, other.text(u"access_token"_s)),
                           login(server, email, u"old-password"_s), login(server, email, u"new-password"_s)}),
                 (QList<int>{400, 200, 400, 401, 401, 401, 200}));

        // An unknown address gets the same answer and no mail.
        QCOMPARE(byAddress(server, u"/auth/forgot-password"_s, u"ghost@example.com"_s).status, 200);
        QVERIFY(server.lastCode(u"ghost@example.com"_s, u"reset"_s).isEmpty());
    }

    // Repeated failed sign-ins lock the account for a while, and only that one.
    void lockoutsEndOnTime()
    {
        auto server = startServer({u"--max-login-failures"_s, u"3"_s, u"--lockout-seconds"_s, u"2"_s});
        const QString locked = newEmail();
        const QString bystander = newEmail();
        signUp(*server, locked);
        signUp(*server, bystander);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(login(*server, locked, u"wrong-password"_s).status, 401);
        const QString refused = said(login(*server, locked));
        QVERIFY2(refused.startsWith(u"429 Too many failed sign-in attempts. Try again in"_s), qPrintable(refused));
        QCOMPARE(login(*server, bystander).status, 200);
        QTest::qWait(2200);
        QCOMPARE(login(*server, locked).status, 200);
    }

    void deviceLimitAndRevoke()
    {
        auto server = startServer({u"--device-limit"_s, u"2"_s});
        const QString token = signedInToken(*server);
        const auto registerDevice = [&](const QString &id, const QString &name = u"Work Mac"_s) {
            return post(*server, u"/api/v1/devices/register"_s, device(id, name), token);
        };
        const auto revoke = [&](const QString &id) { return post(*server, u"/api/v1/devices/revoke"_s, {{u"device_id"_s, id}}, token); };
        QCOMPARE(statuses({registerDevice(u"device-a"_s), registerDevice(u"device-a"_s, u"Renamed Mac"_s), // same device: no new entry
                           registerDevice(u"device-b"_s)}),
                 (QList<int>{201, 200, 201}));
        Reply reply = registerDevice(u"device-c"_s);
        QCOMPARE(reply.status, 403);
        QJsonObject detail = reply.json.value(u"detail"_s).toObject();
        QCOMPARE(detail.take(u"devices"_s).toArray().size(), 2);
        QCOMPARE(detail, (QJsonObject{{u"device_limit"_s, 2}, {u"active_count"_s, 2}, {u"can_add_more"_s, false}}));

        const QJsonArray devices = get(*server, u"/api/v1/devices"_s, token).json.value(u"devices"_s).toArray();
        QCOMPARE(devices.size(), 2);
        QJsonObject a = devices[0].toObject();
        const QJsonObject b = devices[1].toObject();
        QVERIFY(a.value(u"id"_s).isDouble() && a.take(u"id"_s) != b.value(u"id"_s));
        QVERIFY(kDateWithMs.match(a.take(u"last_seen_at"_s).toString()).hasMatch()); // seen again
        QVERIFY(kDateSeconds.match(a.take(u"created_at"_s).toString()).hasMatch());
        QCOMPARE(a, (QJsonObject{{u"device_id"_s, u"device-a"_s}, {u"nickname"_s, u"Renamed Mac"_s}, {u"platform"_s, u"macos"_s},
                                 {u"app_version"_s, u"1.0"_s}, {u"is_active"_s, true}}));
        QVERIFY(b.contains(u"last_seen_at"_s) && b.value(u"last_seen_at"_s).isNull());

        QCOMPARE(statuses({revoke(u"device-a"_s), revoke(u"device-a"_s), revoke(u"device-z"_s), registerDevice(u"device-c"_s)}),
                 (QList<int>{200, 200, 404, 201}));
        reply = get(*server, u"/api/v1/devices"_s, token);
        QCOMPARE(reply.json.value(u"active_count"_s), QJsonValue(2));
        const QJsonArray listed = reply.json.value(u"devices"_s).toArray(); // the revoked one is listed inactive
        QCOMPARE(listed.size(), 3);
        QCOMPARE(listed[0].toObject().value(u"is_active"_s), QJsonValue(false));
    }

    // The plan a new account gets from the options; an expired one gets no configuration.
    void subscriptionStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QJsonObject>("plan");
        QTest::addColumn<int>("days");
        QTest::addColumn<int>("configStatus");
        const auto plan = [](const QString &status, const QString &name, bool trial) {
            return QJsonObject{{u"status"_s, status}, {u"plan"_s, name}, {u"is_trial"_s, trial}};
        };
        QTest::newRow("default plan") << QStringList() << plan(u"active"_s, u"monthly"_s, false) << 30 << 200;
        QTest::newRow("trial") << (u"--default-plan trial --plan-days 7"_s).split(u' ') << plan(u"trial"_s, u"trial"_s, true) << 7 << 200;
        QTest::newRow("expired") << (u"--plan-days 0"_s).split(u' ') << plan(u"expired"_s, u"monthly"_s, false) << 0 << 403;
    }

    void subscriptionStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QJsonObject, plan);
        QFETCH(int, days);
        QFETCH(int, configStatus);
        auto server = startServer(arguments);
        const QString token = signedInToken(*server);
        QJsonObject reply = get(*server, u"/api/v1/subscriptions/status"_s, token).json;
        const QString expiresAt = reply.take(u"expires_at"_s).toString();
        QCOMPARE(reply, plan);
        QVERIFY2(kDateSeconds.match(expiresAt).hasMatch(), qPrintable(expiresAt));
        const qint64 offset = QDateTime::currentDateTimeUtc().addDays(days).secsTo(QDateTime::fromString(expiresAt, Qt::ISODateWithMs));
        QVERIFY(offset <= 0 && offset > -30);
        const Reply config = get(*server, u"/api/v1/xray/config"_s, token);
        QCOMPARE(config.status, configStatus);
        if (configStatus == 403)
            QCOMPARE(config.json.value(u"detail"_s).toString(), config.error());
    }

    // The keys a client decodes are proven by the runs that connect (lab,
    // secret audit); here: the server choice and the per-user secrets.
    void configurations_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("perUser");
        QTest::addColumn<QJsonObject>("usWest"); // values fixed for the server us-west-01
        const QString address = u"198.51.100.20"_s;
        QTest::newRow("ikev2") << u"/api/v1/ikev2/config"_s << u"local_id username password"_s
                               << QJsonObject{{u"server_address"_s, address}, {u"protocol"_s, u"ikev2"_s},
                                              {u"ca_name"_s, u"Velorin VPN CA"_s}, {u"server_id"_s, address}};
        QTest::newRow("wireguard") << u"/api/v1/wireguard/config"_s << u"interface_private_key interface_address"_s
                                   << QJsonObject{{u"peer_endpoint"_s, QString(address + u":51820"_s)}};
        QTest::newRow("xray") << u"/api/v1/xray/config"_s << u"uuid"_s
                              << QJsonObject{{u"server_address"_s, address}, {u"server_port"_s, QJsonValue(443)}};
    }

    void configurations()
    {
        QFETCH(QString, path);
        QFETCH(QString, perUser);
        QFETCH(QJsonObject, usWest);
        DevServerProcess &server = *m_server;
        const QString other = signedInToken(server);

        const Reply byDefault = get(server, path, m_token);
        const QString addressKey = usWest.contains(u"peer_endpoint"_s) ? u"peer_endpoint"_s : u"server_address"_s;
        QVERIFY(byDefault.json.value(addressKey).toString().startsWith(u"203.0.113.10"_s)); // sg-node-01

        const Reply chosen = get(server, path + u"?server_id=us-west-01"_s, m_token);
        QJsonObject fixed;
        for (const QString &key : usWest.keys())
            fixed.insert(key, chosen.json.value(key));
        QCOMPARE(fixed, usWest);
        QCOMPARE(get(server, path + u"?server_id=us-west-01"_s, m_token).json, chosen.json);
        const Reply otherUser = get(server, path + u"?server_id=us-west-01"_s, other);
        for (const QString &key : perUser.split(u' ')) {
            QCOMPARE(chosen.json.value(key), byDefault.json.value(key)); // per user, not per server
            QVERIFY(otherUser.json.value(key) != chosen.json.value(key));
        }

        QCOMPARE(said(get(server, path + u"?server_id=mars-01"_s, m_token)), u"404 Unknown server \"mars-01\""_s);
        const Reply anonymous = get(server, path, {});
        QCOMPARE(anonymous.status, 401);
        QCOMPARE(anonymous.header("WWW-Authenticate"), "Bearer");

        if (path.contains(u"wireguard"_s)) { // a clamped Curve25519 private key
            const QByteArray key = QByteArray::fromBase64(chosen.text(u"interface_private_key"_s).toLatin1());
            QCOMPARE(key.size(), 32);
            QCOMPARE(key[0] & 7, 0);
            QCOMPARE(key[31] & 0xc0, 0x40);
        }
        if (path.contains(u"xray"_s)) {
            QVERIFY(QRegularExpression(u"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"_s)
                        .match(chosen.text(u"uuid"_s))
                        .hasMatch());
        }
    }

    // A restart (here after SIGINT) keeps every account, session, device,
    // configuration and pending code; seeding the demo account again keeps it usable.
    void aRestartKeepsEverything()
    {
        const QString dir = newDir();
        auto server = startServer({u"--seed-demo"_s}, dir);
        const auto demoIsReady = [&server] {
            QTRY_VERIFY(server->output().contains(u"demo account: email=demo@example.com password=velorin-demo plan=yearly"_s));
            const Reply signedIn = login(*server, u"demo@example.com"_s, u"velorin-demo"_s);
            const Reply plan = get(*server, u"/api/v1/subscriptions/status"_s, signedIn.text(u"access_token"_s));
            QCOMPARE(plan.text(u"status"_s) + u' ' + plan.text(u"plan"_s), u"active yearly"_s);
        };
        demoIsReady();
        const QString email = newEmail();
        const QString pending = newEmail();
        const QJsonObject tokens = signUp(*server, email);
        const QString access = tokens.value(u"access_token"_s).toString();
        QCOMPARE(post(*server, u"/api/v1/devices/register"_s, device(u"kept-device"_s), access).status, 201);
        QCOMPARE(registerAccount(*server, pending).status, 201);
        QJsonObject configs;
        for (const QString &path : {u"/api/v1/ikev2/config"_s, u"/api/v1/wireguard/config"_s, u"/api/v1/xray/config"_s})
            configs.insert(path, get(*server, path, access).json);
        QVERIFY(server->stop(SIGINT));
        QVERIFY(server->output().contains(u"velorin-devserver stopping (SIGINT)"_s));
        QVERIFY(server->output().trimmed().endsWith(u"velorin-devserver stopped"_s));

        server = startServer({u"--seed-demo"_s}, dir);
        QVERIFY(server->isRunning());
        demoIsReady();
        for (const QString &path : configs.keys())
            QCOMPARE(get(*server, path, access).json, configs.value(path).toObject());
        const Reply list = get(*server, u"/api/v1/devices"_s, access);
        QCOMPARE(list.json.value(u"devices"_s).toArray().first().toObject().value(u"device_id"_s).toString(), u"kept-device"_s);
        QCOMPARE(statuses({me(*server, access), refresh(*server, tokens.value(u"refresh_token"_s)), login(*server, email),
                           verify(*server, pending, server->lastCode(pending))}),
                 (QList<int>{200, 200, 200, 200}));
    }

    // Bad requests, refused from their body or from their headers alone (the
    // answer must not wait for a body), get a JSON error and harm nothing.
    void badRequestsGetAJsonError_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray device = R"(,"device_name":"x","platform":"macos","app_version":"1"})";
        const QByteArray overLimit = "POST /auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 900000000\r\n\r\n";
        const struct
        {
            const char *name;
            QByteArray request;
            int status;
        } rows[] = {
            {"malformed JSON", rawRequest("POST", "/auth/login", "{\"email\": "), 400},
            {"not an object", rawRequest("POST", "/auth/login", "[1, 2]"), 400},
            {"no body", rawRequest("POST", "/auth/register"), 400},
            {"missing field", rawRequest("POST", "/auth/login", R"({"email":"a@example.com"})"), 400},
            {"wrong type", rawRequest("POST", "/auth/register", R"({"email":"a@example.com","password":12345678})"), 400},
            {"null code", rawRequest("POST", "/auth/verify-email", R"({"email":"a@example.com","code":null})"), 400},
            {"not an address", rawRequest("POST", "/auth/register", R"({"email":"a b@example","password":"secret-pass"})"), 400},
            {"short password", rawRequest("POST", "/auth/register", R"({"email":"b@example.com","password":"1234567"})"), 400},
            {"device id wrong type", rawRequest("POST", "/api/v1/devices/register", R"({"device_id":5)" + device, m_token), 400},
            {"empty device id", rawRequest("POST", "/api/v1/devices/register", R"({"device_id":" ")" + device, m_token), 400},
            {"oversized body", rawRequest("POST", "/auth/login", "{\"email\":\"" + QByteArray(100 * 1024, 'a') + "\"}"), 413},
            {"unknown path", rawRequest("GET", "/auth/everything"), 404},
            {"unknown API path", rawRequest("GET", "/api/v1/servers", {}, m_token), 404},
            {"wrong method", rawRequest("GET", "/auth/login"), 405},
            {"wrong method, API", rawRequest("DELETE", "/api/v1/devices", {}, m_token), 405},
            {"no bearer", rawRequest("GET", "/auth/me"), 401},
            {"declared length over the limit", overLimit, 413},
            {"over the limit, bare line feeds", QByteArray(overLimit).replace("\r\n", "\n"), 413},
            {"no declared length", "POST /auth/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
            {"endless headers", "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'x'), 431},
            {"not HTTP", "HELLO\r\n\r\n", 400},
            {"protocol upgrade", "GET /auth/me HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n", 400},
        };
        for (const auto &row : rows)
            QTest::newRow(row.name) << row.request << row.status;
    }

    void badRequestsGetAJsonError()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const QByteArray answer = rawExchange(m_server->port(), request, 0, 10000);
        QVERIFY2(answer.startsWith(QByteArray("HTTP/1.1 " + QByteArray::number(status) + ' ')), answer.left(300).constData());
        const qsizetype bodyAt = answer.indexOf("\r\n\r\n") + 4;
        const QJsonObject body = QJsonDocument::fromJson(answer.mid(bodyAt).replace("(still open)", "")).object();
        QVERIFY2(!body.value(u"error"_s).toString().isEmpty(), answer.left(300).constData());
        if (status == 405)
            QVERIFY(answer.left(bodyAt).toLower().contains("\r\nallow: "));
        QCOMPARE(get(*m_server, u"/api/v1/subscriptions/status"_s, m_token).status, 200);
    }

    void aStrangerWhoRegistersAnAddressFirstCannotKeepIt()
    {
        DevServerProcess &server = *m_server;
        const QString email = newEmail();
        QCOMPARE(registerAccount(server, email, u"strangers-pass"_s).status, 201);
        // The mail is printed as well as written to the outbox.
        const QString strangersCode = server.lastCode(email);
        QTRY_VERIFY(server.output().contains(u"Z to="_s + email + u" purpose=verify code="_s + strangersCode));
        // The address is matched without case and surrounding blanks.
        QCOMPARE(said(registerAccount(server, u"  "_s + email.toUpper() + u' ')), u"409 An account with this email already exists"_s);
        QCOMPARE(said(login(server, email, u"strangers-pass"_s)), u"400 Email not verified. Enter the code we sent you."_s);

        // The owner of the mailbox claims the address with a password reset.
        QCOMPARE(byAddress(server, u"/auth/forgot-password"_s, email).status, 200);
        QCOMPARE(statuses({reset(server, email, server.lastCode(email, u"reset"_s), kPassword),
                           login(server, email, u"strangers-pass"_s), verify(server, email, strangersCode)}),
                 (QList<int>{200, 401, 400}));
        QCOMPARE(me(server, login(server, email).text(u"access_token"_s)).json.value(u"email_verified"_s), QJsonValue(true));
    }

    void answersDoNotTellWhetherAnAddressHasAnAccount()
    {
        auto server = startServer({u"--resend-cooldown"_s, u"1"_s, u"--max-login-failures"_s, u"3"_s,
                                   u"--client-tries-per-hour"_s, u"1000"_s});
        const QString verified = newEmail();
        const QString unverified = newEmail();
        signUp(*server, verified);
        QCOMPARE(registerAccount(*server, unverified).status, 201);
        QTest::qWait(1100); // past the cool-down of the codes mailed above

        // What a stranger sees: every answer, with the address blanked out.
        const auto transcript = [&](const QString &email) {
            QStringList seen;
            const auto note = [&](const Reply &reply) {
                seen << QString::number(reply.status) + u' ' + QString::fromUtf8(reply.body).replace(email, u"ADDRESS"_s);
            };
            for (int i = 0; i < 19; ++i) {
                if (i < 2)
                    note(byAddress(*server, u"/auth/resend-code"_s, email));
                else if (i < 7)
                    note(verify(*server, email, wrongCode(server->lastCode(email))));
                else if (i < 9)
                    note(byAddress(*server, u"/auth/forgot-password"_s, email));
                else if (i < 15)
                    note(reset(*server, email, wrongCode(server->lastCode(email, u"reset"_s)), u"another-pass"_s));
                else
                    note(login(*server, email, u"wrong-password"_s));
            }
            return seen;
        };
        const QStringList expected = transcript(newEmail()); // no account at all
        QVERIFY2(expected.last().startsWith(u"429 "_s), qPrintable(expected.last()));
        QCOMPARE(transcript(verified), expected);
        QCOMPARE(transcript(unverified), expected);
    }

    // A code dies after five wrong tries (a replaced code counts as one) and a
    // new one waits for the cool-down; ten wrong tries in an hour lock the
    // address, twelve from one client lock that client for every address.
    void guessingCodesIsStoppedAtEachLimit()
    {
        auto server = startServer({u"--resend-cooldown"_s, u"1"_s, u"--client-tries-per-hour"_s, u"12"_s});
        const QString email = newEmail();
        QCOMPARE(registerAccount(*server, email).status, 201);
        const auto tryCode = [&](const QString &address, bool right) {
            const QString code = server->lastCode(address);
            return verify(*server, address, right ? code : wrongCode(code));
        };
        const auto resend = [&] { return said(byAddress(*server, u"/auth/resend-code"_s, email)); };
        const QString first = server->lastCode(email);
        const QString early = resend();
        QVERIFY2(early.startsWith(u"429 Please wait"_s), qPrintable(early));
        QTest::qWait(1100);
        QCOMPARE(resend(), u"200 "_s);
        const QString second = server->lastCode(email);
        Reply reply;
        for (int attempt = 0; attempt < 4; ++attempt)
            reply = tryCode(email, false);
        QCOMPARE(said(reply), u"400 That code is not right. 1 try left."_s);
        QCOMPARE(said(verify(*server, email, first != second ? first : wrongCode(second))), // unless both happen to match
                 u"429 Too many wrong codes. Ask for a new code."_s);
        QVERIFY(said(tryCode(email, true)).startsWith(u"400 There is no valid code"_s));

        const QString laterHour = u"Too many wrong codes. Try again in 60 minutes."_s;
        QTest::qWait(1100);
        QCOMPARE(resend(), u"200 "_s);
        for (int i = 0; i < 5; ++i) // ten in an hour lock the address, even for the right code
            QCOMPARE(tryCode(email, false).status, i < 4 ? 400 : 429);
        QTest::qWait(1100);
        QCOMPARE(resend(), u"200 "_s);
        QCOMPARE(tryCode(email, true).error(), laterHour);
        QCOMPARE(statuses({tryCode(u"other@example.com"_s, false), tryCode(u"other@example.com"_s, false)}),
                 (QList<int>{400, 400}));
        QCOMPARE(tryCode(u"third@example.com"_s, false).error(), laterHour);
        QCOMPARE(login(*server, email).status, 429);
    }

    void aFloodOfSignInsGets503WhileMemoryStaysFlat()
    {
        // Slow hashing and a short queue, so the flood outruns the workers.
        auto server = startServer({u"--pbkdf2-iterations"_s, u"20000"_s, u"--hash-queue"_s, u"2"_s,
                                   u"--max-login-failures"_s, u"1000"_s, u"--client-tries-per-hour"_s, u"100000"_s,
                                   u"--max-connections-per-client"_s, u"1000"_s},
                                  {}, false);
        const QByteArray request = rawRequest("POST", "/auth/login", R"({"email":"flood@example.com","password":"wrong-password"})");
        QMap<QByteArray, int> statuses;
        const auto flood = [&](int rounds) {
            for (int round = 0; round < rounds; ++round) {
                std::vector<std::unique_ptr<QTcpSocket>> sockets;
                for (int i = 0; i < 30; ++i) {
                    sockets.push_back(std::make_unique<QTcpSocket>());
                    sockets.back()->connectToHost(QHostAddress::LocalHost, server->port());
                    sockets.back()->write(request);
                }
                // Through the event loop, which also drains the server's output.
                for (const auto &socket : sockets) {
                    QTRY_VERIFY_WITH_TIMEOUT(socket->peek(4096).contains("\r\n\r\n"), 20000);
                    const QByteArray answer = socket->readAll();
                    ++statuses[answer.left(12)];
                    QVERIFY(!answer.startsWith("HTTP/1.1 503") || answer.toLower().contains("\r\nretry-after: 1\r\n"));
                }
            }
        };
        flood(5);
        const qint64 before = residentKiB(server->pid());
        flood(25);
        const qint64 after = residentKiB(server->pid());
        QVERIFY2(statuses.value("HTTP/1.1 503") > 500 && statuses.value("HTTP/1.1 401") > 50,
                 qPrintable(u"503: %1, 401: %2"_s.arg(statuses.value("HTTP/1.1 503")).arg(statuses.value("HTTP/1.1 401"))));
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer's quarantine of freed memory grows by design
        QVERIFY2(before > 0 && after - before < 1024, qPrintable(u"%1 KiB, then %2 KiB"_s.arg(before).arg(after)));
#else
        Q_UNUSED(before);
        Q_UNUSED(after);
#endif
        QCOMPARE(login(*server, u"flood@example.com"_s).status, 401); // the queue has drained
    }

    // A client that is too slow to send its whole request is cut off: 408,
    // or a plain close when it sent nothing at all. A client past its cap of
    // connections gets 503 until one of them closes.
    void slowClientsAndTooManyConnectionsAreCutOff()
    {
        auto server = startServer({u"--client-timeout"_s, u"1"_s, u"--max-connections-per-client"_s, u"3"_s});
        const QByteArray head = "POST /auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 40\r\n\r\n";
        const struct
        {
            QByteArray bytes;
            int trickleMs;
            QByteArray answer;
        } rows[] = {{{}, 0, {}}, {head.left(20), 0, "HTTP/1.1 408 "}, {head + "{\"email\":", 0, "HTTP/1.1 408 "}, {head, 150, "HTTP/1.1 408 "}};
        for (const auto &row : rows) {
            const QByteArray seen = rawExchange(server->port(), row.bytes, row.trickleMs);
            QVERIFY2(row.answer.isEmpty() ? seen.isEmpty() : seen.startsWith(row.answer) && !seen.endsWith("(still open)"),
                     seen.constData());
        }

        std::vector<std::unique_ptr<QTcpSocket>> open;
        for (int i = 0; i < 3; ++i) {
            open.push_back(std::make_unique<QTcpSocket>());
            open.back()->connectToHost(QHostAddress::LocalHost, server->port());
            QVERIFY(open.back()->waitForConnected(5000));
        }
        QTRY_VERIFY(rawExchange(server->port(), {}).startsWith("HTTP/1.1 503 "));
        open.pop_back();
        QTRY_VERIFY(rawExchange(server->port(), rawRequest("GET", "/auth/me")).startsWith("HTTP/1.1 401 "));
    }

    void servesHttpsWithACertificate()
    {
        const QString cert = m_root.filePath(u"cert.pem"_s);
        const QString key = m_root.filePath(u"key.pem"_s);
        const QStringList request = u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                    "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"_s.split(u' ');
        const auto openssl = ChildProcess::run(u"openssl"_s, request + QStringList{u"-keyout"_s, key, u"-out"_s, cert});
        QVERIFY2(openssl.exitCode == 0, qPrintable(openssl.err));
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        QVERIFY(trusting.addCaCertificates(cert));
        QSslConfiguration::setDefaultConfiguration(trusting);

        // Any address but loopback serves the network: plain HTTP there is warned about, HTTPS is not.
        const QStringList network{u"--listen"_s, u"0.0.0.0"_s};
        auto plain = startServer(network);
        QTRY_VERIFY(plain->errorOutput().contains(u"warning: serving plain HTTP on 0.0.0.0"_s));
        auto server = startServer(network + QStringList{u"--tls-cert"_s, cert, u"--tls-key"_s, key});
        QVERIFY(server->url().toString().startsWith(u"https://"_s));
        QVERIFY(!server->errorOutput().contains(u"warning"_s));
        QCOMPARE(get(*server, u"/api/v1/subscriptions/status"_s, signedInToken(*server)).status, 200);
        QVERIFY(!rawExchange(server->port(), "GET /auth/me HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1"));
    }

    // With the default, slow password hashing: a client gone before its
    // answer does no harm (the work finishes anyway), and the data files hold
    // no secret and are for their owner alone.
    void leavingClientsAndStoredSecrets()
    {
        auto server = startServer({}, {}, false);
        const QString email = newEmail();
        const QString password = u"correct horse battery"_s;
        const QByteArray body = QJsonDocument(QJsonObject{{u"email"_s, email}, {u"password"_s, password}}).toJson(QJsonDocument::Compact);
        const auto leaveEarly = [&](const QByteArray &path) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, server->port());
            QVERIFY(socket.waitForConnected(5000));
            socket.write(rawRequest("POST", path, body));
            QVERIFY(socket.waitForBytesWritten(5000));
            QTest::qWait(50);
            socket.abort();
        };
        leaveEarly("/auth/register");
        QTRY_VERIFY_WITH_TIMEOUT(!server->lastCode(email).isEmpty(), 10000);
        leaveEarly("/auth/login");
        QTRY_VERIFY_WITH_TIMEOUT(server->output().contains(u" POST /auth/login 400 "_s), 10000);
        QCOMPARE(server->send("GET", u"/auth/me"_s).status, 401);

        const QString code = server->lastCode(email);
        const Reply verified = verify(*server, email, code);
        QCOMPARE(verified.status, 200);
        const QDir dir(server->dataDir());
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                          | QFile::WriteOther | QFile::ExeOther;
        for (const QString &path : {dir.path(), dir.filePath(u"devserver.sqlite3"_s), dir.filePath(u"outbox.log"_s)})
            QVERIFY2(QFileInfo::exists(path) && (QFileInfo(path).permissions() & others) == 0, qPrintable(path));

        QFile database(dir.filePath(u"devserver.sqlite3"_s));
        QVERIFY(database.open(QIODevice::ReadOnly));
        const QByteArray stored = database.readAll();
        for (const QString &secret : {password, verified.text(u"access_token"_s), verified.text(u"refresh_token"_s), code})
            QVERIFY(!stored.contains(secret.toUtf8()));

        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"inspect"_s);
            db.setDatabaseName(dir.filePath(u"devserver.sqlite3"_s));
            db.setConnectOptions(u"QSQLITE_OPEN_READONLY"_s);
            QVERIFY(db.open());
            QSqlQuery query(u"SELECT password_iterations, length(password_hash), length(password_salt) FROM users"_s, db);
            QVERIFY(query.next());
            QVERIFY(query.value(0).toInt() >= 200000);
            QCOMPARE(u"%1 %2"_s.arg(query.value(1).toInt()).arg(query.value(2).toInt()), u"32 16"_s); // hash and salt bytes
        }
        QSqlDatabase::removeDatabase(u"inspect"_s);
    }

    // The list replaces the built-in one (the lab connects through such a list).
    void aServerListFromTheCommandLine()
    {
        const QString file = m_root.filePath(u"lab-servers.json"_s);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(R"({"servers": [{"id": "lab", "address": "192.0.2.7", "name": "Lab", "location": "Test net",
                      "ikev2": {}}]})");
        out.close();
        auto server = startServer({u"--servers"_s, file});
        const QString token = signedInToken(*server);
        QCOMPARE(said(get(*server, u"/api/v1/wireguard/config"_s, token)), u"404 The server lab does not offer WireGuard"_s);
        QCOMPARE(get(*server, u"/api/v1/ikev2/config?server_id=sg-node-01"_s, token).status, 404);
    }

    void commandLineMistakes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString broken = m_root.filePath(u"broken.json"_s);
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"servers": [{"id": "x", "xray": {"server_name": "a.example", "short_id": "01"}}]})");
        file.close();
        const QStringList data{u"--data"_s, newDir()};
        QTest::newRow("no data directory") << QStringList{u"--port"_s, u"0"_s} << 2 << u"--data DIR is required"_s;
        QTest::newRow("bad port") << data + QStringList{u"--port"_s, u"70000"_s} << 2 << u"--port needs a whole number from 0 to 65535"_s;
        QTest::newRow("unknown option") << data + QStringList{u"--colour"_s} << 2 << u"Unknown option 'colour'"_s;
        QTest::newRow("broken server list") << data + QStringList{u"--servers"_s, broken} << 1
                                            << u"server \"x\" xray: \"server_address\" is missing"_s;
        QTest::newRow("data directory in use") << QStringList{u"--data"_s, m_server->dataDir(), u"--port"_s, u"0"_s} << 1
                                               << u"another velorin-devserver is using"_s;
        QTest::newRow("certificate without key") << data + QStringList{u"--tls-cert"_s, broken} << 2
                                                 << u"--tls-cert and --tls-key go together"_s;
        QTest::newRow("not a certificate") << data + QStringList{u"--tls-cert"_s, broken, u"--tls-key"_s, broken} << 1
                                           << u"cannot read a PEM certificate from"_s;
        QTest::newRow("help") << QStringList{u"--help"_s} << 0 << u"--seed-demo"_s;
        QTest::newRow("port in use") << data + QStringList{u"--port"_s, QString::number(m_server->port())} << 1
                                     << u"cannot listen on 127.0.0.1:"_s;
    }

    void commandLineMistakes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const auto result = ChildProcess::run(ChildProcess::builtProgram(u"velorin-devserver"_s), arguments);
        QCOMPARE(result.exitCode, exitCode);
        // Mistakes are told on standard error; the help goes to standard output.
        QVERIFY2((exitCode == 0 ? result.out : result.err).contains(message), qPrintable(result.err));
        QVERIFY(!result.out.contains(u"listening"_s));
    }

    void cleanupTestCase()
    {
        QVERIFY2(m_server->stop(), qPrintable(m_server->errorOutput()));
        QVERIFY2(m_server->errorOutput().isEmpty(), qPrintable(m_server->errorOutput()));
    }
};

QTEST_GUILESS_MAIN(TestDevServer)
#include "tst_devserver.moc"
