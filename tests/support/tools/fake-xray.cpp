// fake-xray: plays the xray executable ("version", "run -c FILE"). "run"
// checks the inbounds "socks-in" and "http-in" on 127.0.0.1 (exit 23
// otherwise, 64 for a bad command line) and serves both proxies, forwarding
// directly, until a signal ends it.
//
// Environment (all optional):
//   FAKE_XRAY_VERSION=TEXT      "version" prints TEXT as its first line ...
//   FAKE_XRAY_VERSION_EXIT=N    ... and exits with N
//   FAKE_XRAY_PIDFILE=PATH      append "<pid>\n" at start (line count: launch number)
//   FAKE_XRAY_DELAY_MS=N        wait N ms before listening
//   FAKE_XRAY_NO_LISTEN=LIST    never listen: "all", or launch numbers "2,3"
//   FAKE_XRAY_EXIT_AFTER_MS=N   exit with status 1 N ms after the start ...
//   FAKE_XRAY_EXIT_LAUNCHES=L   ... only at the launches listed ("2,3"; default all)
//   FAKE_XRAY_HANG_AFTER_MS=N   first launch only: stop listening N ms later, keep running
//   FAKE_XRAY_CHATTY=BYTES      write BYTES to standard output and to standard
//                               error before listening (blocks on a full pipe)
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

#include <cstdio>
#include <unistd.h>

namespace {

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "fake-xray: %s\n", qPrintable(message));
    return code;
}

void relay(QTcpSocket *a, QTcpSocket *b)
{
    auto pump = [](QTcpSocket *from, QTcpSocket *to) {
        QObject::connect(from, &QTcpSocket::readyRead, to, [from, to] { to->write(from->readAll()); });
        QObject::connect(from, &QTcpSocket::disconnected, to, [from, to] {
            to->write(from->readAll());
            to->disconnectFromHost();
        });
    };
    pump(a, b);
    pump(b, a);
    if (a->bytesAvailable() > 0)
        b->write(a->readAll());
    if (b->bytesAvailable() > 0)
        a->write(b->readAll());
}

void dial(QTcpSocket *client, const QString &host, quint16 port, std::function<void(QTcpSocket *)> ready,
          std::function<void()> failed)
{
    auto *upstream = new QTcpSocket(client);
    QObject::connect(upstream, &QTcpSocket::connected, client, [upstream, ready] { ready(upstream); });
    QObject::connect(upstream, &QTcpSocket::errorOccurred, client, [upstream, failed](QAbstractSocket::SocketError) {
        if (upstream->state() != QAbstractSocket::ConnectedState)
            failed();
    });
    upstream->connectToHost(host, port);
}

// SOCKS5, RFC 1928: greeting, CONNECT request, then relay.
void serveSocks(QTcpSocket *client)
{
    auto stage = std::make_shared<int>(0);
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(client, &QTcpSocket::readyRead, client, [client, stage, buffer] {
        if (*stage >= 2)
            return;
        buffer->append(client->readAll());
        const QByteArray &b = *buffer;
        if (*stage == 0) {
            if (b.size() < 2 || b.size() < 2 + quint8(b[1]))
                return;
            const int methods = quint8(b[1]);
            const bool acceptable = quint8(b[0]) == 5 && b.mid(2, methods).contains('\0');
            buffer->remove(0, 2 + methods);
            if (!acceptable) {
                client->write(QByteArray("\x05\xff", 2));
                client->disconnectFromHost();
                return;
            }
            client->write(QByteArray("\x05\x00", 2));
            *stage = 1;
        }
        if (*stage == 1) {
            // Only what the tests send: CONNECT (1) to an IPv4 address (type 1).
            if (b.size() < 10)
                return;
            if (quint8(b[1]) != 1 || quint8(b[3]) != 1) {
                client->write(QByteArray("\x05\x07\x00\x01\0\0\0\0\0\0", 10));
                client->disconnectFromHost();
                return;
            }
            const QString host = QHostAddress(qFromBigEndian<quint32>(b.constData() + 4)).toString();
            const quint16 port = qFromBigEndian<quint16>(b.constData() + 8);
            const QByteArray rest = b.mid(10);
            *stage = 2;
            dial(
                client, host, port,
                [client, rest](QTcpSocket *upstream) {
                    client->write(QByteArray("\x05\x00\x00\x01\0\0\0\0\0\0", 10));
                    upstream->write(rest);
                    relay(client, upstream);
                },
                [client] {
                    client->write(QByteArray("\x05\x05\x00\x01\0\0\0\0\0\0", 10));
                    client->disconnectFromHost();
                });
        }
    });
}

// HTTP proxy: CONNECT host:port, or an absolute URI forwarded in origin form.
void serveHttp(QTcpSocket *client)
{
    auto buffer = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(client, &QTcpSocket::readyRead, client, [client, buffer, done] {
        if (*done)
            return;
        buffer->append(client->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        *done = true;
        const QByteArray head = buffer->left(end);
        const QByteArray rest = buffer->mid(end + 4);
        QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> request = lines.takeFirst().trimmed().split(' ');
        const auto refuse = [client](const QByteArray &status) {
            client->write("HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            client->disconnectFromHost();
        };
        if (request.size() != 3)
            return refuse("400 Bad Request");
        if (request[0] == "CONNECT") {
            const QByteArray target = request[1];
            const qsizetype colon = target.lastIndexOf(':');
            dial(
                client, QString::fromLatin1(target.left(colon)), quint16(target.mid(colon + 1).toUInt()),
                [client, rest](QTcpSocket *upstream) {
                    client->write("HTTP/1.1 200 Connection established\r\n\r\n");
                    upstream->write(rest);
                    relay(client, upstream);
                },
                [refuse] { refuse("502 Bad Gateway"); });
            return;
        }
        const QUrl url(QString::fromLatin1(request[1]));
        if (!url.isValid() || url.scheme() != u"http" || url.host().isEmpty())
            return refuse("400 Bad Request");
        QByteArray forwarded = request[0] + ' ' + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) + ' '
            + request[2] + "\r\n";
        for (const QByteArray &line : std::as_const(lines)) {
            const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
            if (name == "proxy-connection" || name == "connection")
                continue;
            forwarded += line.trimmed() + "\r\n";
        }
        forwarded += "Connection: close\r\n\r\n" + rest;
        dial(
            client, url.host(), quint16(url.port(80)),
            [client, forwarded](QTcpSocket *upstream) {
                upstream->write(forwarded);
                relay(client, upstream);
            },
            [refuse] { refuse("502 Bad Gateway"); });
    });
}

bool listed(const QByteArray &list, int launch)
{
    if (list.isEmpty())
        return false;
    // Without a pid file the launch number is unknown: any value means all.
    if (list == "all" || launch == 0)
        return true;
    for (const QByteArray &item : list.split(','))
        if (item.trimmed().toInt() == launch)
            return true;
    return false;
}

int recordLaunch()
{
    const QString path = qEnvironmentVariable("FAKE_XRAY_PIDFILE");
    if (path.isEmpty())
        return 0;
    QFile file(path);
    int launch = 1;
    if (file.open(QIODevice::ReadOnly))
        launch = int(file.readAll().count('\n')) + 1;
    file.close();
    if (file.open(QIODevice::Append))
        file.write(QByteArray::number(qint64(::getpid())) + '\n');
    return launch;
}

struct Inbound
{
    quint16 port = 0;
    bool found = false;
};

Inbound inbound(const QJsonArray &inbounds, const QString &tag, const QString &protocol, QString *error)
{
    for (const QJsonValue &value : inbounds) {
        const QJsonObject object = value.toObject();
        if (object.value(u"tag").toString() != tag)
            continue;
        const QJsonValue port = object.value(u"port");
        if (object.value(u"protocol").toString() != protocol || object.value(u"listen").toString() != u"127.0.0.1"
            || !port.isDouble() || port.toDouble() < 1 || port.toDouble() > 65535) {
            *error = tag + u" is malformed";
            return {};
        }
        return {quint16(port.toInt()), true};
    }
    *error = u"no inbound " + tag;
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 2 && args[1] == u"version") {
        const QByteArray line = qEnvironmentVariableIsSet("FAKE_XRAY_VERSION")
            ? qgetenv("FAKE_XRAY_VERSION")
            : QByteArray("Xray 1.8.24 (Xray, Penetrates Everything.) Custom (go1.21.4 linux/amd64)");
        std::printf("%s\nA unified platform for anti-censorship.\n", line.constData());
        return qEnvironmentVariableIntValue("FAKE_XRAY_VERSION_EXIT");
    }
    if (args.size() != 4 || args[1] != u"run" || args[2] != u"-c")
        return fail(64, QStringLiteral("usage: fake-xray run -c FILE | fake-xray version"));
    QFile file(args[3]);
    if (!file.open(QIODevice::ReadOnly))
        return fail(23, u"cannot read " + args[3]);
    const QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QString error;
    const QJsonArray inbounds = config.value(u"inbounds").toArray();
    const Inbound socks = inbound(inbounds, QStringLiteral("socks-in"), QStringLiteral("socks"), &error);
    const Inbound http = socks.found ? inbound(inbounds, QStringLiteral("http-in"), QStringLiteral("http"), &error) : Inbound{};
    if (!socks.found || !http.found)
        return fail(23, error);

    const int launch = recordLaunch();
    bool ok = false;
    const int exitAfter = qEnvironmentVariableIntValue("FAKE_XRAY_EXIT_AFTER_MS", &ok);
    const QByteArray exitLaunches = qgetenv("FAKE_XRAY_EXIT_LAUNCHES");
    if (ok && (exitLaunches.isEmpty() || listed(exitLaunches, launch))) {
        QTimer::singleShot(exitAfter, &app, [] { std::_Exit(1); });
    }

    const qint64 chatty = qEnvironmentVariable("FAKE_XRAY_CHATTY").toLongLong();
    if (chatty > 0) {
        const QByteArray line(1023, 'x');
        for (qint64 written = 0; written < chatty; written += 1024) {
            std::fprintf(stdout, "%s\n", line.constData());
            std::fprintf(stderr, "%s\n", line.constData());
        }
        std::fflush(stdout);
    }

    if (listed(qgetenv("FAKE_XRAY_NO_LISTEN"), launch))
        return app.exec();

    QTcpServer socksServer;
    QTcpServer httpServer;
    QTimer::singleShot(qEnvironmentVariableIntValue("FAKE_XRAY_DELAY_MS"), &app, [&] {
        if (!socksServer.listen(QHostAddress::LocalHost, socks.port) || !httpServer.listen(QHostAddress::LocalHost, http.port)) {
            fail(24, u"cannot listen: " + socksServer.errorString() + u' ' + httpServer.errorString());
            std::_Exit(24);
        }
        bool hangs = false;
        const int hangAfter = qEnvironmentVariableIntValue("FAKE_XRAY_HANG_AFTER_MS", &hangs);
        if (hangs && launch == 1)
            QTimer::singleShot(hangAfter, &app, [&] {
                socksServer.close();
                httpServer.close();
            });
    });
    QObject::connect(&socksServer, &QTcpServer::newConnection, &app, [&] {
        while (QTcpSocket *client = socksServer.nextPendingConnection())
            serveSocks(client);
    });
    QObject::connect(&httpServer, &QTcpServer::newConnection, &app, [&] {
        while (QTcpSocket *client = httpServer.nextPendingConnection())
            serveHttp(client);
    });
    return app.exec();
}
