#include "vpn/xray/SystemProxy.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/Utf8.h"

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

} // namespace

SystemProxy::SystemProxy(UserDefaults &defaults, QString toolPath, int socksPort, int httpPort)
    : m_defaults(defaults)
    , m_toolPath(std::move(toolPath))
    , m_socksPort(socksPort)
    , m_httpPort(httpPort)
{
}

QString SystemProxy::describe(const QStringList &services)
{
    QStringList quoted;
    for (const QString &service : services)
        quoted.append(u'"' + service + u'"');
    return u'[' + quoted.join(u", "_s) + u']';
}

bool SystemProxy::runNetworkSetup(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(m_toolPath, arguments);
    if (!process.waitForStarted(toolTimeoutMs)) {
        Log::system(u"❌ Xray: networksetup error: "_s + process.errorString());
        return false;
    }
    if (!finishWithin(process, toolTimeoutMs)) {
        Log::system(u"❌ Xray: networksetup error: "_s + process.errorString());
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        QString output = decodeOutput(process.readAll());
        while (output.endsWith(u'\n') || output.endsWith(u'\r'))
            output.chop(1);
        Log::system(u"❌ Xray: networksetup failed: "_s + output);
        return false;
    }
    return true;
}

SystemProxy::Output SystemProxy::runForOutput(const QStringList &arguments)
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

bool SystemProxy::isServiceActive(const QString &service)
{
    const Output result = runForOutput({u"-getinfo"_s, service});
    if (!result.started)
        return false;
    const QString info = decodeOutput(result.output);
    return info.contains(u"IP address:"_s) && !info.contains(u"IP address: none"_s);
}

QStringList SystemProxy::listActiveNetworkServices()
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

bool SystemProxy::setSystemProxy(const std::function<bool()> &stillWanted)
{
    QMutexLocker operation(&m_operation);
    if (stillWanted && !stillWanted())
        return false;
    const QStringList services = listActiveNetworkServices();
    if (services.isEmpty()) {
        Log::system(u"❌ Xray: No active network services found"_s);
        return false;
    }
    setActiveNetworkServices(services);
    Log::system(u"🔧 Xray: Setting system proxy on "_s + describe(services));
    // The record comes first: a process killed half-way through the calls
    // below leaves some proxies set, and the next start restores them only
    // when the record says a restore is owed.
    m_defaults.set(activeKey, true);
    m_defaults.set(servicesKey, services);
    m_setInThisRun = true;
    const QString host = u"127.0.0.1"_s;
    const QString socks = QString::number(m_socksPort);
    const QString http = QString::number(m_httpPort);
    for (const QString &service : services) {
        runNetworkSetup({u"-setsocksfirewallproxy"_s, service, host, socks});
        runNetworkSetup({u"-setsocksfirewallproxystate"_s, service, u"on"_s});
        runNetworkSetup({u"-setwebproxy"_s, service, host, http});
        runNetworkSetup({u"-setwebproxystate"_s, service, u"on"_s});
        runNetworkSetup({u"-setsecurewebproxy"_s, service, host, http});
        runNetworkSetup({u"-setsecurewebproxystate"_s, service, u"on"_s});
    }
    Log::system(u"✅ Xray: System proxy enabled on "_s + QString::number(services.size()) + u" service(s)"_s);
    Log::system(u"🛡️ Xray: Kill switch active (proxy-based — traffic fails if xray dies)"_s);
    return true;
}

QStringList SystemProxy::servicesToRestore()
{
    QStringList services = activeNetworkServices();
    if (services.isEmpty())
        services = m_defaults.stringList(servicesKey).value_or(QStringList());
    if (services.isEmpty())
        services = {defaultService};
    return services;
}

void SystemProxy::restoreSystemProxy()
{
    QMutexLocker operation(&m_operation);
    const QStringList services = servicesToRestore();
    Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    Log::system(u"🔧 Xray: Restoring proxy on "_s + describe(services));
    bool restored = true;
    for (const QString &service : services) {
        // Each call runs whatever the one before it gave.
        restored = runNetworkSetup({u"-setsocksfirewallproxystate"_s, service, u"off"_s}) && restored;
        restored = runNetworkSetup({u"-setwebproxystate"_s, service, u"off"_s}) && restored;
        restored = runNetworkSetup({u"-setsecurewebproxystate"_s, service, u"off"_s}) && restored;
    }
    setActiveNetworkServices({});
    if (!restored) {
        // A proxy may still point at the stopped child: the record keeps
        // saying so, and the clean-up at quit or at the next start tries again.
        m_defaults.set(activeKey, true);
        m_defaults.set(servicesKey, services);
        Log::system(u"⚠️ Xray: System proxy not fully restored on "_s + QString::number(services.size())
                    + u" service(s) — a later clean-up tries again"_s);
        return;
    }
    m_defaults.set(activeKey, false);
    m_defaults.remove(servicesKey);
    Log::system(u"✅ Xray: System proxy restored on "_s + QString::number(services.size()) + u" service(s)"_s);
}

bool SystemProxy::restoreProxyQuietly(const QString &service, int timeoutMs)
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

bool SystemProxy::restoreQuietly(const QStringList &services, int timeoutMs)
{
    bool restored = true;
    for (const QString &service : services)
        restored = restoreProxyQuietly(service, timeoutMs) && restored;
    return restored;
}

void SystemProxy::cleanupStaleProxy()
{
    QMutexLocker operation(&m_operation);
    // The launch clean-up runs in the background and may have its turn only
    // after a first connect set the proxies: that record is not stale, and
    // undoing it would leave the connection without its proxies.
    if (m_setInThisRun)
        return;
    if (m_defaults.boolOr(killSwitchKey, false)) {
        Log::system(u"⚠️ Xray: Found stale kill switch — disabling"_s);
        Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    }
    const bool active = m_defaults.boolOr(activeKey, false);
    QStringList services;
    if (const auto list = m_defaults.stringList(servicesKey))
        services = *list;
    else if (const auto single = m_defaults.string(legacyServiceKey))
        services = {*single};
    else
        return;
    if (!active)
        return;
    Log::system(u"⚠️ Xray: Found stale proxy settings from previous session — cleaning up "_s + describe(services));
    if (!restoreQuietly(services))
        return; // still owed: the next start tries again
    m_defaults.set(activeKey, false);
    m_defaults.remove(servicesKey);
    m_defaults.remove(legacyServiceKey);
}

void SystemProxy::appTerminationCleanup(bool connected)
{
    QMutexLocker operation(&m_operation);
    Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    if (!connected && !m_defaults.boolOr(activeKey, false))
        return;
    Log::system(u"⚠️ Xray: App terminating — cleaning up proxy"_s);
    const QStringList services = servicesToRestore();
    if (restoreQuietly(services)) {
        m_defaults.set(activeKey, false);
        return;
    }
    // Still owed: the record names the services for the next start.
    m_defaults.set(activeKey, true);
    m_defaults.set(servicesKey, services);
}

void SystemProxy::terminationSignalCleanup()
{
    QMutexLocker operation(&m_operation);
    QStringList services;
    if (const auto list = m_defaults.stringList(servicesKey))
        services = *list;
    else if (const auto single = m_defaults.string(legacyServiceKey))
        services = {*single};
    else
        services = {defaultService};
    const bool restored = restoreQuietly(services);
    setActiveNetworkServices({});
    if (!restored) {
        // Still owed: the record names the services for the next start.
        m_defaults.set(activeKey, true);
        m_defaults.set(servicesKey, services);
        return;
    }
    m_defaults.set(activeKey, false);
    m_defaults.remove(servicesKey);
}

QStringList SystemProxy::activeNetworkServices() const
{
    QMutexLocker lock(&m_stateMutex);
    return m_activeNetworkServices;
}

void SystemProxy::setActiveNetworkServices(const QStringList &services)
{
    QMutexLocker lock(&m_stateMutex);
    m_activeNetworkServices = services;
}
