#pragma once

#include "backend/EntitlementManager.h"

#include <QDateTime>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <optional>

class AuthService;
class MessageRow;
class NotificationCenter;
class PlainLabel;
class QLabel;
class VPNServiceManager;

class QPushButton;

// What the account page says about the subscription. It only displays the
// cached entitlement record; it decides nothing about access.
namespace AccountPlan {

// A record stays "Active" this long after its expiry (for renewals that the
// backend has not seen yet).
inline constexpr std::chrono::seconds gracePeriod{172800}; // 48 hours

enum class StatusTone { Secondary, Green, Red };

struct Info
{
    QString displayName; // "Plan"
    QString status; // "Status": "Active", "Expired" or "Inactive"
    StatusTone tone = StatusTone::Secondary;
    std::optional<QString> expiry; // "Expires"; nothing without a record

    bool operator==(const Info &) const = default;
};

// The plan's display name for a provider text: lower-cased and trimmed, then
// the first matching rule ("yearly" "Yearly Plan", ... contains "personal" and
// "year" "Personal Yearly", ... "stripe" "Premium (Stripe)", "unknown" or
// empty "Premium"); anything else is the trimmed text with each word
// capitalised ("gold" "Gold").
QString displayName(const QString &provider);

// Active while the record says active and its expiry is later than `now`
// or passed less than the grace period ago.
bool isActive(const EntitlementCache &record, const QDateTime &now);

// Without a record: "No Subscription", "Inactive" (secondary), no expiry.
// With one: its display name, "Active" (green) or "Expired" (red), and the
// expiry as a medium date of `locale`.
Info info(const std::optional<EntitlementCache> &record, const QDateTime &now, const QLocale &locale = QLocale());

} // namespace AccountPlan

// The "My Account" page: who is signed in, the subscription as last synced
// from the backend, links to the website's subscription and support pages,
// a jump to the devices page ("com.velorin.showDevices"), and sign-out after
// a confirmation. Signing out while a connection runs stops the connection
// first (the confirmation says so), and signs out once it has stopped; a
// connection that does not stop in time leaves the user signed in, told why.
//
// The plan is read again whenever the page is shown and whenever the cached
// record changes.
class MacAccountView : public QWidget
{
    Q_OBJECT
public:

    MacAccountView(AuthService &authService, EntitlementManager &entitlements, NotificationCenter &notifications,
                   VPNServiceManager &vpn, QWidget *parent = nullptr);

    // The plan lines as shown now.
    AccountPlan::Info plan() const { return m_plan; }
    // The sign-out confirmation while it is open.
    QMessageBox *signOutConfirmation() const { return m_confirmation; }
    // How long a sign-out waits for the connection to stop (20 s).
    void setSignOutStopLimit(int milliseconds) { m_stopLimitMs = milliseconds; }

    // Reads the cached record and updates the Plan, Status and Expires rows.
    void refreshPlan();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void refreshEmail();
    void applyColors();
    void confirmSignOut();
    void stopThenSignOut();

    AuthService &m_auth;
    EntitlementManager &m_entitlements;
    NotificationCenter &m_notifications;
    VPNServiceManager &m_vpn;

    AccountPlan::Info m_plan;
    PlainLabel *m_email;
    PlainLabel *m_planValue;
    PlainLabel *m_statusValue;
    QWidget *m_expiresRow;
    PlainLabel *m_expiresValue;
    MessageRow *m_signOutError;
    QPointer<QMessageBox> m_confirmation;
    bool m_stopping = false;
    int m_stopLimitMs = 20000;
};
