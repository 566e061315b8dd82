// A person's way through the sign-in screens against the real development
// backend: create an account, type the mailed code, end signed in.
#include "support/DevServerProcess.h"
#include "ui/account/LoginView.h"
#include "AccountScreensSupport.h"

#include <QLineEdit>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestSignUpFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    std::unique_ptr<DevServerProcess> m_server;

private slots:
    void initTestCase()
    {
        m_server = std::make_unique<DevServerProcess>(m_data.path(), DevServerProcess::fastArguments());
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void cleanupTestCase() { QVERIFY(m_server->stop()); }

    void signUpAndVerify()
    {
        const QString email = u"grace@example.com"_s;
        const QString password = u"first password"_s;

        TempDefaults defaults;
        FakeKeychain keychain;
        AccountServices app(defaults, keychain, m_server->url().toString());
        LoginView login(app.auth, app.api);
        login.resize(520, 620);
        login.show();

        click(child(&login, "modeSwitch"));
        enter(child<QLineEdit>(&login, "emailField"), u" "_s + email);
        enter(child<QLineEdit>(&login, "passwordField"), password);
        enter(child<QLineEdit>(&login, "confirmPasswordField"), password);
        click(child(&login, "mainButton"));
        QTRY_VERIFY(login.verificationSheet());
        QPointer<EmailVerificationView> sheet = login.verificationSheet();
        QCOMPARE(sheet->email(), email);
        QVERIFY(sheet->isVisible());
        QCOMPARE(app.auth.authState(), AuthState::unauthenticated());

        const QString code = m_server->lastCode(email);
        QCOMPARE(code.size(), 6);
        enter(child<QLineEdit>(sheet, "codeField"), code);
        QTRY_VERIFY_WITH_TIMEOUT(app.auth.authState().isAuthenticated(), 10000);
        QCOMPARE(app.auth.authState().user()->email, email);
        QVERIFY(!app.auth.pendingVerificationEmail());
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);
        QTRY_VERIFY(!app.auth.isLoading());
        QTRY_COMPARE(app.devices.devices().size(), 1);
    }
};

QTEST_MAIN(TestSignUpFlow)
#include "tst_signupflow.moc"
