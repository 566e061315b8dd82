// The sign-in screen against a stub authentication service: the form's rules,
// what it sends, the busy button, the mode switch, Return, the links and the
// password-reset sheet it opens.
#include "AccountScreensSupport.h"
#include "support/AccountServices.h"
#include "support/StubServer.h"
#include "ui/account/LoginView.h"
#include "ui/common/Style.h"
#include "ui/common/Website.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One sign-in screen over fresh account services that talk to a stub server.
struct Screen
{
    Screen()
    {
        view.resize(520, 620);
        view.show();
    }
    // A request still running would outlive the services it belongs to.
    ~Screen() { (void)QTest::qWaitFor([this] { return !app.auth.isLoading(); }, 5000); }

    QLineEdit *field(const char *name) const { return view.findChild<QLineEdit *>(QLatin1StringView(name)); }
    QLineEdit *email() const { return field("emailField"); }
    QLineEdit *password() const { return field("passwordField"); }
    QLineEdit *confirmation() const { return field("confirmPasswordField"); }
    FilledButton *mainButton() const { return view.findChild<FilledButton *>(u"mainButton"_s); }
    QLabel *modeSwitch() const { return view.findChild<QLabel *>(u"modeSwitch"_s); }
    QLabel *lengthNote() const { return view.findChild<QLabel *>(u"lengthNote"_s); }
    MessageRow *errorRow() const { return view.findChild<MessageRow *>(u"errorRow"_s); }
    bool shows(QWidget *widget) const { return widget->isVisibleTo(&view); }

    void click(QWidget *widget) const { QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center()); }

    TempDefaults defaults;
    FakeKeychain keychain;
    StubServer server;
    AccountServices app{defaults, keychain, server.baseUrl()};
    LoginView view{app.auth, app.api};
};

// Text as it would arrive from the keyboard or an input method (non-ASCII,
// characters outside the Basic Multilingual Plane).
void enter(QLineEdit *edit, const QString &text)
{
    edit->setFocus();
    edit->insert(text);
}

} // namespace

class TestLoginView : public QObject
{
    Q_OBJECT

private slots:
    void mainButtonFollowsTheForm_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<bool>("enabled");

        const QString eight = u"abcdefgh"_s;
        QTest::newRow("name@ and 8 characters") << false << u"name@"_s << eight << QString() << true;
        QTest::newRow("7 characters") << false << u"name@"_s << u"abcdefg"_s << QString() << false;
        QTest::newRow("no @") << false << u"name.example.com"_s << eight << QString() << false;
        QTest::newRow("@ inside blanks") << false << u"  ada@example.com\t"_s << eight << QString() << true;
        // Characters, not UTF-8 bytes, UTF-16 units or code points: 7 emoji
        // take 28 bytes and 14 units, 7 decomposed "ä" take 14 code points.
        QTest::newRow("7 emoji") << false << u"name@"_s << u"🔒"_s.repeated(7) << QString() << false;
        QTest::newRow("8 emoji") << false << u"name@"_s << u"🔒"_s.repeated(8) << QString() << true;
        QTest::newRow("7 decomposed characters") << false << u"name@"_s << u"a\u0308"_s.repeated(7) << QString() << false;
        QTest::newRow("registration, same confirmation") << true << u"name@"_s << eight << eight << true;
        QTest::newRow("registration, last character differs") << true << u"name@"_s << eight << u"abcdefgX"_s << false;
        QTest::newRow("registration, one character more") << true << u"name@"_s << eight << u"abcdefghi"_s << false;
        QTest::newRow("registration, no confirmation") << true << u"name@"_s << eight << QString() << false;
    }

    void mainButtonFollowsTheForm()
    {
        QFETCH(bool, registering);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(bool, enabled);

        Screen screen;
        screen.server.on("POST", u"/auth/login"_s, StubServer::Response::empty(401));
        screen.server.on("POST", u"/auth/register"_s, StubServer::Response::empty(401));
        QVERIFY(!screen.mainButton()->isEnabled());
        if (registering)
            screen.click(screen.modeSwitch());
        QCOMPARE(screen.view.isRegistering(), registering);
        QCOMPARE(screen.mainButton()->text(), registering ? u"Create Account"_s : u"Sign In"_s);
        enter(screen.email(), email);
        enter(screen.password(), password);
        if (registering)
            enter(screen.confirmation(), confirmation);
        QCOMPARE(screen.mainButton()->isEnabled(), enabled);

        // A press of a disabled button, or Return, sends nothing.
        screen.click(screen.mainButton());
        QTest::keyClick(registering ? screen.confirmation() : screen.password(), Qt::Key_Return);
        QTRY_VERIFY(!screen.app.auth.isLoading());
        QTest::qWait(50);
        QCOMPARE(screen.server.requests().size(), enabled ? 1 : 0);
    }

    void lengthNoteOnlyWhenRegisteringAShortPassword_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("note");

        QTest::newRow("sign-in, 3 characters") << false << u"abc"_s << false;
        QTest::newRow("registration, empty") << true << QString() << false;
        QTest::newRow("registration, 1 character") << true << u"a"_s << true;
        QTest::newRow("registration, 7 characters") << true << u"abcdefg"_s << true;
        QTest::newRow("registration, 7 emoji") << true << u"🔒"_s.repeated(7) << true;
        QTest::newRow("registration, 8 characters") << true << u"abcdefgh"_s << false;
    }

    void lengthNoteOnlyWhenRegisteringAShortPassword()
    {
        QFETCH(bool, registering);
        QFETCH(QString, password);
        QFETCH(bool, note);

        Screen screen;
        if (registering)
            screen.click(screen.modeSwitch());
        enter(screen.password(), password);
        QCOMPARE(screen.shows(screen.lengthNote()), note);
        QCOMPARE(screen.lengthNote()->text(), u"Password must be at least 8 characters"_s);
    }

    // The address goes out without its surrounding blanks, the password as
    // typed; while the request runs the button spins and takes no second press.
    void sendsTrimmedAddressAndShowsProgress_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("shown");

        QTest::newRow("sign-in") << false << u"/auth/login"_s << u"Invalid email or password"_s;
        QTest::newRow("registration") << true << u"/auth/register"_s << u"An account with this email already exists"_s;
    }

    void sendsTrimmedAddressAndShowsProgress()
    {
        QFETCH(bool, registering);
        QFETCH(QString, path);
        QFETCH(QString, shown);

        Screen screen;
        screen.server.on("POST", u"/auth/login"_s, StubServer::Response::empty(401).after(400ms));
        screen.server.on("POST", u"/auth/register"_s, StubServer::Response::text(409, "taken").after(400ms));
        if (registering)
            screen.click(screen.modeSwitch());
        enter(screen.email(), u" \t ada@example.com  \t"_s);
        enter(screen.password(), u" pass word "_s);
        if (registering)
            enter(screen.confirmation(), u" pass word "_s);
        FilledButton *button = screen.mainButton();
        screen.click(button);

        QVERIFY(screen.app.auth.isLoading());
        QVERIFY(button->isBusy());
        QVERIFY(!button->isEnabled());
        saveGrab(&screen.view, registering ? u"login-registration-loading"_s : u"login-signin-loading"_s, true);
        screen.click(button);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QTest::keyClick(screen.confirmation(), Qt::Key_Return);

        QTRY_VERIFY(screen.shows(screen.errorRow()));
        QCOMPARE(screen.errorRow()->message(), shown);
        QVERIFY(!button->isBusy());
        QVERIFY(button->isEnabled());
        const auto sent = screen.server.requests("POST", path);
        QCOMPARE(screen.server.requests().size(), 1);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().json().value(u"email"_s).toString(), u"ada@example.com"_s);
        QCOMPARE(sent.first().json().value(u"password"_s).toString(), u" pass word "_s);
        saveGrab(&screen.view, registering ? u"login-registration-error"_s : u"login-signin-error"_s, true);

        // The error row's button dismisses the message.
        screen.click(screen.errorRow()->findChild<QPushButton *>(u"dismissButton"_s));
        QVERIFY(!screen.app.auth.errorMessage());
        QVERIFY(!screen.shows(screen.errorRow()));
    }

    void switchingModesEmptiesOnlyTheConfirmation()
    {
        Screen screen;
        enter(screen.email(), u"ada@example.com"_s);
        enter(screen.password(), u"abcdefgh"_s);
        screen.app.auth.setErrorMessage(u"Invalid email or password"_s);
        QVERIFY(screen.shows(screen.errorRow()));
        QCOMPARE(screen.modeSwitch()->textFormat(), Qt::MarkdownText);
        QCOMPARE(screen.modeSwitch()->text(), u"Don't have an account? **Sign Up**"_s);
        QVERIFY(!screen.shows(screen.confirmation()));
        QVERIFY(screen.shows(screen.view.findChild<QWidget *>(u"forgotPasswordButton"_s)));

        screen.click(screen.modeSwitch());
        QVERIFY(screen.view.isRegistering());
        QVERIFY(!screen.app.auth.errorMessage());
        QVERIFY(!screen.shows(screen.errorRow()));
        QCOMPARE(screen.modeSwitch()->text(), u"Already have an account? **Sign In**"_s);
        QCOMPARE(screen.view.findChild<QLabel *>(u"subtitleText"_s)->text(), u"Create your account"_s);
        QVERIFY(screen.shows(screen.confirmation()));
        QVERIFY(!screen.shows(screen.view.findChild<QWidget *>(u"forgotPasswordButton"_s)));
        enter(screen.confirmation(), u"abcdefgh"_s);
        QVERIFY(screen.mainButton()->isEnabled());
        saveGrab(&screen.view, u"login-registration-filled"_s, true);

        screen.click(screen.modeSwitch());
        QVERIFY(!screen.view.isRegistering());
        QCOMPARE(screen.view.findChild<QLabel *>(u"subtitleText"_s)->text(), u"Welcome back"_s);
        screen.click(screen.modeSwitch());
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
        QTest::keyClicks(screen.password(), u"abcdefg"_s);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QCOMPARE(screen.server.requests().size(), 0); // 7 characters
        QTest::keyClicks(screen.password(), u"h"_s);
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QVERIFY(screen.server.waitForRequests(1));
        QCOMPARE(screen.server.requests().first().path, u"/auth/login"_s);
        QTRY_VERIFY(!screen.app.auth.isLoading());

        // Registering: Return in the password goes on to the confirmation,
        // Return there creates the account.
        screen.click(screen.modeSwitch());
        screen.password()->setFocus();
        QTest::keyClick(screen.password(), Qt::Key_Return);
        QCOMPARE(screen.view.focusedField(), LoginField::confirmPassword);
        QTest::keyClicks(screen.confirmation(), u"abcdefgh"_s);
        QTest::keyClick(screen.confirmation(), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(screen.server.waitForRequests(2));
        QCOMPARE(screen.server.requests().last().path, u"/auth/register"_s);
        QTRY_COMPARE(screen.errorRow()->message(), u"Registration failed (500)"_s);

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
        screen.click(screen.view.findChild<QWidget *>(u"termsButton"_s));
        screen.click(screen.view.findChild<QWidget *>(u"privacyButton"_s));
        QCOMPARE(opened.urls, (QList<QUrl>{Website::termsOfService(), Website::privacyPolicy()}));
        QCOMPARE(Website::termsOfService().toString(), Website::base() + u"/terms"_s);
    }

    void grabs()
    {
        Screen screen;
        saveGrab(&screen.view, u"login-signin-empty"_s, true);
        screen.click(screen.modeSwitch());
        enter(screen.email(), u"ada@example.com"_s);
        enter(screen.password(), u"abc"_s);
        saveGrab(&screen.view, u"login-registration-short-password"_s, true);

        // The screen follows a dark application palette.
        DarkPalette palette;
        Screen dark;
        enter(dark.email(), u"ada@example.com"_s);
        dark.app.auth.setErrorMessage(u"Invalid email or password"_s);
        saveGrab(&dark.view, u"login-signin-dark"_s, true);
    }
};

QTEST_MAIN(TestLoginView)
#include "tst_loginview.moc"
