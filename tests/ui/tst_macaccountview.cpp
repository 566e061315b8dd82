#include "shell/ShellFixture.h"
#include "ui/common/Website.h"
#include "ui/account/MacAccountView.h"
#include "ui/common/Style.h"
#include "AccountScreensSupport.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;
using AccountPlan::StatusTone;

namespace {

// The connection stays as the test sets it.
struct Fixture : ShellFixture
{
    MacAccountView view{account.auth, account.entitlements, account.center, vpn};

    Fixture()
    {
        ikev2.followCalls = false;
        view.resize(520, 560);
        view.show();
    }

    void signIn()
    {
        server.on("GET", u"/api/v1/subscriptions/status"_s,
                  StubServer::Response::json(200, "{\"status\":\"active\",\"plan\":\"personal_yearly\","
                                                  "\"expires_at\":\"2099-03-01T00:00:00Z\",\"is_trial\":false}"));
        QVERIFY(ShellFixture::signIn());
    }

    QString text(const char *name) const { return child<QLabel>(&view, name)->text(); }
    QStringList texts() const
    {
        QStringList shown{text("emailText"), text("planText"), text("statusText")};
        if (child(&view, "expiresRow")->isVisible())
            shown << text("expiresText");
        return shown;
    }
    void click(const char *name) { ::click(child(&view, name)); }
};

} // namespace

class TestMacAccountView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

    void planDisplayName()
    {
        const std::pair<QString, QString> cases[] = {
            {u"  personal_yearly  "_s, u"Personal Yearly"_s},
            {u"STRIPE"_s, u"Premium (Stripe)"_s},
            {u"gold"_s, u"Gold"_s}, // no rule: each word capitalised
            {u"GOLD plus"_s, u"Gold Plus"_s},
            {u"Yearly"_s, u"Yearly Plan"_s},
            {u"personal_monthly"_s, u"Personal Monthly"_s},
            {u"family-yearly"_s, u"Family Yearly"_s},
            {u"FamilyMonth"_s, u"Family Monthly"_s},
            {u"personal_trial"_s, u"Personal"_s}, // "personal" is checked before "trial"
            {u"yearly_trial"_s, u"Free Trial"_s},
            {u"app_review"_s, u"Review Account"_s},
            {u"apple_iap"_s, u"Premium (App Store)"_s},
            {u"stripe_gold"_s, u"Stripe_gold"_s}, // Stripe only when the whole name
            {u"Unknown"_s, u"Premium"_s},
            {QString(), u"Premium"_s},
        };
        for (const auto &[provider, expected] : cases)
            QCOMPARE(AccountPlan::displayName(provider), expected);
    }

    // Active while the record says so, with 48 hours of grace after the expiry.
    void statusFollowsRecordAndGrace()
    {
        const qint64 day = 86400;
        const struct
        {
            bool isActive;
            qint64 expirySecondsFromNow;
            bool shownActive;
        } cases[] = {{true, 30 * day, true}, {true, -(2 * day - 1), true}, {true, -2 * day, false}, {false, 365 * day, false}};
        const QDateTime now(QDate(2026, 3, 10), QTime(9, 30), Qt::UTC);
        for (const auto &c : cases) {
            const EntitlementCache record{c.isActive, now.addSecs(c.expirySecondsFromNow), now, u"stripe"_s};
            const AccountPlan::Info info = AccountPlan::info(record, now);
            QCOMPARE(info.status, c.shownActive ? u"Active"_s : u"Expired"_s);
            QCOMPARE(info.tone, c.shownActive ? StatusTone::Green : StatusTone::Red);
        }
    }

    void pageFollowsTheCachedRecord()
    {
        Fixture f;
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"No Subscription"_s, u"Inactive"_s}));

        const QDateTime now = QDateTime::currentDateTimeUtc();
        f.account.entitlements.saveEntitlement(true, now.addDays(-1), u"  personal_yearly  "_s);
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"Personal Yearly"_s, u"Active"_s,
                                         QLocale().toString(now.addDays(-1).date(), u"MMM d, yyyy"_s)}));
        QCOMPARE(f.view.findChild<QLabel *>(u"statusText"_s)->palette().color(QPalette::WindowText), Style::green());

        f.account.entitlements.saveEntitlement(true, now.addDays(-3), u"gold"_s);
        QCOMPARE(f.texts().mid(1, 2), (QStringList{u"Gold"_s, u"Expired"_s}));
        QCOMPARE(f.view.findChild<QLabel *>(u"statusText"_s)->palette().color(QPalette::WindowText), Style::red());
    }

    // (What a sign-out removes is the auth service's test.)
    void signOutAfterConfirmation()
    {
        Fixture f;
        f.signIn();
        QCOMPARE(f.texts(), (QStringList{u"ada@example.com"_s, u"Personal Yearly"_s, u"Active"_s, u"Mar 1, 2099"_s}));
        QVERIFY(saveGrab(&f.view, u"account-active"_s));

        f.click("signOutButton");
        QMessageBox *box = f.view.signOutConfirmation();
        QVERIFY(box);
        QCOMPARE(box->text(), u"Are you sure you want to sign out? You'll need to log in again to use VPN."_s);
        QCOMPARE(box->buttons().size(), 2);
        QVERIFY(answer(box, QMessageBox::RejectRole));
        QTRY_VERIFY(!f.view.signOutConfirmation());
        QVERIFY(f.account.auth.authState().isAuthenticated());

        f.click("signOutButton");
        QVERIFY(answer(f.view.signOutConfirmation(), QMessageBox::DestructiveRole));
        QCOMPARE(f.texts(), (QStringList{u"Unknown"_s, u"No Subscription"_s, u"Inactive"_s}));
    }

    // The sign-out waits for the stop; a connection that does not stop
    // leaves the user signed in, told why.
    void signOutWhileConnectedStopsFirst()
    {
        Fixture f;
        for (const bool stops : {true, false}) {
            f.view.setSignOutStopLimit(300);
            f.signIn();
            f.ikev2.setState(VPNConnectionState::connected());
            QTRY_VERIFY(f.vpn.connectionState().is(VPNConnectionState::Kind::Connected));
            f.click("signOutButton");
            QTRY_VERIFY(f.view.signOutConfirmation());
            QVERIFY(f.view.signOutConfirmation()->text().contains(u"disconnects it first"_s));
            QVERIFY(answer(f.view.signOutConfirmation(), QMessageBox::DestructiveRole));
            QVERIFY(f.account.auth.authState().isAuthenticated());
            if (stops)
                f.ikev2.setState(VPNConnectionState::disconnected());
            QTRY_COMPARE(f.account.auth.authState().isAuthenticated(), !stops);
            QTRY_COMPARE(f.view.findChild<QWidget *>(u"signOutError"_s)->isVisible(), !stops);
        }
        QCOMPARE(f.ikev2.disconnectCalls, 2);
    }

    void actionsPostAndOpenPages()
    {
        Fixture f;
        OpenedUrls opened;
        QSignalSpy posted(&f.account.center, &NotificationCenter::posted);
        f.click("manageDevicesButton");
        QCOMPARE(posted.size(), 1);
        QCOMPARE(posted[0][0].toString(), u"com.velorin.showDevices"_s);

        f.click("manageSubscriptionLink");
        f.click("helpSupportButton");
        QCOMPARE(opened.urls, (QList<QUrl>{QUrl(u"https://velorin.example/vpn/"_s), QUrl(u"https://velorin.example/support"_s)}));
    }

    void linksWithoutAddressAreLeftOut()
    {
        qputenv("VELORIN_WEBSITE_URL", "not a web address");
        Fixture f;
        qunsetenv("VELORIN_WEBSITE_URL");
        QVERIFY(!f.view.findChild<QAbstractButton *>(u"manageSubscriptionLink"_s));
        QVERIFY(!f.view.findChild<QAbstractButton *>(u"helpSupportButton"_s));
        QVERIFY(f.view.findChild<QAbstractButton *>(u"manageDevicesButton"_s));
        QVERIFY(f.view.findChild<QAbstractButton *>(u"signOutButton"_s));
    }

    void websitePages()
    {
        const std::pair<QString, QString> cases[] = {
            {u"https://velorin.example"_s, u"https://velorin.example/vpn/"_s},
            {u"http://127.0.0.1:8080"_s, u"http://127.0.0.1:8080/vpn/"_s},
            {QString(), QString()}, // an empty expectation: no valid page
            {u"velorin.example"_s, QString()},
            {u"ftp://velorin.example"_s, QString()},
            {u"https://velorin example"_s, QString()},
        };
        for (const auto &[base, expected] : cases) {
            const QUrl url = Website::page(base, u"/vpn/"_s);
            QCOMPARE(url.isValid() ? url.toString() : QString(), expected);
        }
    }
};

QTEST_MAIN(TestMacAccountView)
#include "tst_macaccountview.moc"
