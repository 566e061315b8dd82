#pragma once

#include "vpn/xray/ProxyBackend.h"

// The system proxy through the macOS proxy tool ("/usr/sbin/networksetup"
// unless the build names another), run as child processes with the user's
// own privileges. The captured map holds "services": the enabled services
// with an address, in the tool's order. Setting runs six calls per service
// (SOCKS, web and secure web proxy, each address then state "on");
// restoring turns the three states "off" and leaves the addresses.
class NetworkSetupProxy : public ProxyBackend
{
public:
    // The service used when a list is needed and none is known.
    static inline const QString defaultService = QStringLiteral("Wi-Fi");
    // Longest wait for one tool call; a call that takes longer is stopped
    // and counts as failed.
    static constexpr int toolTimeoutMs = 10000;
    // The same for the quiet restores (the application may be ending and
    // must not hang on the tool).
    static constexpr int quietToolTimeoutMs = 3000;

    NetworkSetupProxy(QString toolPath, ProxyEndpoints endpoints);

    static QString labelFor(const QString &toolPath);
    // ["a", "b"]
    static QString describe(const QStringList &services);
    static QStringList servicesOf(const QVariantMap &captured);
    static QVariantMap captureOf(const QStringList &services);

    QString toolPath() const { return m_toolPath; }

    // Runs the tool; a failure to start or a non-zero exit is logged and
    // returned as a description (nothing on success).
    std::optional<QString> runNetworkSetup(const QStringList &arguments);
    // The enabled services that have an address, in the tool's order, or the
    // default list when there are none or the tool cannot be run.
    QStringList listActiveNetworkServices();
    bool isServiceActive(const QString &service);
    // The three "off" calls for one service, without log lines; a failed
    // call does not stop the others. Returns whether all three succeeded.
    bool restoreProxyQuietly(const QString &service, int timeoutMs = quietToolTimeoutMs);

    // ProxyBackend
    QString id() const override { return ProxyBackends::networkSetup; }
    QString label() const override { return labelFor(m_toolPath); }
    QString unavailableReason() override;
    std::optional<QVariantMap> capture(QString *error) override;
    bool apply(const QVariantMap &captured, QString *error) override;
    bool restore(const QVariantMap &captured, bool quiet, QString *error) override;
    QString place(const QVariantMap &captured) const override;
    QString where(const QVariantMap &captured) const override;
    QString summary(const QVariantMap &captured) const override;

private:
    struct Output
    {
        bool started = false;
        QString error;
        QByteArray output;
    };
    Output runForOutput(const QStringList &arguments);

    const QString m_toolPath;
};
