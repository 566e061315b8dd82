// The sign-in screen and its reset and verification sheets against a stub
// backend, and a sign-up against the real development backend.
#include "AccountScreensSupport.h"
#include "platform/Log.h"
#include "support/DevServerProcess.h"
#include "ui/account/EmailVerificationView.h"
#include "ui/account/ForgotPasswordView.h"
#include "ui/account/LoginView.h"
#include "ui/common/Style.h"
#include "ui/common/Website.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

struct Screen : StubAccount
{
    Screen()
    {
        view.resize(520, 620);
        view.show();
    }

    QLineEdit *email() const { return child<QLineEdit>(&view, "emailField"); }
    QLineEdit *password() const { return child<QLineEdit>(&view, "passwordField"); }
    QLineEdit *confirmation() const { return child<QLineEdit>(&view, "confirmPasswordField"); }
    FilledButton *mainButton() const { return child<FilledButton>(&view, "mainButton"); }
    QLabel *modeSwitch() const { return child<QLabel>(&view, "modeSwitch"); }
    MessageRow *errorRow() const { return child<MessageRow>(&view, "errorRow"); }
    bool shows(const char *name) const { return child(&view, name)->isVisibleTo(&view); }

    LoginView view{app.auth, app.api};
};

const QByteArray codeSent = "{\"message\":\"If the address has an account, we sent it a code.\"}";

struct ResetSheet : StubAccount
{
    explicit ResetSheet(const QString &prefill = QString())
        : view(new ForgotPasswordView(app.api, prefill))
    {
        view->show();
    }
    ~ResetSheet()
    {
        (void)QTest::qWaitFor([this] { return !view || !view->isLoading(); }, 5000);
        delete view;
    }

    QLineEdit *field(const char *name) const { return child<QLineEdit>(view, name); }
    FilledButton *button(const char *name) const { return child<FilledButton>(view, name); }
    bool shows(const char *name) const { return child(view, name)->isVisibleTo(view); }
    QString subtitle() const { return child<QLabel>(view, "subtitleText")->text(); }
    QList<StubServer::Request> resets() const { return server.requests("POST", u"/auth/reset-password"_s); }

    void fill(const QString &code, const QString &password, const QString &confirmation)
    {
        enter(field("codeField"), code);
        enter(field("newPasswordField"), password);
        enter(field("confirmPasswordField"), confirmation);
    }

    QPointer<ForgotPasswordView> view;
};

const QString address = u"ada@example.com"_s;

} // namespace

class TestSignInScreens : public QObject
{
    Q_OBJECT

private slots:
    // The length counts characters: 7 emoji are 14 UTF-16 units, 7 decomposed
    // "ä" are 14 code points, and both are too short.
    void formRules()
    {
        const QString eight = u"abcdefgh"_s, emoji7 = u"🔒"_s.repeated(7);
        const struct
        {
            bool registering;
            QString email, password, confirmation;
            bool valid, lengthNote;
        } cases[] = {
            {false, u"name@"_s, eight, {}, true, false},
            {false, u"name@"_s, u"abcdefg"_s, {}, false, false},
            {false, u"name.example.com"_s, eight, {}, false, false},
            {false, u"  ada@example.com\t"_s, eight, {}, true, false},
            {false, u"name@"_s, emoji7, {}, false, false},
            {false, u"name@"_s, u"🔒"_s.repeated(8), {}, true, false},
            {false, u"name@"_s, u"a\u0308"_s.repeated(7), {}, false, false},
            {true, u"name@"_s, eight, eight, true, false},
            {true, u"name@"_s, eight, u"abcdefgX"_s, false, false},
            {true, u"name@"_s, eight, u"abcdefghi"_s, false, false},
            {true, u"name@"_s, eight, {}, false, false},
            {true, u"a@"_s, emoji7, {}, false, true},
        };
        for (const auto &c : cases) {
            const LoginForm form{c.email, c.password, c.confirmation, c.registering};
            QVERIFY2(form.isFormValid() == c.valid && form.showsLengthNote() == c.lengthNote,
                     qPrintable(c.email + u' ' + c.password + u' ' + c.confirmation));
        }
    }

    // The address goes out trimmed, the password as typed; a busy button
    // takes no second press.
    void sendsTrimmedAddressAndShowsProgress_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("path");
        QTest::newRow("sign-in") << false << u"/auth/login"_s;
        QTest::newRow("registration") << true << u"/auth/register"_s;
    }
    void sendsTrimmedAddressAndShowsProgress()
    {
        QFETCH(bool, registering);
        QFETCH(QString, path);

        Screen screen;
        screen.server.on("POST", path, StubServer::Response::text(409, "taken").after(400ms));
        if (registering)
            click(screen.modeSwitch());
        enter(screen.email(), u" \t ada@example.com  \t"_s);
        enter(screen.password(), u" pass word "_s);
        if (registering)
            enter(screen.confirmation(), u" pass word "_s);
        FilledButton *button = screen.mainButton();
        click(button);

        QVERIFY(button->isBusy() && !button->isEnabled());
        saveGrab(&screen.view, u"login-loading"_s, true);
        click(button);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);

        QTRY_VERIFY(screen.shows("errorRow"));
        QCOMPARE(screen.errorRow()->message(), screen.app.auth.errorMessage());
        QVERIFY(!button->isBusy() && button->isEnabled());
        QCOMPARE(screen.server.requests().size(), 1);
        const QJsonObject sent = screen.server.requests().first().json();
        QCOMPARE(sent.value(u"email"_s).toString(), u"ada@example.com"_s);
        QCOMPARE(sent.value(u"password"_s).toString(), u" pass word "_s);
        saveGrab(&screen.view, u"login-error"_s, true);

        click(child<QPushButton>(screen.errorRow(), "dismissButton"));
        QVERIFY(!screen.app.auth.errorMessage());
        QVERIFY(!screen.shows("errorRow"));
    }

    void switchingModesEmptiesOnlyTheConfirmation()
    {
        Screen screen;
        enter(screen.email(), u"ada@example.com"_s);
        enter(screen.password(), u"abcdefgh"_s);
        screen.app.auth.setErrorMessage(u"Invalid email or password"_s);
        QCOMPARE(screen.modeSwitch()->textFormat(), Qt::MarkdownText);
        QCOMPARE(screen.modeSwitch()->text(), u"Don't have an account? **Sign Up**"_s);
        QVERIFY(!screen.shows("confirmPasswordField"));

        click(child(&screen.view, "forgotPasswordButton"));
        QPointer<ForgotPasswordView> reset = screen.view.forgotPasswordSheet();
        QVERIFY(reset && reset->isVisible());
        QCOMPARE(reset->windowModality(), Qt::WindowModal);
        QCOMPARE(reset->form().email, u"ada@example.com"_s);
        reset->reject();
        QTRY_VERIFY(!screen.view.showForgotPassword());

        click(screen.modeSwitch());
        QVERIFY(!screen.app.auth.errorMessage() && !screen.shows("errorRow"));
        QCOMPARE(screen.modeSwitch()->text(), u"Already have an account? **Sign In**"_s);
        QCOMPARE(child<QLabel>(&screen.view, "subtitleText")->text(), u"Create your account"_s);
        QVERIFY(screen.shows("confirmPasswordField") && !screen.shows("forgotPasswordButton"));
        enter(screen.confirmation(), u"abcdefgh"_s);

        click(screen.modeSwitch());
        QCOMPARE(child<QLabel>(&screen.view, "subtitleText")->text(), u"Welcome back"_s);
        click(screen.modeSwitch());
        QCOMPARE((QStringList{screen.email()->text(), screen.password()->text(), screen.confirmation()->text()}),
                 (QStringList{u"ada@example.com"_s, u"abcdefgh"_s, QString()}));
        QVERIFY(!screen.mainButton()->isEnabled());

        OpenedUrls opened;
        click(child(&screen.view, "termsButton"));
        click(child(&screen.view, "privacyButton"));
        QCOMPARE(opened.urls, (QList<QUrl>{Website::termsOfService(), Website::privacyPolicy()}));
    }

    // Neither the disabled button nor Return sends a form that is not valid.
    void returnAndButtonFollowTheForm()
    {
        Screen screen;
        screen.server.on("POST", u"/auth/login"_s, StubServer::Response::empty(401));
        screen.server.on("POST", u"/auth/register"_s, StubServer::Response::empty(500));
        screen.view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&screen.view));

        screen.email()->setFocus();
        QTest::keyClicks(screen.email(), u"ada@example.com"_s);
        QTest::keyClick(screen.email(), Qt::Key_Return);
        QCOMPARE(screen.view.focusedField(), LoginField::password);
        QTest::keyClicks(screen.password(), u"abcdefg"_s);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QVERIFY(!screen.mainButton()->isEnabled());
        click(screen.mainButton());
        QTest::qWait(50);
        QCOMPARE(screen.server.requests().size(), 0); // 7 characters
        QTest::keyClicks(screen.password(), u"h"_s);
        QVERIFY(screen.mainButton()->isEnabled());
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QVERIFY(screen.server.waitForRequests(1));
        QCOMPARE(screen.server.requests().first().path, u"/auth/login"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        // Registering: Return in the password moves to the confirmation.
        click(screen.modeSwitch());
        QCOMPARE(screen.mainButton()->text(), u"Create Account"_s);
        screen.password()->setFocus();
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QCOMPARE(screen.view.focusedField(), LoginField::confirmPassword);
        QTest::keyClicks(screen.confirmation(), u"abcdefg"_s);
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);
        QTest::keyClicks(screen.confirmation(), u"h"_s);
        QTest::keyClick(screen.confirmation(), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(screen.server.waitForRequests(2));
        QCOMPARE(screen.server.requests().last().path, u"/auth/register"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        // Away from the fields Return is the main button's shortcut.
        screen.modeSwitch()->setFocus();
        QTest::keyClick(screen.modeSwitch(), Qt::Key_Return);
        QVERIFY(screen.server.waitForRequests(3));
        QCOMPARE(screen.server.requests().last().path, u"/auth/register"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        QVERIFY(!screen.shows("lengthNote"));
        enter(screen.password(), u"abc"_s);
        QVERIFY(screen.shows("lengthNote"));
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);
        QTest::qWait(50);
        QCOMPARE(screen.server.requests().size(), 3);
    }

    void resetRules()
    {
        const QString eight = u"abcdefgh"_s;
        const struct
        {
            QString code, password, confirmation;
            bool ready, hint;
        } cases[] = {
            {u"123456"_s, eight, eight, true, false},
            {u"12345"_s, eight, eight, false, false},
            {u"1234567"_s, eight, eight, false, false},
            {u"123456"_s, u"abcdefg"_s, u"abcdefg"_s, false, true},
            {u"123456"_s, u"pässwört"_s, u"pässwört"_s, true, false},
            {u"123456"_s, {}, {}, false, false},
            {u"123456"_s, eight, u"abcdefgX"_s, false, false},
        };
        for (const auto &c : cases) {
            const ResetForm form{u"a@"_s, c.code, c.password, c.confirmation};
            QVERIFY2(form.canResetPassword() == c.ready && form.showsLengthHint() == c.hint,
                     qPrintable(c.code + u' ' + c.password + u' ' + c.confirmation));
        }
    }

    // A refused request keeps the step and the fields; an accepted reset
    // closes the sheet only after its success row was shown.
    void resetSheetSteps()
    {
        ResetSheet sheet(u"ada.example.com"_s);
        const QString forgot = u"/auth/forgot-password"_s;
        sheet.server.on("POST", forgot, StubServer::Response::text(500, "down"));
        QCOMPARE(sheet.view->form().email, u"ada.example.com"_s);
        QCOMPARE(sheet.subtitle(), u"Enter your email to receive a reset code"_s);
        FilledButton *send = sheet.button("sendButton");
        QVERIFY(send->isFaint());
        click(send);
        QTest::keyClick(sheet.field("emailField"), Qt::Key_Return);
        QVERIFY(!sheet.view->isLoading());
        QVERIFY(sheet.view->isVisible()); // Return pressed no other button either

        enter(sheet.field("emailField"), u" \tada@example.com  "_s);
        QVERIFY(!send->isFaint());
        click(send);
        QTRY_VERIFY(!sheet.view->isLoading());
        QVERIFY(sheet.view->errorMessage().value_or(QString()).startsWith(u"Failed to send reset code: "_s));
        QCOMPARE(child<MessageRow>(sheet.view, "errorRow")->message(), *sheet.view->errorMessage());
        QVERIFY(sheet.shows("errorRow"));
        QCOMPARE(sheet.view->step(), ResetStep::requestCode);
        QCOMPARE(sheet.field("emailField")->text(), u" \tada@example.com  "_s);

        sheet.server.on("POST", forgot, StubServer::Response::json(200, codeSent).after(300ms));
        QTest::keyClick(sheet.field("emailField"), Qt::Key_Return);
        QVERIFY(send->isBusy() && !send->isEnabled());
        click(send);
        QTest::keyClick(sheet.field("emailField"), Qt::Key_Return);
        QTRY_COMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        const auto codeRequests = sheet.server.requests("POST", forgot);
        QCOMPARE(codeRequests.size(), 2);
        QCOMPARE(codeRequests.last().json(), (QJsonObject{{u"email"_s, u"ada@example.com"_s}}));
        QVERIFY(codeRequests.last().header("Authorization").isEmpty());
        QCOMPARE(sheet.view->successMessage(), u"Reset code sent to ada@example.com"_s);
        QCOMPARE(sheet.subtitle(), u"Enter the code and your new password"_s);
        QVERIFY(sheet.shows("successRow") && sheet.shows("codeField"));
        QVERIFY(!sheet.shows("errorRow") && !sheet.shows("emailField"));
        saveGrab(sheet.view, u"forgot-enter-new-password"_s, true);

        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(400, "{\"error\":\"no\"}"));
        sheet.fill(u"123456"_s, u"abcdefg"_s, u"abcdefg"_s);
        QVERIFY(sheet.shows("lengthHint") && sheet.button("resetButton")->isFaint());
        click(sheet.button("resetButton"));
        QTest::keyClick(sheet.field("confirmPasswordField"), Qt::Key_Return);
        QTest::qWait(50);
        QVERIFY(sheet.resets().isEmpty());
        QVERIFY(!sheet.view->errorMessage()); // an inert button says nothing

        sheet.fill(u"123456"_s, u"new password"_s, u"new password"_s);
        QVERIFY(!sheet.shows("lengthHint") && !sheet.button("resetButton")->isFaint());
        click(sheet.button("resetButton"));
        QTRY_VERIFY(!sheet.view->isLoading());
        QVERIFY(sheet.view->errorMessage().value_or(QString()).startsWith(u"Reset failed: "_s));
        QVERIFY(sheet.shows("errorRow"));
        QCOMPARE((QStringList{sheet.field("codeField")->text(), sheet.field("newPasswordField")->text(),
                              sheet.field("confirmPasswordField")->text()}),
                 (QStringList{u"123456"_s, u"new password"_s, u"new password"_s}));
        QCOMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        QCOMPARE(sheet.resets().size(), 1);
        QCOMPARE(sheet.resets().first().json(), (QJsonObject{{u"email"_s, u"ada@example.com"_s}, {u"code"_s, u"123456"_s},
                                                            {u"new_password"_s, u"new password"_s}}));

        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(200, "{\"message\":\"done\"}"));
        QTest::keyClick(sheet.field("confirmPasswordField"), Qt::Key_Return);
        QTRY_COMPARE(sheet.view->successMessage(), u"Password reset successful! You can now sign in."_s);
        QElapsedTimer shown;
        shown.start();
        QVERIFY(sheet.shows("successRow") && sheet.button("resetButton")->isBusy());
        QTRY_VERIFY(!sheet.view->isVisible());
        QVERIFY2(shown.elapsed() >= 1400, qPrintable(QString::number(shown.elapsed())));
        QCOMPARE(sheet.view->result(), int(QDialog::Accepted));
        QVERIFY(!sheet.view->isLoading());
    }

    // The answer to a request must not reach a sheet deleted meanwhile.
    void closedWhileRequestRuns()
    {
        ResetSheet sheet(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, codeSent).after(200ms));
        click(sheet.button("sendButton"));
        QVERIFY(sheet.view->isLoading());
        click(child(sheet.view, "cancelButton"));
        QVERIFY(!sheet.view->isVisible());
        delete sheet.view;
        QVERIFY(sheet.server.waitForRequests(1));
        QTest::qWait(400);
    }

    // The first six decimal digits of any script, as typed; filtering is idempotent.
    void filterKeepsTheFirstSixDecimalDigits()
    {
        const std::pair<QString, QString> cases[] = {
            {u"123456"_s, u"123456"_s},
            {u"123-456 7"_s, u"123456"_s},
            {u"1a2b3c"_s, u"123"_s},
            {u"abc"_s, QString()},
            {u"١٢٣٤٥٦٧"_s, u"١٢٣٤٥٦"_s}, // Arabic-Indic
            {u"１２3"_s, u"１２3"_s}, // fullwidth
            {u"\U0001D7CF2"_s, u"\U0001D7CF2"_s}, // a digit outside the BMP
            {u"½²①Ⅻ7"_s, u"7"_s}, // numeric, but no decimal digits
        };
        for (const auto &[typed, code] : cases) {
            QCOMPARE(VerificationCode::filtered(typed), code);
            QCOMPARE(VerificationCode::filtered(code), code);
        }
    }

    // Six digits go out at once, a seventh is dropped; after a refusal the
    // button resends and a corrected code goes out by itself. Escape clears
    // the pending address and stops the countdown; Cancel also the error.
    void verificationSheet()
    {
        Log::Capture log;
        Screen screen;
        screen.server.on("POST", u"/auth/verify-email"_s,
                         StubServer::Response::json(400, "{\"error\":\"Invalid or expired code\"}").after(300ms));
        screen.server.on("POST", u"/auth/resend-code"_s, StubServer::Response::json(200, "{\"message\":\"sent\"}"));
        LoginView &login = screen.view;
        QVERIFY(!login.verificationSheet());
        screen.app.auth.setPendingVerificationEmail(address);
        QPointer<EmailVerificationView> sheet = login.verificationSheet();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(child<QLabel>(sheet, "emailText")->text(), address);
        const auto shows = [&sheet](const char *name) { return child(sheet, name)->isVisibleTo(sheet); };
        const auto countdown = [&sheet] { return child<QLabel>(sheet, "resendCountdown")->text(); };

        auto *code = child<QLineEdit>(sheet, "codeField");
        auto *verify = child<FilledButton>(sheet, "verifyButton");
        QTest::keyClicks(code, u"12a3-"_s);
        QCOMPARE(sheet->code(), u"123"_s);
        QTest::keyClicks(code, u"45"_s);
        QVERIFY(!verify->isEnabled() && !sheet->canVerify());
        click(verify);
        QTest::keyClick(code, Qt::Key_Return);
        sheet->verify();
        QTest::qWait(100);
        QCOMPARE(screen.server.requests().size(), 0);

        code->selectAll();
        QGuiApplication::clipboard()->setText(u"123-456 7"_s);
        code->paste();
        QCOMPARE(code->text(), u"123456"_s);
        QVERIFY(verify->isBusy() && !verify->isEnabled());
        click(verify);
        auto *error = child<MessageRow>(sheet, "errorRow");
        QTRY_VERIFY(error->isVisibleTo(sheet));
        QCOMPARE(error->message(), screen.app.auth.errorMessage());
        QTest::keyClicks(code, u"7"_s);
        QCOMPARE(code->text(), u"123456"_s);
        QTest::qWait(50);
        QCOMPARE(screen.server.requests().size(), 1);
        QCOMPARE(screen.server.requests().first().json(), (QJsonObject{{u"email"_s, address}, {u"code"_s, u"123456"_s}}));
        saveGrab(sheet, u"verification-error"_s, true);

        click(verify);
        QVERIFY(screen.server.waitForRequests(2));
        QTRY_VERIFY(!screen.app.auth.isLoading());
        QTest::keyClick(code, Qt::Key_Backspace);
        QTest::keyClicks(code, u"9"_s);
        QVERIFY(screen.server.waitForRequests(3));
        QCOMPARE(screen.server.requests().last().json().value(u"code"_s).toString(), u"123459"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        QVERIFY(!shows("resendCountdown"));
        click(child(sheet, "resendButton"));
        QCOMPARE(countdown(), u"Resend code in 60s"_s);
        QVERIFY(!shows("resendButton"));
        QVERIFY(screen.server.waitForRequests(4));
        QCOMPARE(screen.server.requests().last().json(), (QJsonObject{{u"email"_s, address}}));
        QTRY_COMPARE_WITH_TIMEOUT(countdown(), u"Resend code in 59s"_s, 1500);
        screen.app.auth.setErrorMessage(u"Failed to resend code"_s);
        QTest::keyClick(sheet, Qt::Key_Escape);
        QVERIFY(!sheet->isVisible());
        QVERIFY(!sheet->isResendTimerActive());
        QVERIFY(!screen.app.auth.pendingVerificationEmail());
        QCOMPARE(screen.app.auth.errorMessage(), u"Failed to resend code"_s);
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);

        // The rest of the minute, without waiting for it.
        screen.app.auth.setPendingVerificationEmail(address);
        sheet = login.verificationSheet();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->resendCooldown(), 0);
        click(child(sheet, "resendButton"));
        auto *timer = child<QTimer>(sheet, "resendTimer");
        while (sheet->resendCooldown() > 1)
            QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QCOMPARE(countdown(), u"Resend code in 1s"_s);
        QVERIFY(sheet->isResendTimerActive());
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QVERIFY(!sheet->isResendTimerActive());
        QVERIFY(shows("resendButton") && !shows("resendCountdown"));

        click(child(sheet, "cancelButton"));
        QVERIFY(!screen.app.auth.pendingVerificationEmail());
        QVERIFY(!screen.app.auth.errorMessage());
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);
        QVERIFY(screen.server.waitForRequests(5));
        // Both resends answered: no request may outlive the screen.
        QTRY_COMPARE(log.matching(u"Verification code resent"_s).size(), 2);
    }

    // Create an account, type the mailed code, end signed in with this
    // computer registered.
    void signUpAndVerify()
    {
        QTemporaryDir data;
        DevServerProcess backend(data.path(), DevServerProcess::fastArguments());
        QVERIFY2(backend.start(), qPrintable(backend.errorString()));
        const QString email = u"grace@example.com"_s;
        const QString password = u"first password"_s;
        TempDefaults defaults;
        FakeKeychain keychain;
        AccountServices app(defaults, keychain, backend.url().toString());
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

        enter(child<QLineEdit>(sheet, "codeField"), backend.lastCode(email));
        QTRY_VERIFY_WITH_TIMEOUT(app.auth.authState().isAuthenticated(), 10000);
        QCOMPARE(app.auth.authState().user()->email, email);
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);
        QTRY_VERIFY(!app.auth.isLoading());
        QTRY_COMPARE(app.devices.devices().size(), 1);
        QVERIFY(backend.stop());
    }
};

QTEST_MAIN(TestSignInScreens)
#include "tst_signinscreens.moc"
