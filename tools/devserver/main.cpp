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
    const QCommandLineOption listen(u"listen"_s, u"Listen on ADDRESS (default 127.0.0.1)."_s, u"ADDRESS"_s);
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
    };
    parser.addOptions({help, data, listen, servers, seed, plan});
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
            options.maxBodyBytes = value;
    }
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
    const quint16 port = server->listen(&error);
    if (port == 0)
        return fail(u"cannot listen on "_s + options.listenAddress.toString() + u':' + QString::number(options.port)
                        + u": "_s + error,
                    kStartError);

    // The first line is read by scripts and tests to learn the port.
    ServerLog::out(u"velorin-devserver listening on http://"_s + urlHost(options.listenAddress) + u':'
                   + QString::number(port));
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
