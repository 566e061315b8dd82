// velorin-devserver: the authentication service and the VPN API of Velorin
// VPN on this machine, for trying the client and for end-to-end tests.
#include "devserver/DevServer.h"
#include "devserver/ServerLog.h"
#include "devserver/SignalWatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <csignal>
#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const int kUsageError = 2;
const int kStartError = 1;

struct NumberOption
{
    QCommandLineOption option;
    qint64 minimum;
    qint64 maximum;
};

QString defaultServersFile()
{
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate : QStringList{dir + u"/servers.json"_s, dir + u"/../share/velorin-devserver/servers.json"_s})
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    return {};
}

int fail(const QString &message, int code)
{
    ServerLog::err(u"velorin-devserver: "_s + message);
    return code;
}

// Makes the data directory exist and belong to its owner alone.
bool prepareDataDir(const QString &path, QString *error)
{
    if (!QDir().mkpath(path)) {
        *error = u"cannot create the data directory "_s + path;
        return false;
    }
    if (::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        *error = u"cannot make the data directory "_s + path + u" private"_s;
        return false;
    }
    return true;
}

// The TLS set-up of --tls-cert and --tls-key: a PEM certificate (chain) and
// its unencrypted PEM private key (RSA or EC).
std::optional<QSslConfiguration> loadTls(const QString &certFile, const QString &keyFile, QString *error)
{
    if (!QSslSocket::supportsSsl()) {
        *error = u"this Qt has no TLS support; cannot serve HTTPS"_s;
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certFile, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = u"cannot read a PEM certificate from "_s + certFile;
        return std::nullopt;
    }
    QFile file(keyFile);
    QSslKey key;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray pem = file.readAll();
        for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
            if (key.isNull())
                key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        }
    }
    if (key.isNull()) {
        *error = u"cannot read an unencrypted PEM private key (RSA or EC) from "_s + keyFile;
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // no client certificates
    return configuration;
}

QString urlHost(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : address.toString();
}

} // namespace

int main(int argc, char *argv[])
{
    // Files this process creates (database, journal, outbox, lock) are for
    // its owner alone.
    ::umask(077);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velorin-devserver"_s);

    const DevServerOptions defaults;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Local development backend of Velorin VPN: the authentication service (/auth/...) and the VPN API\n"
        "(/api/v1/...) on one port. Mails with codes are appended to DIR/outbox.log and printed."_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption data(u"data"_s, u"Keep the database and the outbox in DIR (created when missing)."_s,
                                  u"DIR"_s);
    const QCommandLineOption listen(u"listen"_s,
                                    u"Listen on ADDRESS (default 127.0.0.1, this machine only). Any other address "
                                    "serves the network: use --tls-cert and --tls-key there."_s,
                                    u"ADDRESS"_s);
    const QCommandLineOption tlsCert(u"tls-cert"_s, u"Serve HTTPS with the PEM certificate (chain) in FILE."_s,
                                     u"FILE"_s);
    const QCommandLineOption tlsKey(u"tls-key"_s, u"The certificate's unencrypted PEM private key (RSA or EC)."_s,
                                    u"FILE"_s);
    const QCommandLineOption servers(u"servers"_s,
                                     u"Read the server list from FILE instead of the servers.json next to the "
                                     "program."_s,
                                     u"FILE"_s);
    const QCommandLineOption seed(u"seed-demo"_s, u"Create (or repair) a verified demo account with an active plan "
                                                  "and print its e-mail and password."_s);
    const QCommandLineOption plan(u"default-plan"_s,
                                  u"Plan of new accounts (default monthly; \"trial\" marks a trial)."_s, u"NAME"_s);
    const QList<NumberOption> numbers{
        {QCommandLineOption(u"port"_s, u"Listen on port N (default 8787; 0 picks a free port)."_s, u"N"_s), 0, 65535},
        {QCommandLineOption(u"access-token-ttl"_s, u"Access tokens last SECONDS (default 900)."_s, u"SECONDS"_s), 1,
         365LL * 86400},
        {QCommandLineOption(u"refresh-token-ttl"_s, u"Refresh tokens last SECONDS (default 2592000, 30 days)."_s,
                            u"SECONDS"_s),
         1, 3650LL * 86400},
        {QCommandLineOption(u"device-limit"_s, u"Active devices per account (default 3)."_s, u"N"_s), 1, 1000},
        {QCommandLineOption(u"plan-days"_s, u"New accounts' plan lasts N days (default 30; 0 = already expired)."_s,
                            u"N"_s),
         0, 36500},
        {QCommandLineOption(u"pbkdf2-iterations"_s, u"PBKDF2 rounds for new password hashes (default 310000)."_s,
                            u"N"_s),
         1000, 10000000},
        {QCommandLineOption(u"max-login-failures"_s, u"Wrong passwords in a row before an account is locked "
                                                     "(default 5)."_s,
                            u"N"_s),
         1, 1000},
        {QCommandLineOption(u"lockout-seconds"_s, u"How long such a lock lasts (default 300)."_s, u"SECONDS"_s), 1,
         86400},
        {QCommandLineOption(u"resend-cooldown"_s, u"Seconds between two codes mailed to one address (default 30)."_s,
                            u"SECONDS"_s),
         0, 3600},
        {QCommandLineOption(u"max-body"_s, u"Largest request body accepted (default 65536)."_s, u"BYTES"_s), 1024,
         16LL * 1024 * 1024},
        {QCommandLineOption(u"code-tries-per-hour"_s, u"Wrong codes per e-mail address per hour (default 10)."_s,
                            u"N"_s),
         1, 100000},
        {QCommandLineOption(u"client-tries-per-hour"_s,
                            u"Wrong codes and passwords per client address per hour (default 50)."_s, u"N"_s),
         1, 100000},
        {QCommandLineOption(u"hash-queue"_s, u"Sign-ins and sign-ups waiting for a password hash; more get 503 "
                                             "(default 16)."_s,
                            u"N"_s),
         1, 10000},
        {QCommandLineOption(u"client-timeout"_s, u"Time a client has to send a whole request (default 20)."_s,
                            u"SECONDS"_s),
         1, 3600},
        {QCommandLineOption(u"max-connections-per-client"_s, u"Open connections per client address (default 32)."_s,
                            u"N"_s),
         1, 100000},
    };
    parser.addOptions({help, data, listen, tlsCert, tlsKey, servers, seed, plan});
    for (const NumberOption &number : numbers)
        parser.addOption(number.option);

    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText() + u" (see --help)"_s, kUsageError);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(u"unexpected argument '"_s + parser.positionalArguments().first() + u"' (see --help)"_s,
                    kUsageError);
    if (!parser.isSet(data))
        return fail(u"--data DIR is required (see --help)"_s, kUsageError);

    DevServerOptions options;
    options.dataDir = QDir(parser.value(data)).absolutePath();
    options.seedDemo = parser.isSet(seed);
    if (parser.isSet(listen)) {
        const QString text = parser.value(listen);
        options.listenAddress = text == u"localhost"_s ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(text);
        if (options.listenAddress.isNull())
            return fail(u"--listen needs an IP address, not '"_s + text + u'\'', kUsageError);
    }
    if (parser.isSet(plan)) {
        options.defaultPlan = parser.value(plan).trimmed();
        if (options.defaultPlan.isEmpty() || options.defaultPlan.size() > 32)
            return fail(u"--default-plan needs a name of 1 to 32 characters"_s, kUsageError);
    }
    for (const NumberOption &number : numbers) {
        const QString name = number.option.names().constFirst();
        if (!parser.isSet(number.option))
            continue;
        bool ok = false;
        const qint64 value = parser.value(number.option).toLongLong(&ok);
        if (!ok || value < number.minimum || value > number.maximum)
            return fail(u"--%1 needs a whole number from %2 to %3"_s.arg(name).arg(number.minimum).arg(number.maximum),
                        kUsageError);
        if (name == u"port"_s)
            options.port = static_cast<quint16>(value);
        else if (name == u"access-token-ttl"_s)
            options.accessTokenTtl = static_cast<int>(value);
        else if (name == u"refresh-token-ttl"_s)
            options.refreshTokenTtl = static_cast<int>(value);
        else if (name == u"device-limit"_s)
            options.deviceLimit = static_cast<int>(value);
        else if (name == u"plan-days"_s)
            options.planDays = static_cast<int>(value);
        else if (name == u"pbkdf2-iterations"_s)
            options.pbkdf2Iterations = static_cast<int>(value);
        else if (name == u"max-login-failures"_s)
            options.maxLoginFailures = static_cast<int>(value);
        else if (name == u"lockout-seconds"_s)
            options.lockoutSeconds = static_cast<int>(value);
        else if (name == u"resend-cooldown"_s)
            options.resendCooldown = static_cast<int>(value);
        else if (name == u"max-body"_s)
            options.http.maxBodyBytes = value;
        else if (name == u"code-tries-per-hour"_s)
            options.codeTriesPerHour = static_cast<int>(value);
        else if (name == u"client-tries-per-hour"_s)
            options.clientTriesPerHour = static_cast<int>(value);
        else if (name == u"hash-queue"_s)
            options.hashQueue = static_cast<int>(value);
        else if (name == u"client-timeout"_s)
            options.http.clientTimeoutMs = static_cast<int>(value * 1000);
        else if (name == u"max-connections-per-client"_s)
            options.http.maxConnectionsPerClient = static_cast<int>(value);
    }
    if (parser.isSet(tlsCert) != parser.isSet(tlsKey))
        return fail(u"--tls-cert and --tls-key go together"_s, kUsageError);
    options.tlsCertFile = parser.value(tlsCert);
    options.tlsKeyFile = parser.value(tlsKey);
    options.serversFile = parser.isSet(servers) ? parser.value(servers) : defaultServersFile();
    if (options.serversFile.isEmpty())
        return fail(u"no servers.json next to the program; name a server list with --servers FILE"_s, kUsageError);

    QString error;
    if (!prepareDataDir(options.dataDir, &error))
        return fail(error, kStartError);
    QLockFile lock(QDir(options.dataDir).filePath(u"devserver.lock"_s));
    if (!lock.tryLock(0))
        return fail(u"another velorin-devserver is using "_s + options.dataDir, kStartError);
    ServerCatalogue catalogue;
    if (!catalogue.load(options.serversFile, &error))
        return fail(error, kStartError);
    std::optional<QSslConfiguration> tls;
    if (!options.tlsCertFile.isEmpty()) {
        tls = loadTls(options.tlsCertFile, options.tlsKeyFile, &error);
        if (!tls)
            return fail(error, kStartError);
    }

    Store store;
    std::unique_ptr<DevServer> server;
    DevServer::DemoAccount demo;
    try {
        store.open(QDir(options.dataDir).filePath(u"devserver.sqlite3"_s));
        server = std::make_unique<DevServer>(options, store, catalogue);
        if (options.seedDemo)
            demo = server->seedDemo();
    } catch (const StoreFailure &failure) {
        return fail(failure.message, kStartError);
    }
    const quint16 port = server->listen(tls, &error);
    if (port == 0)
        return fail(u"cannot listen on "_s + options.listenAddress.toString() + u':' + QString::number(options.port)
                        + u": "_s + error,
                    kStartError);

    // The first line is read by scripts and tests to learn the port.
    ServerLog::out(u"velorin-devserver listening on "_s + (tls ? u"https://"_s : u"http://"_s)
                   + urlHost(options.listenAddress) + u':' + QString::number(port));
    if (!tls && !options.listenAddress.isLoopback())
        ServerLog::err(u"velorin-devserver: warning: serving plain HTTP on "_s + options.listenAddress.toString()
                       + u": anyone on the network can read the passwords, codes and tokens sent to it. "
                         "Use --tls-cert and --tls-key to serve HTTPS."_s);
    ServerLog::out(u"data directory "_s + options.dataDir + u", server list "_s + options.serversFile);
    if (options.seedDemo)
        ServerLog::out(u"demo account: email="_s + demo.email + u" password="_s + demo.password + u" plan="_s
                       + demo.plan + u" expires="_s + demo.expiresAt);

    SignalWatcher signalWatcher({SIGTERM, SIGINT});
    QObject::connect(&signalWatcher, &SignalWatcher::received, &app, [](int number) {
        ServerLog::out(number == SIGINT ? u"velorin-devserver stopping (SIGINT)"_s
                                        : u"velorin-devserver stopping (SIGTERM)"_s);
        QCoreApplication::quit();
    });
    const int code = QCoreApplication::exec();
    server.reset();
    ServerLog::out(u"velorin-devserver stopped"_s);
    return code;
}
