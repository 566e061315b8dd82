// The account services against the real development backend: sign-up with
// the mailed code, a second start, the device limit between two computers,
// and sign-out.
#include "model/NotificationNames.h"
#include "support/AccountServices.h"
#include "support/DevServerProcess.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestAccountFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    std::unique_ptr<DevServerProcess> m_server;
    const QString m_email = u"ada@example.com"_s;
    const QString m_password = u"correct horse battery"_s;

private slots:
    void initTestCase()
    {
        m_server = std::make_unique<DevServerProcess>(m_data.path(),
                                                      DevServerProcess::fastArguments() + QStringList{u"--device-limit"_s, u"1"_s});
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void cleanupTestCase() { QVERIFY(m_server->stop()); }

    void signUpRestartLimitAndSignOut()
    {
        const QString base = m_server->url().toString();
        TempDefaults defaults;
        FakeKeychain keychain;
        QString deviceId;
        QString userId;
        {
            AccountServices app(defaults, keychain, base);
            QCoro::waitFor(app.auth.registerAccount(m_email, m_password));
            QCOMPARE(app.auth.pendingVerificationEmail(), m_email);
            QCOMPARE(app.auth.authState(), AuthState::unauthenticated());
            QCoro::waitFor(app.auth.verifyEmail(m_email, m_server->lastCode(m_email)));
            QVERIFY2(!app.auth.errorMessage(), qPrintable(app.auth.errorMessage().value_or(QString())));
            QVERIFY(app.auth.authState().isAuthenticated());
            userId = app.auth.authState().user()->id;
            deviceId = *app.identifier.storedDeviceId();
            QCOMPARE(app.devices.devices().size(), 1);
            QVERIFY(app.devices.isCurrentDevice(app.devices.devices().first()));
            QCOMPARE(app.entitlements.loadCachedEntitlement()->provider, u"monthly"_s);
        }

        // The next start of the application restores the session.
        defaults.restart();
        AccountServices next(defaults, keychain, base);
        QCoro::waitFor(next.auth.restoreSession());
        QCOMPARE(next.auth.authState().user()->id, userId);
        QCOMPARE(*next.identifier.storedDeviceId(), deviceId);
        QCOMPARE(next.devices.activeDeviceCount(), 1);

        // A second computer meets the limit of one, removes the first, and gets in.
        TempDefaults otherDefaults;
        FakeKeychain otherKeychain;
        AccountServices other(otherDefaults, otherKeychain, base);
        QCoro::waitFor(other.auth.login(m_email, m_password));
        QVERIFY(other.auth.authState().isAuthenticated());
        QVERIFY(other.devices.showDeviceLimitSheet());
        QCOMPARE(other.devices.deviceLimitDevices().first().deviceId, deviceId);
        QCOMPARE(other.devices.maxDevices(), 1);
        QCoro::waitFor(other.devices.revokeDevice(deviceId));
        QVERIFY(!other.devices.errorMessage());
        QCoro::waitFor(other.devices.registerDevice());
        QCOMPARE(other.devices.devices().size(), 1);
        QVERIFY(other.devices.isCurrentDevice(other.devices.devices().first()));

        // Sign-out on the first computer keeps its identifier; its next start is signed out.
        next.auth.signOut();
        QCOMPARE(*next.identifier.storedDeviceId(), deviceId);
        QVERIFY(!next.entitlements.loadCachedEntitlement());
        defaults.restart();
        AccountServices afterSignOut(defaults, keychain, base);
        QCoro::waitFor(afterSignOut.auth.restoreSession());
        QCOMPARE(afterSignOut.auth.authState(), AuthState::unauthenticated());
    }
};

QTEST_GUILESS_MAIN(TestAccountFlow)
#include "tst_accountflow.moc"
