#pragma once

#include <QString>

// Names posted on the default notification centre.
namespace NotificationNames {
inline const QString showSettings = QStringLiteral("com.velorin.showSettings");
inline const QString showDevices = QStringLiteral("com.velorin.showDevices");
inline const QString showAccount = QStringLiteral("com.velorin.showAccount");
// user info: "isAuthenticated" (bool)
inline const QString authStatusChanged = QStringLiteral("com.velorin.authStatusChanged");
} // namespace NotificationNames
