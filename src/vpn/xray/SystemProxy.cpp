#include "vpn/xray/SystemProxy.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "vpn/xray/NetworkSetupProxy.h"

using namespace Qt::StringLiterals;

SystemProxy::SystemProxy(UserDefaults &defaults, ProxyChoice choice, ProxyEndpoints endpoints, QString toolPath)
    : m_defaults(defaults)
    , m_choice(std::move(choice))
    , m_endpoints(std::move(endpoints))
    , m_toolPath(std::move(toolPath))
    , m_backend(ProxyBackends::make(m_choice.id, m_endpoints, m_toolPath))
{
}

SystemProxy::SystemProxy(UserDefaults &defaults, QString toolPath, int socksPort, int httpPort)
    : SystemProxy(defaults, ProxyChoice{ProxyBackends::networkSetup, u"the proxy tool is installed"_s, {}, {}},
                  ProxyEndpoints{u"127.0.0.1"_s, socksPort, httpPort}, std::move(toolPath))
{
}

SystemProxy::~SystemProxy() = default;

QString SystemProxy::unavailableReason()
{
    QMutexLocker operation(&m_operation);
    if (!m_backend)
        return m_choice.error.isEmpty() ? ProxyBackends::noStoreMessage(m_choice.desktop, m_endpoints) : m_choice.error;
    return m_backend->unavailableReason();
}

ProxyBackend *SystemProxy::backendFor(const QString &id)
{
    if (m_backend && m_backend->id() == id)
        return m_backend.get();
    if (!m_recordBackend || m_recordBackend->id() != id)
        m_recordBackend = ProxyBackends::make(id, m_endpoints, m_toolPath);
    return m_recordBackend.get();
}

std::optional<SystemProxy::Change> SystemProxy::recorded() const
{
    // Records of older versions name no back-end: they were the tool's.
    const QString id = m_defaults.string(backendKey).value_or(ProxyBackends::networkSetup);
    if (id != ProxyBackends::networkSetup) {
        // A damaged list of previous values restores nothing of the user's
        // own; what still points at the local ports is reset (see ProxyBackend).
        return Change{id, m_defaults.value(previousKey).toMap()};
    }
    if (const auto list = m_defaults.stringList(servicesKey))
        return Change{id, NetworkSetupProxy::captureOf(*list)};
    if (const auto single = m_defaults.string(legacyServiceKey))
        return Change{id, NetworkSetupProxy::captureOf({*single})};
    return std::nullopt;
}

std::optional<SystemProxy::Change> SystemProxy::owedChange(bool recordFirst) const
{
    std::optional<Change> change;
    if (!recordFirst) {
        QMutexLocker lock(&m_stateMutex);
        change = m_current;
    }
    if (!change)
        change = recorded();
    if (!change && recordFirst) {
        QMutexLocker lock(&m_stateMutex);
        change = m_current;
    }
    // Nothing known: the tool's default service, or whatever in the
    // desktop's store still points at the local ports.
    if (!change && m_backend)
        change = m_backend->id() == ProxyBackends::networkSetup
            ? Change{m_backend->id(), NetworkSetupProxy::captureOf({NetworkSetupProxy::defaultService})}
            : Change{m_backend->id(), {}};
    return change;
}

bool SystemProxy::writeRecord(const Change &change)
{
    // The flag comes last: a process killed between these writes must not
    // leave it on over a record that names nothing to restore, which the
    // launch clean-up cannot act on and the status would report as set.
    bool saved = m_defaults.set(backendKey, change.backendId);
    if (change.backendId == ProxyBackends::networkSetup)
        saved = m_defaults.set(servicesKey, NetworkSetupProxy::servicesOf(change.captured)) && saved;
    else
        saved = m_defaults.set(previousKey, change.captured) && saved;
    return m_defaults.set(activeKey, true) && saved;
}

void SystemProxy::clearRecord(bool keepServices)
{
    m_defaults.set(activeKey, false);
    m_defaults.remove(backendKey);
    m_defaults.remove(previousKey);
    if (!keepServices)
        m_defaults.remove(servicesKey);
}

void SystemProxy::setCurrent(std::optional<Change> change)
{
    QMutexLocker lock(&m_stateMutex);
    m_current = std::move(change);
}

SystemProxy::Outcome SystemProxy::setSystemProxy(const std::function<bool()> &stillWanted)
{
    QMutexLocker operation(&m_operation);
    if (stillWanted && !stillWanted())
        return {};
    if (!m_backend)
        return {false, m_choice.error.isEmpty() ? ProxyBackends::noStoreMessage(m_choice.desktop, m_endpoints)
                                                : m_choice.error};
    QString error;
    const std::optional<QVariantMap> captured = m_backend->capture(&error);
    if (!captured) {
        Log::system(u"❌ Xray: System proxy not set: "_s + error);
        return {false, error};
    }
    const Change change{m_backend->id(), *captured};
    if (change.backendId == ProxyBackends::networkSetup && NetworkSetupProxy::servicesOf(*captured).isEmpty()) {
        Log::system(u"❌ Xray: No active network services found"_s);
        return {false, u"No active network service was found to set the proxy on."_s};
    }
    setCurrent(change);
    Log::system(u"🔧 Xray: Setting system proxy "_s + m_backend->where(*captured));
    // The record comes first: a process killed half-way through the changes
    // below leaves some proxies set, and the next start restores them only
    // when the record says a restore is owed.
    if (!writeRecord(change)) {
        const QString why = m_defaults.lastError();
        clearRecord(false);
        setCurrent(std::nullopt);
        Log::system(u"❌ Xray: System proxy not set: the record could not be saved: "_s + why);
        return {false, u"Velorin could not save its settings file ("_s + why
                           + u"), so it left the system proxy as it was."_s};
    }
    m_setInThisRun = true;
    if (!m_backend->apply(*captured, &error)) {
        Log::system(u"❌ Xray: System proxy not set: "_s + error);
        // Whatever the steps before the failure changed goes back.
        QString restoreError;
        if (m_backend->restore(*captured, false, &restoreError)) {
            clearRecord(false);
            setCurrent(std::nullopt);
        } else {
            Log::system(u"⚠️ Xray: System proxy not fully restored "_s + m_backend->summary(*captured)
                        + u" — a later clean-up tries again"_s);
        }
        return {false, error};
    }
    Log::system(u"✅ Xray: System proxy enabled "_s + m_backend->summary(*captured));
    Log::system(u"🛡️ Xray: Kill switch active (proxy-based — traffic fails if xray dies)"_s);
    return {true, {}};
}

bool SystemProxy::restoreChange(const Change &change, bool quiet)
{
    ProxyBackend *backend = backendFor(change.backendId);
    if (!backend) {
        if (!quiet)
            Log::system(u"⚠️ Xray: The proxy record names an unknown back-end \""_s
                        + ProxyBackends::printable(change.backendId) + u"\" — nothing restored"_s);
        // Nothing can ever act on it: it is dropped, the settings left alone.
        return true;
    }
    QString error;
    return backend->restore(change.captured, quiet, &error);
}

bool SystemProxy::restoreSystemProxy()
{
    QMutexLocker operation(&m_operation);
    const std::optional<Change> change = owedChange(false);
    if (!change) {
        Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
        return true;
    }
    ProxyBackend *backend = backendFor(change->backendId);
    const QString where = backend ? backend->where(change->captured) : u"(unknown back-end)"_s;
    // The tool's count of services; a desktop's place (its values are gone).
    const QString summary = backend && backend->id() == ProxyBackends::networkSetup
        ? backend->summary(change->captured)
        : where;
    Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    Log::system(u"🔧 Xray: Restoring proxy "_s + where);
    const bool restored = restoreChange(*change, false);
    setCurrent(std::nullopt);
    if (!restored) {
        // A proxy may still point at the stopped child: the record keeps
        // saying so, and the clean-up at quit or at the next start tries again.
        writeRecord(*change);
        Log::system(u"⚠️ Xray: System proxy not fully restored "_s + summary + u" — a later clean-up tries again"_s);
        return false;
    }
    clearRecord(false);
    Log::system(u"✅ Xray: System proxy restored "_s + summary);
    return true;
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
    // A flag edited into something else than true or false counts as owed
    // when a desktop's record is there: its restore touches only what still
    // points at the local ports.
    const bool active = m_defaults.boolValue(activeKey).value_or(m_defaults.contains(backendKey));
    const std::optional<Change> change = recorded();
    if (!change || !active)
        return;
    ProxyBackend *backend = backendFor(change->backendId);
    Log::system(u"⚠️ Xray: Found stale proxy settings from previous session — cleaning up "_s
                + (backend ? backend->place(change->captured) : ProxyBackends::printable(change->backendId)));
    if (!restoreChange(*change, true))
        return; // still owed: the next start tries again
    clearRecord(false);
    m_defaults.remove(legacyServiceKey);
}

void SystemProxy::appTerminationCleanup(bool connected)
{
    QMutexLocker operation(&m_operation);
    Log::system(u"🛡️ Xray: Kill switch deactivated"_s);
    if (!connected && !m_defaults.boolOr(activeKey, false))
        return;
    Log::system(u"⚠️ Xray: App terminating — cleaning up proxy"_s);
    const std::optional<Change> change = owedChange(false);
    if (!change || restoreChange(*change, true)) {
        clearRecord(true);
        return;
    }
    // Still owed: the record names the change for the next start.
    writeRecord(*change);
}

void SystemProxy::terminationSignalCleanup()
{
    QMutexLocker operation(&m_operation);
    const std::optional<Change> change = owedChange(true);
    if (!change)
        return;
    const bool restored = restoreChange(*change, true);
    setCurrent(std::nullopt);
    if (!restored) {
        // Still owed: the record names the change for the next start.
        writeRecord(*change);
        return;
    }
    clearRecord(false);
}

QStringList SystemProxy::activeNetworkServices() const
{
    QMutexLocker lock(&m_stateMutex);
    if (!m_current || m_current->backendId != ProxyBackends::networkSetup)
        return {};
    return NetworkSetupProxy::servicesOf(m_current->captured);
}

std::optional<QString> SystemProxy::recordedPlace(UserDefaults &defaults, const QString &toolPath)
{
    if (!defaults.boolOr(activeKey, false))
        return std::nullopt;
    const QString id = defaults.string(backendKey).value_or(ProxyBackends::networkSetup);
    if (id != ProxyBackends::networkSetup)
        return u"in "_s + ProxyBackends::labelOf(ProxyBackends::printable(id), toolPath);
    QStringList services = defaults.stringList(servicesKey).value_or(QStringList());
    if (services.isEmpty())
        services = {NetworkSetupProxy::defaultService};
    return u"on "_s + NetworkSetupProxy::describe(services);
}
