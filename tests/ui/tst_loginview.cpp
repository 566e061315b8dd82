// The sign-in screen against a stub authentication service: the form's rules,
// what it sends, the busy button, the mode switch, Return and the links.
#include "AccountScreensSupport.h"
#include "ui/account/LoginView.h"
#include "ui/common/Style.h"
#include "ui/common/Website.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One sign-in screen over fresh account services that talk to a stub server.
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

} // namespace

class TestLoginView : public QObject
{
    Q_OBJECT

private slots:
    void formRules_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("lengthNote");

        const QString eight = u"abcdefgh"_s;
        QTest::newRow("name@ and 8 characters") << false << u"name@"_s << eight << QString() << true << false;
        QTest::newRow("7 characters") << false << u"name@"_s << u"abcdefg"_s << QString() << false << false;
        QTest::newRow("no @") << false << u"name.example.com"_s << eight << QString() << false << false;
        QTest::newRow("@ inside blanks") << false << u"  ada@example.com\t"_s << eight << QString() << true << false;
        // Characters, not UTF-8 bytes, UTF-16 units or code points: 7 emoji
        // take 28 bytes and 14 units, 7 decomposed "ä" take 14 code points.
        QTest::newRow("7 emoji") << false << u"name@"_s << u"🔒"_s.repeated(7) << QString() << false << false;
        QTest::newRow("8 emoji") << false << u"name@"_s << u"🔒"_s.repeated(8) << QString() << true << false;
        QTest::newRow("7 decomposed") << false << u"name@"_s << u"a\u0308"_s.repeated(7) << QString() << false << false;
        QTest::newRow("registration, same") << true << u"name@"_s << eight << eight << true << false;
        QTest::newRow("registration, last differs") << true << u"name@"_s << eight << u"abcdefgX"_s << false << false;
        QTest::newRow("registration, one more") << true << u"name@"_s << eight << u"abcdefghi"_s << false << false;
        QTest::newRow("registration, none") << true << u"name@"_s << eight << QString() << false << false;
        QTest::newRow("registration, empty") << true << u"a@"_s << QString() << QString() << false << false;
        QTest::newRow("registration, 1 character") << true << u"a@"_s << u"a"_s << u"a"_s << false << true;
        QTest::newRow("registration, 7 emoji") << true << u"a@"_s << u"🔒"_s.repeated(7) << QString() << false << true;
    }
    void formRules()
    {
        QFETCH(bool, registering);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(bool, valid);
        QFETCH(bool, lengthNote);
        const LoginForm form{email, password, confirmation, registering};
        QCOMPARE(form.isFormValid(), valid);
        QCOMPARE(form.showsLengthNote(), lengthNote);
    }

    // The button and the note follow the fields; a press of a disabled
    // button, or Return, sends nothing.
    void screenFollowsTheForm()
    {
        Screen screen;
        screen.server.on("POST", u"/auth/register"_s, StubServer::Response::empty(401));
        click(screen.modeSwitch());
        QCOMPARE(screen.mainButton()->text(), u"Create Account"_s);
        enter(screen.email(), u"ada@example.com"_s);
        enter(screen.password(), u"abcdefg"_s);
        QVERIFY(screen.shows("lengthNote"));
        QVERIFY(!screen.mainButton()->isEnabled());
        click(screen.mainButton());
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);
        QTest::qWait(50);
        QCOMPARE(screen.server.requests().size(), 0);

        enter(screen.password(), u"abcdefgh"_s);
        enter(screen.confirmation(), u"abcdefgh"_s);
        QVERIFY(!screen.shows("lengthNote"));
        QVERIFY(screen.mainButton()->isEnabled());
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);
        QVERIFY(screen.server.waitForRequests(1));
    }

    // The address goes out without its surrounding blanks, the password as
    // typed; while the request runs the button spins and takes no second
    // press; the service's error shows until dismissed.
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

        QVERIFY(button->isBusy());
        QVERIFY(!button->isEnabled());
        saveGrab(&screen.view, u"login-loading"_s, true);
        click(button);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);

        QTRY_VERIFY(screen.shows("errorRow"));
        QCOMPARE(screen.errorRow()->message(), screen.app.auth.errorMessage());
        QVERIFY(!button->isBusy());
        QVERIFY(button->isEnabled());
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
        QVERIFY(screen.shows("forgotPasswordButton"));

        click(screen.modeSwitch());
        QVERIFY(screen.view.isRegistering());
        QVERIFY(!screen.app.auth.errorMessage());
        QVERIFY(!screen.shows("errorRow"));
        QCOMPARE(screen.modeSwitch()->text(), u"Already have an account? **Sign In**"_s);
        QCOMPARE(child<QLabel>(&screen.view, "subtitleText")->text(), u"Create your account"_s);
        QVERIFY(screen.shows("confirmPasswordField"));
        QVERIFY(!screen.shows("forgotPasswordButton"));
        enter(screen.confirmation(), u"abcdefgh"_s);

        click(screen.modeSwitch());
        QCOMPARE(child<QLabel>(&screen.view, "subtitleText")->text(), u"Welcome back"_s);
        click(screen.modeSwitch());
        QCOMPARE(screen.confirmation()->text(), QString());
        QCOMPARE(screen.email()->text(), u"ada@example.com"_s);
        QCOMPARE(screen.password()->text(), u"abcdefgh"_s);
        QVERIFY(!screen.mainButton()->isEnabled());
    }

    void returnMovesThroughTheFieldsAndSubmits()
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
        QTest::keyClicks(screen.password(), u"abcdefgh"_s);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QVERIFY(screen.server.waitForRequests(1));
        QCOMPARE(screen.server.requests().first().path, u"/auth/login"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        // Registering: Return in the password goes on to the confirmation,
        // Return (or Enter) there creates the account.
        click(screen.modeSwitch());
        screen.password()->setFocus();
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QCOMPARE(screen.view.focusedField(), LoginField::confirmPassword);
        QTest::keyClicks(screen.confirmation(), u"abcdefgh"_s);
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
    }

    void linksOpenTheWebsitePages()
    {
        OpenedUrls opened;
        Screen screen;
        click(child(&screen.view, "termsButton"));
        click(child(&screen.view, "privacyButton"));
        QCOMPARE(opened.urls, (QList<QUrl>{Website::termsOfService(), Website::privacyPolicy()}));
        QCOMPARE(Website::termsOfService().toString(), Website::base() + u"/terms"_s);
    }
};

QTEST_MAIN(TestLoginView)
#include "tst_loginview.moc"
