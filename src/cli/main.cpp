#include "cli/Cli.h"
#include "platform/Log.h"
#include "vpn/AppServices.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
QCoro::Task<> runAndQuit(QStringList arguments, QTextStream *out, QTextStream *err, Cli::ServicesBuilder services)
{
    const int code = co_await Cli::run(std::move(arguments), *out, *err, std::move(services));
    out->flush();
    err->flush();
    QCoreApplication::exit(code);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velorin"));
    Cli::TerminalOutput standardOutput(stdout);
    Cli::TerminalOutput standardError(stderr);
    QTextStream out(&standardOutput);
    QTextStream err(&standardError);
    std::unique_ptr<AppServices> services;
    const auto build = [&services]() -> AppServices & {
        services = std::make_unique<AppServices>(AppServices::Setup::forThisProcess());
        return *services;
    };
    QTimer::singleShot(0, &app, [&] { runAndQuit(QCoreApplication::arguments(), &out, &err, build); });
    const int code = app.exec();
    services.reset();
    // Work still running on the pool's threads (a proxy restore ending
    // with a log line) must not write to the streams below once they are gone.
    QThreadPool::globalInstance()->waitForDone();
    Log::setWriter({});
    return code;
}
