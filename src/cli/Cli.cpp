#include "cli/Cli.h"

#include "platform/AppInfo.h"
#include "platform/Log.h"

#include <QMutex>

using namespace Qt::StringLiterals;

namespace Cli {

QList<Command> &commands()
{
    static QList<Command> table;
    return table;
}

void registerCommand(Command command)
{
    commands().append(std::move(command));
}

int fail(Context &context, const QString &message, int code)
{
    context.err << u"velorin: "_s << message << Qt::endl;
    return code;
}

TerminalOutput::TerminalOutput(FILE *stream)
    : m_stream(stream)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 TerminalOutput::writeData(const char *data, qint64 size)
{
    const QString text = m_decoder.decode(QByteArrayView(data, size));
    const QByteArray bytes = Log::escapeControls(text, true).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
    std::fflush(m_stream);
    return size;
}

namespace {

void printHelp(QTextStream &out)
{
    out << u"Usage: velorin [--config-dir DIR] [--verbose] COMMAND [ARGS]\n\n"_s
        << u"Velorin VPN from the command line.\n\n"_s
        << u"Commands:\n"_s;
    for (const Command &command : std::as_const(commands())) {
        const QString head = command.name + (command.arguments.isEmpty() ? QString() : u' ' + command.arguments);
        // A long command line gets a line of its own, so the summaries stay
        // in one column (help2man reads the column when it builds the manual).
        if (head.size() > 24)
            out << u"  "_s << head << u'\n' << QString(27, u' ') << command.summary << u'\n';
        else
            out << u"  "_s << head.leftJustified(24) << u' ' << command.summary << u'\n';
    }
    out << u"\nOptions:\n"_s
        << u"  --config-dir DIR         keep settings in DIR instead of the user's configuration folder\n"_s
        << u"                           (also VELORIN_CONFIG_DIR)\n"_s
        << u"  -v, --verbose            show the services' diagnostic lines on standard error\n"_s
        << u"  -h, --help               show this help\n"_s
        << u"  --version                show the version\n"_s;
    out.flush();
}

} // namespace

QCoro::Task<int> run(QStringList arguments, QTextStream &out, QTextStream &err, ServicesBuilder services)
{
    Context context{out, err};
    QStringList rest;
    arguments.removeFirst();
    // Global options come before the command.
    while (!arguments.isEmpty() && arguments.first().startsWith(u'-')) {
        const QString option = arguments.takeFirst();
        if (option == u"-h" || option == u"--help") {
            printHelp(out);
            co_return kSuccess;
        }
        if (option == u"--version") {
            const AppInfo info = AppInfo::current();
            out << u"velorin "_s << info.shortVersion() << u" ("_s << info.buildNumber() << u")"_s << Qt::endl;
            co_return kSuccess;
        }
        if (option == u"-v" || option == u"--verbose") {
            context.verbose = true;
        } else if (option == u"--config-dir" || option.startsWith(u"--config-dir="_s)) {
            QString dir = option.section(u'=', 1);
            if (!option.contains(u'=')) {
                if (arguments.isEmpty())
                    co_return fail(context, u"--config-dir needs a folder"_s, kUsage);
                dir = arguments.takeFirst();
            }
            qputenv("VELORIN_CONFIG_DIR", dir.toLocal8Bit());
        } else {
            co_return fail(context, u"unknown option '"_s + option + u"' (see 'velorin --help')"_s, kUsage);
        }
    }
    if (arguments.isEmpty()) {
        printHelp(err);
        co_return kUsage;
    }

    // Diagnostic lines of the services go to standard error, and only on request.
    const bool verbose = context.verbose;
    Log::setWriter([verbose, &err](Log::Destination, const QString &line) {
        static QMutex mutex;
        if (verbose) {
            QMutexLocker lock(&mutex);
            err << line << Qt::endl;
        }
    });

    const QString name = arguments.takeFirst();
    for (const Command &command : std::as_const(commands())) {
        if (command.name != name)
            continue;
        // Built here, so that their client renews the session for every
        // signed-in request of the run (a configuration fetch of `connect` included).
        context.services = &services();
        if (arguments.contains(u"--help"_s) || arguments.contains(u"-h"_s)) {
            out << u"Usage: velorin "_s << command.name
                << (command.arguments.isEmpty() ? QString() : u' ' + command.arguments) << u"\n\n"_s
                << command.summary << Qt::endl;
            co_return kSuccess;
        }
        const int code = co_await command.run(context, arguments);
        co_return code;
    }
    co_return fail(context, u"unknown command '"_s + name + u"' (see 'velorin --help')"_s, kUsage);
}

} // namespace Cli
