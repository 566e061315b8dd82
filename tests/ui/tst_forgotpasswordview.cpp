// The password-reset sheet against a stub authentication service: the two
// steps, the faint and inert buttons, what is sent, the errors and the
// delayed close after a successful reset.
#include "AccountScreensSupport.h"
#include "ui/account/ForgotPasswordView.h"
#include "ui/common/Style.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray sent = "{\"message\":\"If the address has an account, we sent it a code.\"}";

struct Sheet : StubAccount
{
    explicit Sheet(const QString &prefill = QString())
        : view(new ForgotPasswordView(app.api, prefill))
    {
        view->show();
    }
    ~Sheet()
    {
        (void)QTest::qWaitFor([this] { return !view || !view->isLoading(); }, 5000);
        delete view;
    }

    QLineEdit *field(const char *name) const { return child<QLineEdit>(view, name); }
    FilledButton *button(const char *name) const { return child<FilledButton>(view, name); }
    bool shows(const char *name) const { return child(view, name)->isVisibleTo(view); }
    QString subtitle() const { return child<QLabel>(view, "subtitleText")->text(); }
    QList<StubServer::Request> resets() const { return server.requests("POST", u"/auth/reset-password"_s); }

    // Through the first step with the stub answering at once.
    void requestCode(const QString &email)
    {
        server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, sent));
        enter(field("emailField"), email);
        QTest::keyClick(field("emailField"), Qt::Key_Return);
        QTRY_COMPARE(view->step(), ResetStep::enterNewPassword);
    }

    void fill(const QString &code, const QString &password, const QString &confirmation)
    {
        enter(field("codeField"), code);
        enter(field("newPasswordField"), password);
        enter(field("confirmPasswordField"), confirmation);
    }

    QPointer<ForgotPasswordView> view;
};

} // namespace

class TestForgotPasswordView : public QObject
{
    Q_OBJECT

private slots:
    // Without "@" the button is faint and neither it nor Return sends; the
    // address goes out trimmed and the sheet moves on to the second step.
    void requestsTheCodeForTheTrimmedAddress()
    {
        Sheet sheet(u"ada.example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, sent).after(300ms));
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
        QVERIFY(send->isBusy());
        QVERIFY(!send->isEnabled());
        click(send);
        QTest::keyClick(sheet.field("emailField"), Qt::Key_Return);

        QTRY_COMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        QCOMPARE(sheet.server.requests().size(), 1);
        QCOMPARE(sheet.server.requests().first().json(), (QJsonObject{{u"email"_s, u"ada@example.com"_s}}));
        QVERIFY(sheet.server.requests().first().header("Authorization").isEmpty());
        QCOMPARE(sheet.view->successMessage(), u"Reset code sent to ada@example.com"_s);
        QVERIFY(sheet.shows("successRow"));
        QVERIFY(!sheet.shows("errorRow"));
        QCOMPARE(sheet.subtitle(), u"Enter the code and your new password"_s);
        QVERIFY(!sheet.shows("emailField"));
        QVERIFY(sheet.shows("codeField"));
        saveGrab(sheet.view, u"forgot-enter-new-password"_s, true);
    }

    void resetRules_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<bool>("hint");

        const QString eight = u"abcdefgh"_s;
        QTest::newRow("6-character code, matching 8") << u"123456"_s << eight << eight << true << false;
        QTest::newRow("5-character code") << u"12345"_s << eight << eight << false << false;
        QTest::newRow("7-character code") << u"1234567"_s << eight << eight << false << false;
        QTest::newRow("7-character password") << u"123456"_s << u"abcdefg"_s << u"abcdefg"_s << false << true;
        QTest::newRow("8 accented characters") << u"123456"_s << u"pässwört"_s << u"pässwört"_s << true << false;
        QTest::newRow("empty password") << u"123456"_s << QString() << QString() << false << false;
        QTest::newRow("mismatch") << u"123456"_s << eight << u"abcdefgX"_s << false << false;
    }
    void resetRules()
    {
        QFETCH(QString, code);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(bool, ready);
        QFETCH(bool, hint);
        const ResetForm form{u"a@"_s, code, password, confirmation};
        QCOMPARE(form.canResetPassword(), ready);
        QCOMPARE(form.showsLengthHint(), hint);
    }

    // A failed request stays on the first step; on the second, an inert
    // button sends nothing and a refused reset keeps the fields.
    void failuresKeepTheSheet()
    {
        Sheet sheet(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::text(500, "down"));
        click(sheet.button("sendButton"));
        QTRY_VERIFY(!sheet.view->isLoading());
        QVERIFY(sheet.view->errorMessage().value_or(QString()).startsWith(u"Failed to send reset code: "_s));
        QCOMPARE(child<MessageRow>(sheet.view, "errorRow")->message(), *sheet.view->errorMessage());
        QVERIFY(sheet.shows("errorRow"));
        QCOMPARE(sheet.view->step(), ResetStep::requestCode);
        QCOMPARE(sheet.field("emailField")->text(), u"ada@example.com"_s);

        sheet.requestCode(u" ada@example.com "_s);
        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(400, "{\"error\":\"no\"}"));
        sheet.fill(u"123456"_s, u"abcdefg"_s, u"abcdefg"_s);
        QVERIFY(sheet.shows("lengthHint"));
        QVERIFY(sheet.button("resetButton")->isFaint());
        click(sheet.button("resetButton"));
        QTest::keyClick(sheet.field("confirmPasswordField"), Qt::Key_Return);
        QTest::qWait(50);
        QVERIFY(sheet.resets().isEmpty());
        QVERIFY(!sheet.view->errorMessage()); // an inert button says nothing

        sheet.fill(u"123456"_s, u"new password"_s, u"new password"_s);
        QVERIFY(!sheet.shows("lengthHint"));
        QVERIFY(!sheet.button("resetButton")->isFaint());
        click(sheet.button("resetButton"));
        QTRY_VERIFY(!sheet.view->isLoading());
        QVERIFY(sheet.view->errorMessage().value_or(QString()).startsWith(u"Reset failed: "_s));
        QVERIFY(sheet.shows("errorRow"));
        QCOMPARE(sheet.field("codeField")->text(), u"123456"_s);
        QCOMPARE(sheet.field("newPasswordField")->text(), u"new password"_s);
        QCOMPARE(sheet.field("confirmPasswordField")->text(), u"new password"_s);
        QCOMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        QCOMPARE(sheet.resets().size(), 1);
        QCOMPARE(sheet.resets().first().json(), (QJsonObject{{u"email"_s, u"ada@example.com"_s}, {u"code"_s, u"123456"_s},
                                                            {u"new_password"_s, u"new password"_s}}));
    }

    void successfulResetClosesAfterTheSuccessRowWasShown()
    {
        Sheet sheet;
        sheet.requestCode(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(200, "{\"message\":\"done\"}"));
        sheet.fill(u"654321"_s, u"new password"_s, u"new password"_s);
        QTest::keyClick(sheet.field("confirmPasswordField"), Qt::Key_Return);

        QTRY_COMPARE(sheet.view->successMessage(), u"Password reset successful! You can now sign in."_s);
        QElapsedTimer shown;
        shown.start();
        QVERIFY(sheet.shows("successRow"));
        QVERIFY(sheet.button("resetButton")->isBusy());
        QTest::qWait(1000);
        QVERIFY(sheet.view->isVisible());
        QTRY_VERIFY(!sheet.view->isVisible());
        QVERIFY2(shown.elapsed() >= 1400, qPrintable(QString::number(shown.elapsed())));
        QCOMPARE(sheet.view->result(), int(QDialog::Accepted));
        QVERIFY(!sheet.view->isLoading());
    }

    // The sheet closed and gone while its request runs: the answer finds no sheet.
    void closedWhileRequestRuns()
    {
        Sheet sheet(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, sent).after(200ms));
        click(sheet.button("sendButton"));
        QVERIFY(sheet.view->isLoading());
        click(child(sheet.view, "cancelButton"));
        QVERIFY(!sheet.view->isVisible());
        delete sheet.view;
        QVERIFY(sheet.server.waitForRequests(1));
        QTest::qWait(400);
    }
};

QTEST_MAIN(TestForgotPasswordView)
#include "tst_forgotpasswordview.moc"
