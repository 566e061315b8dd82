// `velorin servers` and `velorin select ID`.
#include "cli/AppClient.h"
#include "cli/Cli.h"

#include "platform/UserDefaults.h"
#include "vpn/AppServices.h"

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<int> listServers(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'servers' takes no arguments"_s, Cli::kUsage);
    const ServerManager &manager = context.services->servers;
    context.out << u"  "_s << u"ID"_s.leftJustified(12) << u"  "_s << u"LOCATION"_s.leftJustified(31) << u"  "_s
                << u"STATUS"_s << u'\n';
    for (const ServerLocation &server : manager.servers()) {
        const bool selected = server.id == manager.selectedServer().id;
        context.out << (selected ? u"* "_s : u"  "_s) << server.id.leftJustified(12) << u"  "_s
                    << server.countryAndCity().leftJustified(31) << u"  "_s
                    << (server.isActive ? u"available"_s : u"offline"_s) << u'\n';
    }
    context.out << u"\n* selected\n"_s;
    context.out.flush();
    co_return Cli::kSuccess;
}

QCoro::Task<int> selectServer(Cli::Context &context, QStringList arguments)
{
    if (arguments.size() != 1)
        co_return Cli::fail(context, u"usage: velorin select ID (see 'velorin servers')"_s, Cli::kUsage);
    const QString id = arguments.first();
    const ServerLocation *server = ServerLocation::find(id);
    if (!server)
        co_return Cli::fail(context, u"unknown server '"_s + id + u"' (see 'velorin servers')"_s);
    if (!server->isActive)
        co_return Cli::fail(context, u"server '"_s + id + u"' ("_s + server->countryAndCity()
                                         + u") is offline and cannot be selected"_s);
    // While the application runs, it selects (and its screens show it).
    QString refusal;
    if (const std::unique_ptr<AppClient> app = AppClient::open(&refusal)) {
        ControlProtocol::Request select;
        select.command = ControlProtocol::Request::Command::Select;
        select.server = id;
        app->send(select);
        const std::optional<ControlProtocol::Message> answer = app->next();
        if (!answer || !answer->ok)
            co_return Cli::fail(context, answer ? answer->error : u"the running application did not answer"_s);
        context.out << u"Selected "_s << server->countryAndCity() << u" ("_s << server->id << u")"_s << Qt::endl;
        co_return Cli::kSuccess;
    }
    if (!refusal.isEmpty())
        co_return Cli::fail(context, refusal);
    ServerManager &manager = context.services->servers;
    if (!manager.selectServer(*server))
        co_return Cli::fail(context, u"could not save the selection: "_s + context.services->defaults.lastError());
    if (manager.selectedServer().id != id)
        co_return Cli::fail(context, u"could not select '"_s + id + u"'"_s);
    context.out << u"Selected "_s << server->countryAndCity() << u" ("_s << server->id << u")"_s << Qt::endl;
    co_return Cli::kSuccess;
}

const bool registered = [] {
    Cli::registerCommand({u"servers"_s, {}, u"list the server locations; * marks the selected one"_s, listServers});
    Cli::registerCommand({u"select"_s, u"ID"_s, u"select the server location to connect to"_s, selectServer});
    return true;
}();

} // namespace
