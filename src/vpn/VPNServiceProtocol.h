#pragma once

#include "model/VPNConnectionState.h"
#include "model/VPNProtocolType.h"

#include <QObject>
#include <QString>

#include <optional>

// The interface of the three protocol services.
//
// `connect` and `disconnect` return at once; progress and failure are reported
// only through `connectionState` and `connectionStateChanged` (read the current
// value, then follow the signal). Implementations live for the whole process.
//
// Note: the member functions `connect`/`disconnect` hide QObject's in
// subclasses; call `QObject::connect(...)` explicitly there.
class VPNServiceProtocol : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual VPNConnectionState connectionState() const = 0;
    virtual VPNProtocolType protocolType() const = 0;
    virtual QString serverName() const = 0;
    virtual void connect(const std::optional<QString> &serverIP, const std::optional<QString> &serverId) = 0;
    virtual void disconnect() = 0;
    bool isProxyBased() const { return protocolType() == VPNProtocolType::XrayReality; }

    // The live connection's server (nothing while there is none). The proxy
    // service and the IKEv2 service report them; VPNServiceManager mirrors
    // only the proxy service's.
    virtual std::optional<QString> connectedServerId() const { return std::nullopt; }
    virtual std::optional<QString> connectedServerIP() const { return std::nullopt; }

    // Tests that the connection the service reports is really still there
    // (after the machine woke from sleep or the network changed) and
    // publishes what it finds. Nothing to do for a service with no live
    // connection.
    virtual void recheckConnection() {}
    // The connection was lost and the service is bringing it back on its own;
    // what it set up (a child, the system proxy) is still in place.
    virtual bool isRecovering() const { return false; }

signals:
    // Emitted on the main thread after every change of connectionState().
    void connectionStateChanged(const VPNConnectionState &state);
};
