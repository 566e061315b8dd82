#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

// Where the local xray child's ports are published as the system proxy.
struct ProxyEndpoints
{
    QString host = QStringLiteral("127.0.0.1");
    int socksPort = 10808;
    int httpPort = 10809;

    // "SOCKS 127.0.0.1:10808, HTTP and HTTPS 127.0.0.1:10809"
    QString describe() const;
};

// One mechanism that holds the system proxy settings: the macOS proxy tool,
// GNOME's settings, KDE's kioslaverc. SystemProxy drives it; the mechanism
// only reads, writes and checks its own store.
//
// `capture()` reads what a set is about to change (the user's own values, or
// for the tool the services to set) into a map that SystemProxy keeps in its
// record before anything changes. `apply()` points the proxies at the local
// ports; `restore()` puts back what `capture()` read. A restore changes only
// the values that still hold what `apply()` wrote: a value the user changed
// meanwhile is theirs and stays. A value missing from the map (a damaged
// record) is reset to the store's default when it still holds ours.
//
// Every operation blocks its thread (a file, a tool run, the settings
// daemon) and is called from one worker thread at a time.
class ProxyBackend
{
public:
    virtual ~ProxyBackend() = default;

    // Stable name kept in the record: "networksetup", "gnome" or "kde".
    virtual QString id() const = 0;
    // What a person reads: "GNOME settings (org.gnome.system.proxy)".
    virtual QString label() const = 0;
    // Why the store cannot be used at all, in words for the user; empty when
    // it can. Cheap enough to ask before a connect starts anything.
    virtual QString unavailableReason() = 0;

    virtual std::optional<QVariantMap> capture(QString *error) = 0;
    virtual bool apply(const QVariantMap &captured, QString *error) = 0;
    // `quiet`: no log lines (the clean-ups at quit and on signals).
    virtual bool restore(const QVariantMap &captured, bool quiet, QString *error) = 0;

    // The place the proxies are set: "[\"Wi-Fi\"]" (the tool's services),
    // "GNOME settings (org.gnome.system.proxy)"; with its preposition for the
    // log lines: "on [\"Wi-Fi\"]", "in GNOME settings (...)".
    virtual QString place(const QVariantMap &captured) const;
    virtual QString where(const QVariantMap &captured) const;
    // The end of the "enabled"/"restored" lines: "on 2 service(s)", or the
    // place and what was set there.
    virtual QString summary(const QVariantMap &captured) const;

    const ProxyEndpoints &endpoints() const { return m_endpoints; }

protected:
    explicit ProxyBackend(ProxyEndpoints endpoints)
        : m_endpoints(std::move(endpoints))
    {
    }

private:
    ProxyEndpoints m_endpoints;
};

// Which mechanism a connect uses, and why.
struct ProxyChoice
{
    QString id; // empty: none
    // Where the choice came from, for the log and `velorin status`:
    // "XDG_CURRENT_DESKTOP=ubuntu:GNOME", "VELORIN_PROXY_BACKEND=kde", ...
    QString reason;
    // The desktop as its session names it ("sway", "XFCE"); "unknown" when unset.
    QString desktop;
    // Set when there is none: the message the connect fails with.
    QString error;
};

namespace ProxyBackends {

inline const QString networkSetup = QStringLiteral("networksetup");
inline const QString gnome = QStringLiteral("gnome");
inline const QString kde = QStringLiteral("kde");

// The environment variable that names a back-end for one run, and the
// user-defaults key that names one for good ("gnome", "kde", "networksetup"
// or "auto").
inline const char *const overrideVariable = "VELORIN_PROXY_BACKEND";
inline const QString settingKey = QStringLiteral("xrayProxyBackendChoice");

struct Inputs
{
    QString environmentOverride; // VELORIN_PROXY_BACKEND
    QString settingOverride; // settingKey
    QString currentDesktop; // XDG_CURRENT_DESKTOP
    QString desktopSession; // DESKTOP_SESSION
    bool toolExists = false; // the macOS proxy tool is present
};

// The environment, then the setting, then the proxy tool where it exists,
// then the desktop named by XDG_CURRENT_DESKTOP (each colon-separated item,
// then DESKTOP_SESSION): GNOME and the desktops that use its settings
// (Unity, Budgie, Cinnamon, MATE, Pantheon) → gnome; KDE → kde. "auto" in an
// override means the detection. Anything else → none, with the message.
ProxyChoice choose(const Inputs &inputs);

// Makes the named back-end; nothing for an unknown name.
std::unique_ptr<ProxyBackend> make(const QString &id, const ProxyEndpoints &endpoints, const QString &toolPath);

// "GNOME settings (org.gnome.system.proxy)" for an id, the id itself when unknown.
QString labelOf(const QString &id, const QString &toolPath = {});

// Text from the environment or a settings file as a message or a log line
// may show it: at most 60 characters, control characters replaced.
QString printable(const QString &text);

// The text a connect fails with when the desktop has no proxy store.
QString noStoreMessage(const QString &desktop, const ProxyEndpoints &endpoints);

} // namespace ProxyBackends
