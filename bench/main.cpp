// velorin-bench: the benchmark programs behind scripts/bench.sh. Each
// sub-command prints "sample KEY RUN VALUE" lines (see Bench.h).
#include "AccountBench.h"
#include "Bench.h"
#include "ConnectBench.h"
#include "ProcessBench.h"

#include "platform/Log.h"

#include <QCoreApplication>

#include <cstdio>

#include <functional>
#include <map>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The services' diagnostic lines go to standard error: standard output
    // carries the samples.
    Log::setWriter([](Log::Destination, const QString &line) {
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    });
    const std::map<QString, std::function<int(const QStringList &)>> commands{
        {u"startup"_s, ProcessBench::startup},
        {u"idle"_s, ProcessBench::idle},
        {u"libraries"_s, ProcessBench::libraries},
        {u"control-status"_s, ProcessBench::controlStatus},
        {u"signin"_s, AccountBench::signIn},
        {u"cycles-signin"_s, AccountBench::cycles},
        {u"connect-xray"_s, ConnectBench::xray},
        {u"connect-ikev2"_s, ConnectBench::ikev2},
        {u"proxy-set"_s, ConnectBench::proxy},
        {u"cycles-connect"_s, ConnectBench::cycles},
        {u"cycles-keychain"_s, ConnectBench::keychainCycles},
    };
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const auto command = arguments.isEmpty() ? commands.end() : commands.find(arguments.first());
    if (command == commands.end()) {
        std::fprintf(stderr, "usage: velorin-bench COMMAND [OPTIONS] (see the headers in bench/)\n");
        return 2;
    }
    arguments.removeFirst();
    return command->second(arguments);
}
