// The password-reset sheet against a stub authentication service: the two
// steps, the faint and inert buttons, what is sent, the error texts and the
// delayed close after a successful reset.
#include "backend/APIError.h"
#include "support/AccountServices.h"
#include "support/StubServer.h"
#include "ui/account/ForgotPasswordView.h"
#include "ui/common/Style.h"
#include "AccountScreensSupport.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray sent = "{\"message\":\"If the address has an account, we sent it a code.\"}";

struct Sheet
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

    QLineEdit *field(const char *name) const { return view->findChild<QLineEdit *>(QLatin1StringView(name)); }
    FilledButton *button(const char *name) const { return view->findChild<FilledButton *>(QLatin1StringView(name)); }
    MessageRow *row(const char *name) const { return view->findChild<MessageRow *>(QLatin1StringView(name)); }
    bool shows(QWidget *widget) const { return widget->isVisibleTo(view); }
    QString subtitle() const { return view->findChild<QLabel *>(u"subtitleText"_s)->text(); }

    // Through the first step with the stub answering at once.
    void requestCode(const QString &email)
    {
        server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, sent));
        field("emailField")->setText(email);
        QTest::keyClick(field("emailField"), Qt::Key_Return);
        QTRY_COMPARE(view->step(), ResetStep::enterNewPassword);
    }

    void fill(const QString &code, const QString &password, const QString &confirmation)
    {
        for (auto [name, text] : {std::pair{"codeField", code}, {"newPasswordField", password},
                                  {"confirmPasswordField", confirmation}}) {
            field(name)->clear();
            field(name)->insert(text);
        }
    }

    TempDefaults defaults;
    FakeKeychain keychain;
    StubServer server;
    AccountServices app{defaults, keychain, server.baseUrl()};
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
        saveGrab(sheet.view, u"forgot-request-faint"_s, true);

        sheet.field("emailField")->clear();
        sheet.field("emailField")->insert(u" \tada@example.com  "_s);
        QVERIFY(!send->isFaint());
        click(send);
        QVERIFY(sheet.view->isLoading());
        QVERIFY(send->isBusy());
        QVERIFY(!send->isEnabled());
        saveGrab(sheet.view, u"forgot-request-loading"_s, true);
        click(send);
        QTest::keyClick(sheet.field("emailField"), Qt::Key_Return);

        QTRY_COMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        QCOMPARE(sheet.server.requests().size(), 1);
        QCOMPARE(sheet.server.requests().first().path, u"/auth/forgot-password"_s);
        QCOMPARE(sheet.server.requests().first().json(), (QJsonObject{{u"email"_s, u"ada@example.com"_s}}));
        QVERIFY(sheet.server.requests().first().header("Authorization").isEmpty());
        QCOMPARE(sheet.view->successMessage(), u"Reset code sent to ada@example.com"_s);
        QVERIFY(sheet.shows(sheet.row("successRow")));
        QVERIFY(!sheet.shows(sheet.row("errorRow")));
        QCOMPARE(sheet.subtitle(), u"Enter the code and your new password"_s);
        QVERIFY(!sheet.shows(sheet.field("emailField")));
        QVERIFY(sheet.shows(sheet.field("codeField")));
        QVERIFY(sheet.button("resetButton")->isFaint());
        saveGrab(sheet.view, u"forgot-enter-new-password"_s, true);
    }

    void failedRequestStaysOnTheFirstStep()
    {
        Sheet sheet(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::text(500, "down"));
        click(sheet.button("sendButton"));
        QTRY_VERIFY(!sheet.view->isLoading());
        QCOMPARE(sheet.view->errorMessage(), u"Failed to send reset code: HTTP 500: down"_s);
        QCOMPARE(sheet.row("errorRow")->message(), *sheet.view->errorMessage());
        QVERIFY(sheet.shows(sheet.row("errorRow")));
        QCOMPARE(sheet.view->step(), ResetStep::requestCode);
        QCOMPARE(sheet.field("emailField")->text(), u"ada@example.com"_s);
        saveGrab(sheet.view, u"forgot-request-error"_s, true);
    }

    void resetButtonFollowsTheFields_data()
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

    void resetButtonFollowsTheFields()
    {
        QFETCH(QString, code);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(bool, ready);
        QFETCH(bool, hint);

        Sheet sheet;
        sheet.requestCode(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(400, "{\"error\":\"no\"}"));
        sheet.fill(code, password, confirmation);
        QCOMPARE(sheet.view->form().canResetPassword(), ready);
        QCOMPARE(sheet.button("resetButton")->isFaint(), !ready);
        QCOMPARE(sheet.shows(sheet.view->findChild<QLabel *>(u"lengthHint"_s)), hint);

        click(sheet.button("resetButton"));
        QTest::keyClick(sheet.field("confirmPasswordField"), Qt::Key_Return);
        QTRY_VERIFY(!sheet.view->isLoading());
        QTest::qWait(50);
        QCOMPARE(sheet.server.requests("POST", u"/auth/reset-password"_s).size(), ready ? 1 : 0);
        // An inert button says nothing.
        if (!ready)
            QVERIFY(!sheet.view->errorMessage());
    }

    void failedResetKeepsTheFields()
    {
        Sheet sheet;
        sheet.requestCode(u" ada@example.com "_s);
        const QByteArray refusal = "{\"error\":\"There is no valid code for this address.\"}";
        sheet.server.on("POST", u"/auth/reset-password"_s, StubServer::Response::json(400, refusal));
        sheet.fill(u"123456"_s, u"new password"_s, u"new password"_s);
        click(sheet.button("resetButton"));
        QTRY_VERIFY(!sheet.view->isLoading());

        const QString expected = u"Reset failed: "_s + APIError::httpError(400, QString::fromUtf8(refusal)).description();
        QCOMPARE(sheet.row("errorRow")->message(), expected);
        QVERIFY(sheet.shows(sheet.row("errorRow")));
        QCOMPARE(sheet.field("codeField")->text(), u"123456"_s);
        QCOMPARE(sheet.field("newPasswordField")->text(), u"new password"_s);
        QCOMPARE(sheet.field("confirmPasswordField")->text(), u"new password"_s);
        QVERIFY(sheet.view->isVisible());
        QCOMPARE(sheet.view->step(), ResetStep::enterNewPassword);
        const auto body = sheet.server.requests("POST", u"/auth/reset-password"_s).first().json();
        QCOMPARE(body, (QJsonObject{{u"email"_s, u"ada@example.com"_s}, {u"code"_s, u"123456"_s},
                                    {u"new_password"_s, u"new password"_s}}));
        saveGrab(sheet.view, u"forgot-reset-error"_s, true);
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
        QVERIFY(sheet.shows(sheet.row("successRow")));
        QVERIFY(sheet.view->isVisible());
        QVERIFY(sheet.button("resetButton")->isBusy());
        saveGrab(sheet.view, u"forgot-reset-success"_s, true);
        QTest::qWait(1000);
        QVERIFY(sheet.view->isVisible());
        QTRY_VERIFY(!sheet.view->isVisible());
        QVERIFY2(shown.elapsed() >= 1400, qPrintable(QString::number(shown.elapsed())));
        QCOMPARE(sheet.view->result(), int(QDialog::Accepted));
        QVERIFY(!sheet.view->isLoading());
        QCOMPARE(sheet.server.requests().size(), 2);
    }

    // The sheet closed and gone while its request runs: the answer finds no sheet.
    void closedWhileRequestRuns()
    {
        Sheet sheet(u"ada@example.com"_s);
        sheet.server.on("POST", u"/auth/forgot-password"_s, StubServer::Response::json(200, sent).after(200ms));
        click(sheet.button("sendButton"));
        QVERIFY(sheet.view->isLoading());
        click(sheet.view->findChild<QWidget *>(u"cancelButton"_s));
        QVERIFY(!sheet.view->isVisible());
        delete sheet.view;
        QVERIFY(sheet.server.waitForRequests(1));
        QTest::qWait(400);
    }
};

QTEST_MAIN(TestForgotPasswordView)
#include "tst_forgotpasswordview.moc"
