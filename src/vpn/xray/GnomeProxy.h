#pragma once

#include "vpn/xray/ProxyBackend.h"

// The system proxy in GNOME's settings (schema "org.gnome.system.proxy",
// read by GNOME, Cinnamon, MATE, Budgie, by GIO programs and by the common
// browsers there), through GIO's GSettings in this process: mode "manual",
// the SOCKS, HTTP and HTTPS host and port, and ignore-hosts holding only
// loopback. The captured map holds the user's values of those eight keys
// ("mode", "ignore-hosts", "socks.host", "socks.port", ...).
//
// The schema is looked up before every use (GSettings ends the process on a
// missing one), and every write is read back: with the dconf store and no
// session bus a write "succeeds" and stores nothing.
class GnomeProxy : public ProxyBackend
{
public:
    explicit GnomeProxy(ProxyEndpoints endpoints);

    static QString labelText();

    QString id() const override { return ProxyBackends::gnome; }
    QString label() const override { return labelText(); }
    QString unavailableReason() override;
    std::optional<QVariantMap> capture(QString *error) override;
    bool apply(const QVariantMap &captured, QString *error) override;
    bool restore(const QVariantMap &captured, bool quiet, QString *error) override;
};
