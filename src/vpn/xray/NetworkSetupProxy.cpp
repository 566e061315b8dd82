#include "vpn/xray/NetworkSetupProxy.h"

#include "platform/Log.h"
#include "platform/Utf8.h"

#include <QFileInfo>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

QString decodeOutput(const QByteArray &bytes)
{
    return Utf8::decode(bytes).value_or(QString());
}

// Waits for the tool; a call that outlives `timeoutMs` is killed.
bool finishWithin(QProcess &process, int timeoutMs)
{
    if (process.waitForFinished(timeoutMs))
        return true;
    process.kill();
    process.waitForFinished(1000);
    return false;
}

const QString servicesField = QStringLiteral("services");

} // namespace

NetworkSetupProxy::NetworkSetupProxy(QString toolPath, ProxyEndpoints endpoints)
    : ProxyBackend(std::move(endpoints))
    , m_toolPath(std::move(toolPath))
{
}

QString NetworkSetupProxy::labelFor(const QString &toolPath)
{
    return u"the proxy tool "_s + toolPath;
}

QString NetworkSetupProxy::describe(const QStringList &services)
{
    QStringList quoted;
    for (const QString &service : services)
        quoted.append(u'"' + service + u'"');
    return u'[' + quoted.join(u", "_s) + u']';
}

QStringList NetworkSetupProxy::servicesOf(const QVariantMap &captured)
{
    return captured.value(servicesField).toStringList();
}

QVariantMap NetworkSetupProxy::captureOf(const QStringList &services)
{
    return {{servicesField, services}};
}

std::optional<QString> NetworkSetupProxy::runNetworkSetup(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(m_toolPath, arguments);
    if (!process.waitForStarted(toolTimeoutMs) || !finishWithin(process, toolTimeoutMs)) {
        Log::system(u"❌ Xray: networksetup error: "_s + process.errorString());
        return process.errorString();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        QString output = decodeOutput(process.readAll()).trimmed();
        Log::system(u"❌ Xray: networksetup failed: "_s + output);
        return output.isEmpty() ? QString(u"exit status "_s + QString::number(process.exitCode())) : output.left(200);
    }
    return std::nullopt;
}

NetworkSetupProxy::Output NetworkSetupProxy::runForOutput(const QStringList &arguments)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(m_toolPath, arguments);
    Output result;
    if (!process.waitForStarted(toolTimeoutMs)) {
        result.error = process.errorString();
        return result;
    }
    result.started = true;
    finishWithin(process, toolTimeoutMs);
    result.output = process.readAllStandardOutput();
    return result;
}

bool NetworkSetupProxy::isServiceActive(const QString &service)
{
    const Output result = runForOutput({u"-getinfo"_s, service});
    if (!result.started)
        return false;
    const QString info = decodeOutput(result.output);
    return info.contains(u"IP address:"_s) && !info.contains(u"IP address: none"_s);
}

QStringList NetworkSetupProxy::listActiveNetworkServices()
{
    const Output result = runForOutput({u"-listallnetworkservices"_s});
    if (!result.started) {
        Log::system(u"❌ Xray: Failed to list network services: "_s + result.error);
        return {defaultService};
    }
    QStringList services;
    const QStringList lines = decodeOutput(result.output).split(u'\n');
    for (const QString &line : lines) {
        const QString name = line.trimmed();
        if (name.isEmpty() || name.startsWith(u"An asterisk"_s) || name.startsWith(u'*')
            || name.contains(u"Thunderbolt Bridge"_s))
            continue;
        if (isServiceActive(name))
            services.append(name);
    }
    Log::system(u"🔍 Xray: Active network services: "_s + describe(services));
    return services.isEmpty() ? QStringList{defaultService} : services;
}

QString NetworkSetupProxy::unavailableReason()
{
    const QFileInfo tool(m_toolPath);
    if (!tool.isFile() || !tool.isExecutable())
        return u"The system proxy tool "_s + m_toolPath + u" is missing."_s;
    return {};
}

std::optional<QVariantMap> NetworkSetupProxy::capture(QString *)
{
    return captureOf(listActiveNetworkServices());
}

bool NetworkSetupProxy::apply(const QVariantMap &captured, QString *error)
{
    const QString host = endpoints().host;
    const QString socks = QString::number(endpoints().socksPort);
    const QString http = QString::number(endpoints().httpPort);
    for (const QString &service : servicesOf(captured)) {
        const QList<QStringList> calls{
            {u"-setsocksfirewallproxy"_s, service, host, socks}, {u"-setsocksfirewallproxystate"_s, service, u"on"_s},
            {u"-setwebproxy"_s, service, host, http},            {u"-setwebproxystate"_s, service, u"on"_s},
            {u"-setsecurewebproxy"_s, service, host, http},      {u"-setsecurewebproxystate"_s, service, u"on"_s},
        };
        // The first refused call ends the set: the caller undoes what the
        // calls before it changed.
        for (const QStringList &call : calls) {
            if (const std::optional<QString> failure = runNetworkSetup(call)) {
                *error = u"The proxy tool refused “"_s + call.join(u' ') + u"”: "_s + *failure;
                return false;
            }
        }
    }
    return true;
}

bool NetworkSetupProxy::restore(const QVariantMap &captured, bool quiet, QString *error)
{
    bool restored = true;
    for (const QString &service : servicesOf(captured)) {
        if (quiet) {
            restored = restoreProxyQuietly(service) && restored;
            continue;
        }
        // Each call runs whatever the one before it gave.
        for (const char *option : {"-setsocksfirewallproxystate", "-setwebproxystate", "-setsecurewebproxystate"})
            restored = !runNetworkSetup({QString::fromLatin1(option), service, u"off"_s}) && restored;
    }
    if (!restored)
        *error = u"The proxy tool did not turn every proxy off"_s;
    return restored;
}

bool NetworkSetupProxy::restoreProxyQuietly(const QString &service, int timeoutMs)
{
    bool restored = true;
    for (const char *option : {"-setsocksfirewallproxystate", "-setwebproxystate", "-setsecurewebproxystate"}) {
        QProcess process;
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(m_toolPath, {QString::fromLatin1(option), service, u"off"_s});
        const bool done = process.waitForStarted(timeoutMs) && finishWithin(process, timeoutMs)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        restored = restored && done;
    }
    return restored;
}

QString NetworkSetupProxy::place(const QVariantMap &captured) const
{
    return describe(servicesOf(captured));
}

QString NetworkSetupProxy::where(const QVariantMap &captured) const
{
    return u"on "_s + place(captured);
}

QString NetworkSetupProxy::summary(const QVariantMap &captured) const
{
    return u"on "_s + QString::number(servicesOf(captured).size()) + u" service(s)"_s;
}
