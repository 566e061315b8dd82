#pragma once

#include "vpn/xray/ProxyBackend.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class UserDefaults;

// The system proxy settings of the Xray connection: points them at the local
// xray child through the back-end chosen at start (see ProxyBackends), keeps
// the record of what it changed and undoes it.
//
// The record (standard user defaults) says a restore is owed and what to put
// back: "xrayProxyActive" (true from before the first change until a restore
// succeeded), "xrayProxyBackend" (which back-end made the change; absent in
// records of older versions, which only knew the proxy tool), and what that
// back-end captured: the tool's services in "xrayProxyServices" (the older
// "xrayProxyService" holds a single one), a desktop's previous values in
// "xrayProxyPrevious". Every clean-up path goes through that record, so a
// run that ended without one (a crash) is mended by the next start.
//
// Every operation blocks its thread, so the service calls them from worker
// threads (only the application-termination clean-up runs on the main thread,
// with short time-outs). Safe to use from any thread: whole operations are
// serialised (a restore never interleaves with a set).
class SystemProxy
{
public:
    // Standard user-defaults keys.
    static inline const QString activeKey = QStringLiteral("xrayProxyActive");
    static inline const QString servicesKey = QStringLiteral("xrayProxyServices");
    static inline const QString legacyServiceKey = QStringLiteral("xrayProxyService");
    static inline const QString killSwitchKey = QStringLiteral("xrayKillSwitchActive");
    static inline const QString backendKey = QStringLiteral("xrayProxyBackend");
    static inline const QString previousKey = QStringLiteral("xrayProxyPrevious");

    // A back-end as `choice` names it (none when its id is empty).
    SystemProxy(UserDefaults &defaults, ProxyChoice choice, ProxyEndpoints endpoints, QString toolPath);
    // The proxy tool at `toolPath`.
    SystemProxy(UserDefaults &defaults, QString toolPath, int socksPort, int httpPort);
    ~SystemProxy();

    const ProxyChoice &choice() const { return m_choice; }
    // The chosen back-end; null when the desktop has none.
    ProxyBackend *backend() const { return m_backend.get(); }
    // Why a connect cannot set the proxies, in words for the user; empty
    // when it can.
    QString unavailableReason();

    struct Outcome
    {
        bool set = false;
        // Why not, for the user; empty when the set was no longer wanted.
        QString error;
    };
    // Captures what the set changes, writes the record, then points the
    // proxies at the local ports. A step that fails undoes what the steps
    // before it changed and says why. When `stillWanted` is given it is asked
    // once the operation has its turn; false skips the whole set (the
    // connection it was for has gone).
    Outcome setSystemProxy(const std::function<bool()> &stillWanted = {});
    // Puts back what this run changed (else what the record names, else
    // turns off what still points at the local ports), with log lines, and
    // clears the record. When it fails the record stays (a restore is still
    // owed) and the clean-up at quit or at the next start tries again.
    bool restoreSystemProxy();

    // The three clean-ups below restore quietly. When that fails they leave
    // (or write) the record of a restore still owed, so that a later clean-up
    // tries again, instead of clearing it.
    //
    // Undoes the proxies a previous run left set (it ended without a restore).
    void cleanupStaleProxy();
    // At application termination: restores quietly when a connection is up
    // or a restore is still owed. Leaves "xrayProxyServices" in place.
    void appTerminationCleanup(bool connected);
    // On the termination signals: restores the recorded change quietly and
    // clears the record.
    void terminationSignalCleanup();

    // The tool's services whose proxies this run set; empty when none.
    QStringList activeNetworkServices() const;

    // What the record says is set, for another process: the place with its
    // preposition ("on [\"Wi-Fi\"]", "in GNOME settings (...)"); nothing when
    // no restore is owed.
    static std::optional<QString> recordedPlace(UserDefaults &defaults, const QString &toolPath);

private:
    // One change: the back-end that made it and what it captured.
    struct Change
    {
        QString backendId;
        QVariantMap captured;
    };
    std::optional<Change> recorded() const;
    // What a restore puts back: this run's change, else the record's (or
    // the other way round), else the back-end's default; nothing without a
    // back-end.
    std::optional<Change> owedChange(bool recordFirst) const;
    ProxyBackend *backendFor(const QString &id);
    bool writeRecord(const Change &change);
    void clearRecord(bool keepServices);
    bool restoreChange(const Change &change, bool quiet);
    void setCurrent(std::optional<Change> change);

    UserDefaults &m_defaults;
    const ProxyChoice m_choice;
    const ProxyEndpoints m_endpoints;
    const QString m_toolPath;
    std::unique_ptr<ProxyBackend> m_backend;
    // A back-end a record names that is not the chosen one (under m_operation).
    std::unique_ptr<ProxyBackend> m_recordBackend;

    // Held for a whole operation (set, restore, clean-up).
    QMutex m_operation;
    // Whether this run set the proxies (under m_operation): the record is
    // then its own, not one a previous run left.
    bool m_setInThisRun = false;
    mutable QMutex m_stateMutex;
    std::optional<Change> m_current;
};
