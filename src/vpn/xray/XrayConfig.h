#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

class JsonReader;

// The per-user VLESS/Reality parameters the VPN API returns for one server.
// JSON keys are the field names in snake_case, exactly.
struct XrayConfigResponse
{
    QString serverAddress; // "server_address"
    qint64 serverPort = 0; // "server_port"
    QString uuid; // "uuid": the user's credential; never logged
    QString publicKey; // "public_key"
    QString shortId; // "short_id"
    QString serverName; // "server_name": Reality SNI
    QString serverLocation; // "server_location"
    QString flow; // "flow"
    QString fingerprint; // "fingerprint"
    std::optional<QString> displayName; // "display_name": may be absent or null

    static XrayConfigResponse decode(const JsonReader &reader);
    QJsonObject encode() const;

    // What the user sees as the server's name.
    QString displayNameOrLocation() const { return displayName.value_or(serverLocation); }

    bool operator==(const XrayConfigResponse &) const = default;
};

// The configuration file handed to the xray executable.
//
// It holds the user's credential, so it is written only into a folder that
// belongs to the user alone (mode 0700), with mode 0600, and never through a
// symbolic link planted at its path: the bytes go to a fresh temporary file
// in that folder, which is then renamed over the final name.
namespace XrayConfigFile {

inline const QString fileName = QStringLiteral("kavro_xray_config.json");

// The whole document: a SOCKS inbound and an HTTP inbound on 127.0.0.1, the
// VLESS/Reality outbound, "direct" and "block" outbounds, and routing that
// sends loopback and private IPv4 ranges direct and everything else through
// the proxy.
QJsonObject build(const XrayConfigResponse &config, int socksPort, int httpPort);
// Pretty-printed, one key per line.
QByteArray serialise(const QJsonObject &document);

// The private folder for the file: "velorin" in $XDG_RUNTIME_DIR when that is
// set to a folder of ours that nobody else may enter, else "velorin/private"
// in the user's cache folder.
QString defaultDirectory();
QString chooseDirectory(const QString &runtimeDir, const QString &cacheDir);
// Whether `dir` is an existing folder (not a symbolic link) owned by the
// current user with no access for group or others.
bool isPrivateDirectory(const QString &dir);

// Creates `dir` with mode 0700 when missing. Refuses a symbolic link, a
// non-folder and a folder of another user; a folder of ours that others may
// enter is closed to them (0700). Returns an error description, or nothing.
std::optional<QString> ensurePrivateDirectory(const QString &dir);

struct WriteResult
{
    QString path; // set on success
    QString error; // set on failure
};

// Writes `bytes` as dir/fileName (mode 0600), replacing an older file or
// whatever else sits at that name.
WriteResult write(const QString &dir, const QByteArray &bytes);

} // namespace XrayConfigFile
