#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>

class UserDefaults;

// The system proxy settings of the Xray connection, changed through the
// operating system's proxy tool ("/usr/sbin/networksetup" unless the build
// names another), with the user's own privileges.
//
// Every operation runs the tool synchronously and blocks its thread, so the
// service calls them from worker threads (only the application-termination
// cleanup runs on the main thread, with short time-outs). Safe to use from
// any thread: whole operations are serialised (a restore never interleaves
// with a set), and the list of proxied services is guarded.
class SystemProxy
{
public:
    // Standard user-defaults keys.
    static inline const QString activeKey = QStringLiteral("xrayProxyActive");
    static inline const QString servicesKey = QStringLiteral("xrayProxyServices");
    static inline const QString legacyServiceKey = QStringLiteral("xrayProxyService");
    static inline const QString killSwitchKey = QStringLiteral("xrayKillSwitchActive");
    // The service used when a list is needed and none is known.
    static inline const QString defaultService = QStringLiteral("Wi-Fi");

    // Longest wait for one tool call; a call that takes longer is stopped
    // and counts as failed.
    static constexpr int toolTimeoutMs = 10000;
    // The same for the quiet restores of the cleanups (the application may be
    // ending and must not hang on the tool).
    static constexpr int quietToolTimeoutMs = 3000;

    SystemProxy(UserDefaults &defaults, QString toolPath, int socksPort, int httpPort);

    QString toolPath() const { return m_toolPath; }

    // Runs the tool; a failure to start or a non-zero exit is logged.
    // Returns whether the call succeeded.
    bool runNetworkSetup(const QStringList &arguments);
    // The enabled services that have an address, in the tool's order, or the
    // default list when there are none or the tool cannot be run.
    QStringList listActiveNetworkServices();
    bool isServiceActive(const QString &service);

    // Points the SOCKS, web and secure web proxies of every active service at
    // the local ports. The record ("xrayProxyActive", "xrayProxyServices") is
    // written before the first call, so a process that dies half-way leaves
    // a restore owed; a failed call is logged and the next one runs. When
    // `stillWanted` is given it is asked once the operation has its turn;
    // false skips the whole set (the connection it was for has gone).
    // Returns whether the proxies were set.
    bool setSystemProxy(const std::function<bool()> &stillWanted = {});
    // Turns the three proxies off on the services set in this run (else the
    // recorded ones, else the default list), with log lines, and clears the
    // record. When a call fails the record stays (a restore is still owed)
    // and the clean-up at quit or at the next start tries again.
    void restoreSystemProxy();
    // The three "off" calls for one service, without log lines; a failed
    // call does not stop the others. Returns whether all three succeeded.
    bool restoreProxyQuietly(const QString &service, int timeoutMs = quietToolTimeoutMs);

    // The three clean-ups below restore quietly. When a call fails they
    // leave (or write) the record of a restore still owed, so that a later
    // clean-up tries again, instead of clearing it.
    //
    // Undoes the proxies a previous run left set (it ended without a restore).
    void cleanupStaleProxy();
    // At application termination: restores quietly when a connection is up
    // or a restore is still owed. Leaves "xrayProxyServices" in place.
    void appTerminationCleanup(bool connected);
    // On the termination signal: restores the recorded services quietly and
    // clears the record.
    void terminationSignalCleanup();

    // The services whose proxies this run set; empty when none.
    QStringList activeNetworkServices() const;

    // ["a", "b"]
    static QString describe(const QStringList &services);

private:
    struct Output
    {
        bool started = false;
        QString error;
        QByteArray output;
    };
    Output runForOutput(const QStringList &arguments);
    QStringList servicesToRestore();
    bool restoreQuietly(const QStringList &services, int timeoutMs = quietToolTimeoutMs);
    void setActiveNetworkServices(const QStringList &services);

    UserDefaults &m_defaults;
    const QString m_toolPath;
    const int m_socksPort;
    const int m_httpPort;

    // Held for a whole operation (set, restore, cleanup).
    QMutex m_operation;
    // Whether this run set the proxies (under m_operation): the record is
    // then its own, not one a previous run left.
    bool m_setInThisRun = false;
    mutable QMutex m_stateMutex;
    QStringList m_activeNetworkServices;
};
