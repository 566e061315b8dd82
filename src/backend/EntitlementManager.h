#pragma once

#include "backend/Endpoints.h"
#include "backend/EntitlementRecords.h"
#include "model/AppError.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class UserDefaults;

// A failed subscription sync. Only logged, never shown.
class EntitlementError : public AppError
{
public:
    enum class Kind { InvalidURL, ServerError, Unauthorized, NoInternet };

    explicit EntitlementError(Kind kind)
        : m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }
    QString description() const override;

private:
    Kind m_kind;
};

// Fetches the account's subscription status from the VPN API after every
// sign-in and session restore, keeps the last answer in the app-group suite
// under "current_entitlement", and removes it at sign-out. Lines go to the
// system log, each starting with "[EntitlementManager]" after its mark.
//
// Main thread only; the sync suspends only while the network works.
class EntitlementManager : public QObject
{
    Q_OBJECT
public:
    static inline const QString suiteName = QStringLiteral("group.com.velorin.vpn.mac");
    static inline const QString cacheKey = QStringLiteral("current_entitlement");
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(10);

    // `appGroup` is the suite `suiteName`. `network` may be null: the manager
    // then makes and owns its own.
    EntitlementManager(UserDefaults &appGroup, Endpoints endpoints, QNetworkAccessManager *network = nullptr,
                       QObject *parent = nullptr);

    // A request fails when no data moves for this long.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // GET /subscriptions/status with the token, then saves the record.
    // Throws EntitlementError (invalidURL, serverError, unauthorized),
    // TransportError or DecodeError; on any failure the cached record stays
    // as it was and no token is touched.
    QCoro::Task<> syncWithBackend(QString accessToken);

    // Writes the record with lastVerified = now.
    void saveEntitlement(bool isActive, const QDateTime &expiresAt, const QString &provider);
    // The cached record; nothing when absent or unreadable.
    std::optional<EntitlementCache> loadCachedEntitlement() const;
    void clearCache();

signals:
    // The cached record was written or removed.
    void cacheChanged();

private:
    UserDefaults &m_appGroup;
    const Endpoints m_endpoints;
    QNetworkAccessManager *m_network;
    std::chrono::milliseconds m_timeout = defaultTimeout;
};
