#pragma once

#include <QString>

// Where the two remote services are, and every path the client calls on them.
//
// The base URLs are constants of the build (CMake cache variables
// VELORIN_AUTH_BASE_URL and VELORIN_VPN_API_HOST, both the local development
// backend at http://127.0.0.1:8787 by default). fromBuild() lets environment
// variables of the same names replace them at run time, and
// VELORIN_BACKEND_URL replace both at once (the development backend serves
// both services on one port); a specific variable wins over
// VELORIN_BACKEND_URL. Trailing slashes are dropped so that paths append cleanly.
//
// Services receive an Endpoints value through their constructor; only the
// services of the process (AppServices::Setup::forThisProcess) call fromBuild().
struct Endpoints
{
    // Scheme, host and port of the authentication service; the auth paths are appended.
    QString authBaseURL;
    // Scheme, host and port of the VPN API; the configuration paths (which
    // begin with "/api/v1") are appended.
    QString vpnApiHostURL;

    // The VPN API host followed by "/api/v1"; the device and subscription paths are appended.
    QString vpnApiBaseURL() const;
    // The authentication service's host name (for log lines).
    QString authHost() const;

    // Both services at one address (a test server, the development backend).
    static Endpoints at(const QString &baseURL);
    static Endpoints fromBuild();

    bool operator==(const Endpoints &) const = default;
};

namespace ApiPath {

// Authentication service (authBaseURL).
inline const QString login = QStringLiteral("/auth/login");
inline const QString registration = QStringLiteral("/auth/register");
inline const QString verifyEmail = QStringLiteral("/auth/verify-email");
inline const QString resendCode = QStringLiteral("/auth/resend-code");
inline const QString refresh = QStringLiteral("/auth/refresh");
inline const QString me = QStringLiteral("/auth/me");
inline const QString forgotPassword = QStringLiteral("/auth/forgot-password");
inline const QString resetPassword = QStringLiteral("/auth/reset-password");

// VPN API (vpnApiBaseURL()).
inline const QString registerDevice = QStringLiteral("/devices/register");
inline const QString devices = QStringLiteral("/devices");
inline const QString revokeDevice = QStringLiteral("/devices/revoke");
inline const QString subscriptionStatus = QStringLiteral("/subscriptions/status");

// VPN API host (vpnApiHostURL).
inline const QString ikev2Config = QStringLiteral("/api/v1/ikev2/config");
inline const QString wireguardConfig = QStringLiteral("/api/v1/wireguard/config");
inline const QString xrayConfig = QStringLiteral("/api/v1/xray/config");

// Appended to vpnApiHostURL to form vpnApiBaseURL().
inline const QString vpnApiPrefix = QStringLiteral("/api/v1");

} // namespace ApiPath
