// The e-mail verification sheet against a stub authentication service: the
// digit filter, the automatic submission, the resend countdown and its timer,
// Cancel, and how the sign-in screen presents and closes the sheet.
#include "AccountScreensSupport.h"
#include "ui/account/EmailVerificationView.h"
#include "ui/account/LoginView.h"
#include "ui/common/Style.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString address = u"ada@example.com"_s;
const QByteArray refused = "{\"error\":\"Invalid or expired code\"}";

// The sheet on its own, as the sign-in screen would show it.
struct Sheet : StubAccount
{
    Sheet() { view.show(); }

    QLineEdit *codeField() const { return child<QLineEdit>(&view, "codeField"); }
    FilledButton *verifyButton() const { return child<FilledButton>(&view, "verifyButton"); }
    QWidget *resendButton() const { return child(&view, "resendButton"); }
    QLabel *countdown() const { return child<QLabel>(&view, "resendCountdown"); }
    MessageRow *errorRow() const { return child<MessageRow>(&view, "errorRow"); }
    QTimer *timer() const { return child<QTimer>(&view, "resendTimer"); }
    bool shows(QWidget *widget) const { return widget->isVisibleTo(&view); }
    QList<StubServer::Request> verifications() const { return server.requests("POST", u"/auth/verify-email"_s); }

    EmailVerificationView view{app.auth, address};
};

} // namespace

class TestEmailVerificationView : public QObject
{
    Q_OBJECT

private slots:
    void filterKeepsTheFirstSixDecimalDigits_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("code");

        QTest::newRow("six digits") << u"123456"_s << u"123456"_s;
        QTest::newRow("dash, space, seventh digit") << u"123-456 7"_s << u"123456"_s;
        QTest::newRow("letters") << u"1a2b3c"_s << u"123"_s;
        QTest::newRow("only letters") << u"abc"_s << QString();
        // Digits of other scripts are decimal digits too; they are kept as typed.
        QTest::newRow("Arabic-Indic digits") << u"١٢٣٤٥٦٧"_s << u"١٢٣٤٥٦"_s;
        QTest::newRow("fullwidth digits") << u"１２3"_s << u"１２3"_s;
        QTest::newRow("digit outside the BMP") << u"\U0001D7CF2"_s << u"\U0001D7CF2"_s;
        // Numeric characters that are no digit of a code.
        QTest::newRow("fractions, superscripts, circled, roman") << u"½²①Ⅻ7"_s << u"7"_s;
    }

    void filterKeepsTheFirstSixDecimalDigits()
    {
        QFETCH(QString, typed);
        QFETCH(QString, code);
        QCOMPARE(VerificationCode::filtered(typed), code);
        QCOMPARE(VerificationCode::filtered(code), code);
    }

    // Typed characters go through the filter; six digits go out at once, a
    // seventh is dropped and sends nothing; a refused code stays for
    // correction, and the corrected code goes out again by itself.
    void typingSubmitsOnceAtSixDigits()
    {
        Sheet sheet;
        sheet.server.on("POST", u"/auth/verify-email"_s, StubServer::Response::json(400, refused));
        QVERIFY(!sheet.shows(sheet.errorRow()));
        QTest::keyClicks(sheet.codeField(), u"12a3-"_s);
        QCOMPARE(sheet.view.code(), u"123"_s);
        QTest::keyClicks(sheet.codeField(), u"45"_s);
        // Five digits: the button, Return and verify() send nothing.
        QVERIFY(!sheet.verifyButton()->isEnabled());
        QVERIFY(!sheet.view.canVerify());
        click(sheet.verifyButton());
        QTest::keyClick(sheet.codeField(), Qt::Key_Return);
        sheet.view.verify();
        QTest::qWait(100);
        QCOMPARE(sheet.server.requests().size(), 0);
        QTest::keyClicks(sheet.codeField(), u"6"_s);
        QVERIFY(sheet.server.waitForRequests(1));
        QTest::keyClicks(sheet.codeField(), u"7"_s);
        QCOMPARE(sheet.codeField()->text(), u"123456"_s);

        QTRY_VERIFY(sheet.shows(sheet.errorRow()));
        QCOMPARE(sheet.errorRow()->message(), sheet.app.auth.errorMessage());
        QCOMPARE(sheet.verifications().size(), 1);
        QCOMPARE(sheet.verifications().first().json(),
                 (QJsonObject{{u"email"_s, address}, {u"code"_s, u"123456"_s}}));
        saveGrab(&sheet.view, u"verification-error"_s, true);

        QTest::keyClick(sheet.codeField(), Qt::Key_Backspace);
        QTest::keyClicks(sheet.codeField(), u"9"_s);
        QVERIFY(sheet.server.waitForRequests(2));
        QCOMPARE(sheet.verifications().last().json().value(u"code"_s).toString(), u"123459"_s);
    }

    void pastingSubmitsOnce()
    {
        Sheet sheet;
        sheet.server.on("POST", u"/auth/verify-email"_s, StubServer::Response::json(400, refused).after(300ms));
        QGuiApplication::clipboard()->setText(u"123-456 7"_s);
        sheet.codeField()->setFocus();
        sheet.codeField()->paste();
        QCOMPARE(sheet.codeField()->text(), u"123456"_s);

        // While the code is checked the button spins and cannot be pressed.
        QVERIFY(sheet.app.auth.isLoading());
        QVERIFY(sheet.verifyButton()->isBusy());
        QVERIFY(!sheet.verifyButton()->isEnabled());
        click(sheet.verifyButton());
        QTRY_VERIFY(!sheet.app.auth.isLoading());
        QTest::qWait(50);
        QCOMPARE(sheet.verifications().size(), 1);
        QCOMPARE(sheet.verifications().first().json().value(u"code"_s).toString(), u"123456"_s);

        // The button sends the same code again after a refusal.
        QVERIFY(sheet.verifyButton()->isEnabled());
        click(sheet.verifyButton());
        QVERIFY(sheet.server.waitForRequests(2));
    }

    void resendCountsDownFromSixty()
    {
        Sheet sheet;
        sheet.server.on("POST", u"/auth/resend-code"_s, StubServer::Response::json(200, "{\"message\":\"sent\"}"));
        QVERIFY(sheet.shows(sheet.resendButton()));
        QVERIFY(!sheet.shows(sheet.countdown()));
        QVERIFY(!sheet.view.isResendTimerActive());

        click(sheet.resendButton());
        QCOMPARE(sheet.countdown()->text(), u"Resend code in 60s"_s);
        QVERIFY(sheet.shows(sheet.countdown()));
        QVERIFY(!sheet.shows(sheet.resendButton()));
        QVERIFY(sheet.server.waitForRequests(1));
        QCOMPARE(sheet.server.requests("POST", u"/auth/resend-code"_s).first().json(), (QJsonObject{{u"email"_s, address}}));

        // One real second, then the rest of the minute without waiting for it.
        QTRY_COMPARE_WITH_TIMEOUT(sheet.countdown()->text(), u"Resend code in 59s"_s, 1500);
        while (sheet.view.resendCooldown() > 1)
            QVERIFY(QMetaObject::invokeMethod(sheet.timer(), "timeout"));
        QCOMPARE(sheet.countdown()->text(), u"Resend code in 1s"_s);
        QVERIFY(sheet.view.isResendTimerActive());
        QVERIFY(QMetaObject::invokeMethod(sheet.timer(), "timeout"));
        QCOMPARE(sheet.view.resendCooldown(), 0);
        QVERIFY(!sheet.view.isResendTimerActive());
        QVERIFY(sheet.shows(sheet.resendButton()));
        QVERIFY(!sheet.shows(sheet.countdown()));
    }

    // The sign-in screen shows the sheet while an address is pending; closing
    // the sheet (Escape) clears the address and stops the countdown; Cancel
    // also clears the error.
    void presentedWhilePendingAndClosing()
    {
        StubAccount services;
        services.server.on("POST", u"/auth/resend-code"_s, StubServer::Response::json(200, "{\"message\":\"sent\"}"));
        LoginView login(services.app.auth, services.app.api);
        login.resize(520, 620);
        login.show();
        QVERIFY(!login.verificationSheet());

        services.app.auth.setPendingVerificationEmail(address);
        QPointer<EmailVerificationView> sheet = login.verificationSheet();
        QVERIFY(sheet);
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(child<QLabel>(sheet, "emailText")->text(), address);

        click(child(sheet, "resendButton"));
        QVERIFY(sheet->isResendTimerActive());
        services.app.auth.setErrorMessage(u"Failed to resend code"_s);
        QTest::keyClick(sheet, Qt::Key_Escape);
        QVERIFY(!sheet->isVisible());
        QVERIFY(!sheet->isResendTimerActive());
        QVERIFY(!services.app.auth.pendingVerificationEmail());
        QCOMPARE(services.app.auth.errorMessage(), u"Failed to resend code"_s);
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);

        // A new registration brings it back; Cancel clears address and error.
        services.app.auth.setPendingVerificationEmail(address);
        sheet = login.verificationSheet();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->resendCooldown(), 0);
        click(child(sheet, "cancelButton"));
        QVERIFY(!services.app.auth.pendingVerificationEmail());
        QVERIFY(!services.app.auth.errorMessage());
        QVERIFY(!login.verificationSheet());
        QTRY_VERIFY(!sheet);
        QVERIFY(services.server.waitForRequests(1));
    }
};

QTEST_MAIN(TestEmailVerificationView)
#include "tst_emailverificationview.moc"
