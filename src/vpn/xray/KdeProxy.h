#pragma once

#include "vpn/xray/ProxyBackend.h"

// The system proxy of KDE Plasma 5 and 6: the [Proxy Settings] group of
// kioslaverc in the user's configuration folder (read by KDE programs and
// the common browsers on KDE), then the D-Bus signal with which KDE's own
// settings module tells running KDE programs to read it again.
//
// The file is edited the way KDE's configuration library writes it: plain
// "key=value" lines under the group header (no quoting, no percent-encoded
// group names), every other line, group and comment kept as it was, the
// file's mode kept (a new file is 0600), replaced atomically under KDE's
// own lock file. One process start per key, as kwriteconfig needs, would
// cost far more than a connect may spend on the proxy.
//
// Keys: ProxyType (1 = manual), socksProxy, httpProxy, httpsProxy as
// "scheme://host port", NoProxyFor (loopback only) and ReversedException
// (false, so that NoProxyFor lists exceptions). The captured map holds, for
// each key present before, its whole line as the file had it; an absent key
// is removed again on restore.
class KdeProxy : public ProxyBackend
{
public:
    KdeProxy(QString configDirectory, ProxyEndpoints endpoints);

    // $XDG_CONFIG_HOME, else ~/.config.
    static QString defaultConfigDirectory();
    static QString labelText();
    static inline const QString group = QStringLiteral("Proxy Settings");

    QString filePath() const;

    QString id() const override { return ProxyBackends::kde; }
    QString label() const override { return labelText(); }
    QString unavailableReason() override;
    std::optional<QVariantMap> capture(QString *error) override;
    bool apply(const QVariantMap &captured, QString *error) override;
    bool restore(const QVariantMap &captured, bool quiet, QString *error) override;

private:
    // The lines of our keys as they should be: a key mapped to a line, or to
    // nothing (removed). Verified by reading the file back.
    bool edit(const QMap<QString, std::optional<QString>> &lines, QString *error);
    void notifyRunningPrograms(bool quiet);

    const QString m_configDirectory;
};
