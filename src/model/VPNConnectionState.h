#pragma once

#include <QMetaType>
#include <QString>

// The state of one connection as a protocol service publishes it.
class VPNConnectionState
{
public:
    enum class Kind {
        Disconnected, // no tunnel; the initial state everywhere
        Connecting, // a connect is under way (configuration fetch, profile save, tunnel start)
        Connected, // the tunnel or proxy is up
        Disconnecting, // a stop is under way
        Reconnecting, // the system is re-establishing the IKEv2 tunnel
        Error, // the last attempt failed; message() is shown to the user
    };

    VPNConnectionState() = default;
    static VPNConnectionState disconnected() { return VPNConnectionState(Kind::Disconnected); }
    static VPNConnectionState connecting() { return VPNConnectionState(Kind::Connecting); }
    static VPNConnectionState connected() { return VPNConnectionState(Kind::Connected); }
    static VPNConnectionState disconnecting() { return VPNConnectionState(Kind::Disconnecting); }
    static VPNConnectionState reconnecting() { return VPNConnectionState(Kind::Reconnecting); }
    static VPNConnectionState error(const QString &message) { return VPNConnectionState(Kind::Error, message); }

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }
    bool isError() const { return m_kind == Kind::Error; }
    // The message of an error state; empty for the other states.
    const QString &errorMessage() const { return m_message; }

    // Same case, and for errors the same message.
    bool operator==(const VPNConnectionState &other) const
    {
        return m_kind == other.m_kind && m_message == other.m_message;
    }

    // "disconnected", "connecting", ..., "error: <message>"
    QString description() const;

private:
    explicit VPNConnectionState(Kind kind, QString message = {})
        : m_kind(kind)
        , m_message(std::move(message))
    {
    }

    Kind m_kind = Kind::Disconnected;
    QString m_message;
};

// The coarse status that picks the menu bar icon.
enum class VPNDisplayStatus { Disconnected, Connecting, Connected, Disconnecting, Error };

namespace VPNDisplay {
// reconnecting shows as connecting; every error as error.
VPNDisplayStatus status(const VPNConnectionState &state);
// "Disconnected", "Connecting…", "Connected", "Disconnecting…", "Error"
QString displayName(VPNDisplayStatus status);
} // namespace VPNDisplay

Q_DECLARE_METATYPE(VPNConnectionState)
Q_DECLARE_METATYPE(VPNDisplayStatus)
