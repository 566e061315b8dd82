#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The operating system's IKEv2 VPN profile: load and save its preferences,
// start and stop the tunnel, and follow its status.
//
// Completions and the status signal are delivered on the object's (main)
// thread. An error is a human-readable description taken from the system
// (for instance the daemon's reason for a failed start).

// The profile the client writes before every connect; every setting is
// written each time.
struct IKEv2Profile
{
    // Numeric values as the system's IKEv2 configuration knows them.
    enum AuthenticationMethod { AuthenticationNone = 0, AuthenticationCertificate = 1, AuthenticationSharedSecret = 2 };
    enum EncryptionAlgorithm { EncryptionAES256GCM = 6 };
    enum IntegrityAlgorithm { IntegritySHA256 = 3 };
    enum CertificateType { CertificateRSA = 1 };

    struct SecurityAssociation
    {
        int encryptionAlgorithm = EncryptionAES256GCM;
        int integrityAlgorithm = IntegritySHA256;
        int diffieHellmanGroup = 14;
        bool operator==(const SecurityAssociation &) const = default;
    };

    QString serverAddress;
    QString remoteIdentifier;
    QString localIdentifier;
    int authenticationMethod = AuthenticationNone;
    bool useExtendedAuthentication = true;
    QString username;
    // Persistent reference of the keychain item holding the EAP password;
    // empty when storing the password failed.
    QByteArray passwordReference;
    SecurityAssociation ikeSecurityAssociation;
    SecurityAssociation childSecurityAssociation;
    int certificateType = CertificateRSA;
    QString serverCertificateIssuerCommonName;
    QString serverCertificateCommonName;
    bool disconnectOnSleep = false;
    // Manager-level settings.
    QString localizedDescription;
    bool isEnabled = true;

    bool operator==(const IKEv2Profile &) const = default;
};

class SystemVpn : public QObject
{
    Q_OBJECT
public:
    enum class Status { Invalid, Disconnected, Connecting, Connected, Reasserting, Disconnecting };
    Q_ENUM(Status)

    using Completion = std::function<void(const std::optional<QString> &error)>;

    using QObject::QObject;

    // Loads the saved profile (and reaches the system service). Completes
    // with an error description when the service cannot be reached.
    virtual void loadFromPreferences(Completion completion) = 0;
    // Saves the profile as the system's profile of this application.
    virtual void saveToPreferences(const IKEv2Profile &profile, Completion completion) = 0;
    // Starts the tunnel of the saved profile; an error when it cannot start.
    // Progress follows through statusChanged.
    virtual std::optional<QString> startTunnel() = 0;
    // Asks the system to stop the tunnel; progress follows through statusChanged.
    virtual void stopTunnel() = 0;
    virtual Status status() const = 0;
    // The reason of the last failure the system reported while connecting
    // (wrong password, untrusted server, unreachable server), if any.
    virtual QString lastFailureReason() const { return {}; }
    // Asks the system whether the tunnel it reports is still there (after a
    // wake from sleep or a network change: is the IKE SA still established?)
    // and reports a difference through statusChanged. The default relies on
    // the status the system has already reported.
    virtual void refreshStatus() {}

signals:
    void statusChanged(SystemVpn::Status status);
};
