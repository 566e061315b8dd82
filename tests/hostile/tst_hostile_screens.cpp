// Every screen against a server whose every text is hostile (markup, 10,000
// characters, a right-to-left override, control characters): no widget obeys its
// markup or keeps its control characters or full length; then a dark palette.
#include "shell/DisplayText.h"
#include "shell/ShellFixture.h"
#include "support/Watchdog.h"
#include "ui/common/Confirmation.h"
#include "ui/AccountScreensSupport.h"
#include "ui/AppScreens.h"
#include "ui/account/LoginView.h"
#include "ui/window/MainWindowView.h"

#include <QLabel>
#include <QLineEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Every hostile value carries this word, so a widget showing one is found.
const QString kMarker = u"Hostile"_s;

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// What is wrong with a widget's text, `value` being the hostile text in play.
QStringList faultsOf(const QString &where, const QString &text, Qt::TextFormat format, const QString &value)
{
    QStringList faults;
    for (const QChar unsafe : {QChar(0), QChar(0x1B), QChar(0x202E), QChar(0x85)})
        if (text.contains(unsafe))
            faults << where + u": holds U+"_s + QString::number(unsafe.unicode(), 16);
    if (text.size() > DisplayText::toolTipLimit + 200)
        faults << where + u": holds "_s + QString::number(text.size()) + u" characters"_s;
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return faults;
    QTextDocument document;
    format == Qt::MarkdownText ? document.setMarkdown(text) : document.setHtml(text);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat() || it.fragment().charFormat().isAnchor())
                faults << where + u": rich text with an image or a link"_s;
    if (text.contains(kMarker) && value.contains(u'<') && !document.toPlainText().contains(u'<'))
        faults << where + u": server text read as markup"_s;
    return faults;
}

QStringList faultsOnScreen(const QString &value)
{
    QStringList faults;
    const QList<QWidget *> widgets = QApplication::allWidgets();
    for (QWidget *widget : widgets) {
        const QString where = QString::fromLatin1(widget->metaObject()->className()) + u' ' + widget->objectName();
        if (auto *label = qobject_cast<QLabel *>(widget))
            faults << faultsOf(where, label->text(), label->textFormat(), value);
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            faults << faultsOf(where + u" (button)"_s, button->text(), Qt::PlainText, value);
        faults << faultsOf(where + u" (tooltip)"_s, widget->toolTip(), Qt::AutoText, value)
               << faultsOf(where + u" (title, name)"_s, widget->windowTitle() + widget->accessibleName(),
                           Qt::PlainText, value);
    }
    return faults;
}

// The shell with the real screens over a server that puts `value` in every text.
struct HostileApp : ShellFixture
{
    explicit HostileApp(const QString &value)
    {
        server.on("GET", u"/auth/me"_s,
                  StubServer::Response::json(200, json({{u"id"_s, u"u-1"_s}, {u"email"_s, value},
                                                        {u"email_verified"_s, true}, {u"display_name"_s, value},
                                                        {u"apple_linked"_s, false},
                                                        {u"created_at"_s, u"2026-01-31T12:00:00Z"_s}})));
        server.on("GET", u"/api/v1/subscriptions/status"_s,
                  StubServer::Response::json(200, json({{u"status"_s, u"active"_s}, {u"plan"_s, value},
                                                        {u"expires_at"_s, u"2099-03-01T00:00:00Z"_s},
                                                        {u"is_trial"_s, false}})));
        server.on("POST", u"/api/v1/devices/register"_s, StubServer::Response::json(403, json({{u"detail"_s, value}})));
        const QJsonObject device{{u"id"_s, 1}, {u"device_id"_s, u"D-1"_s}, {u"nickname"_s, value},
                                 {u"platform"_s, value}, {u"is_active"_s, true}, {u"last_seen_at"_s, QJsonValue()},
                                 {u"created_at"_s, value}, {u"app_version"_s, value}};
        server.on("GET", u"/api/v1/devices"_s,
                  StubServer::Response::json(200, json({{u"devices"_s, QJsonArray{device}}, {u"device_limit"_s, 3},
                                                        {u"active_count"_s, 1}, {u"can_add_more"_s, true}})));
        for (const QString &path : {u"/auth/forgot-password"_s, u"/auth/verify-email"_s})
            server.on("POST", path, StubServer::Response::json(400, json({{u"error"_s, value}})));

        AppViews views = appScreens({account.auth, account.api, account.entitlements, account.devices,
                                     account.center, defaults.standard(), servers, vpn});
        launch(views);
    }

    MainWindowView *mainView() const
    {
        return delegate->mainWindow() ? delegate->mainWindow()->findChild<MainWindowView *>() : nullptr;
    }
    template<typename T>
    T *find(const QString &name) const
    {
        for (QWidget *widget : QApplication::allWidgets())
            if (widget->objectName() == name && widget->isVisible())
                if (auto *found = qobject_cast<T *>(widget))
                    return found;
        return nullptr;
    }
};

} // namespace

// Saves a picture of the window (which lets the screen settle), then checks
// every widget; a fault ends the test function.
#define CHECK(screen, window)                                                                                          \
    do {                                                                                                               \
        QVERIFY(saveGrab(window, u"hostile-"_s + m_row + u'-' + screen));                                              \
        const QStringList faults = faultsOnScreen(value);                                                              \
        QVERIFY2(faults.isEmpty(), qPrintable(screen + u":\n"_s + faults.join(u'\n')));                                \
    } while (false)

class TestHostileScreens : public QObject
{
    Q_OBJECT

    QString m_row;

private slots:
    void everyScreen_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("img") << u"<img src=\"/dev/zero\">"_s + kMarker;
        QTest::newRow("link") << u"<a href=\"https://evil.example\">"_s + kMarker + u"</a> <b>bold</b>"_s;
        QTest::newRow("long") << kMarker + QString(10000, u'W');
        QTest::newRow("rtl") << u"\u202E"_s + kMarker + u"@evil.example\u202C"_s;
        QTest::newRow("nul-esc") << kMarker + u"\0\x1B[2J\x1B]0;title\x07\u0085"_s;
    }

    void everyScreen()
    {
        QFETCH(QString, value);
        m_row = QString::fromLatin1(QTest::currentDataTag());
        HostileApp app(value);
        Watchdog watchdog;
        QVERIFY(app.signIn());
        QVERIFY(app.publish(VPNConnectionState::error(value)));

        QCOMPARE(app.delegate->statusItem()->toolTip().section(u'\n', 0, 0), u"Velorin VPN — Error"_s);
        app.delegate->togglePopover();
        QVERIFY(QTest::qWaitForWindowExposed(app.delegate->popover()));
        CHECK(u"panel"_s, app.delegate->popover());
        app.delegate->popover()->hide();

        app.delegate->openMainWindow();
        QMainWindow *window = app.delegate->mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        CHECK(u"connection"_s, window);
        MainWindowView *main = app.mainView();
        main->setSelectedTab(SidebarTab::Account);
        QTRY_VERIFY(app.find<QLabel>(u"planText"_s));
        CHECK(u"account"_s, window);
        main->setSelectedTab(SidebarTab::Devices);
        QTRY_VERIFY(app.find<QWidget>(u"deviceRow"_s));
        // The registration's refusal carries the server's text to the banner.
        QCoro::Task<> registering = app.account.devices.registerDevice();
        QTRY_VERIFY(app.find<QWidget>(u"errorBanner"_s));
        CHECK(u"devices"_s, window);
        QTest::mouseClick(app.find<QAbstractButton>(u"removeButton"_s), Qt::LeftButton);
        QTRY_VERIFY(app.find<QMessageBox>(u"removeDeviceConfirmation"_s));
        CHECK(u"remove"_s, app.find<QMessageBox>(u"removeDeviceConfirmation"_s));
        app.find<QMessageBox>(u"removeDeviceConfirmation"_s)->reject();
        main->setSelectedTab(SidebarTab::Settings);
        CHECK(u"settings"_s, window);
        app.delegate->openSettingsWindow();
        CHECK(u"settings-window"_s, app.delegate->settingsWindow());
        app.delegate->settingsWindow()->close();

        // Signed out: the sign-in screen and its two sheets, each refused.
        main->setSelectedTab(SidebarTab::Account);
        QTest::mouseClick(app.find<QAbstractButton>(u"signOutButton"_s), Qt::LeftButton);
        QTRY_VERIFY(app.find<QMessageBox>(u"signOutConfirmation"_s));
        destructiveButton(app.find<QMessageBox>(u"signOutConfirmation"_s))->click();
        QTRY_VERIFY(app.find<LoginView>(u"loginView"_s));
        app.server.on("POST", u"/auth/login"_s, StubServer::Response::json(400, json({{u"error"_s, value}})));
        app.find<QLineEdit>(u"emailField"_s)->setText(u"ada@example.com"_s);
        app.find<QLineEdit>(u"passwordField"_s)->setText(u"long enough"_s);
        QTest::mouseClick(app.find<QAbstractButton>(u"mainButton"_s), Qt::LeftButton);
        QTRY_VERIFY(app.find<QWidget>(u"errorRow"_s));
        CHECK(u"sign-in"_s, window);

        QTest::mouseClick(app.find<QAbstractButton>(u"forgotPasswordButton"_s), Qt::LeftButton);
        QTRY_VERIFY(app.find<QDialog>(u"forgotPasswordView"_s));
        auto *reset = app.find<QDialog>(u"forgotPasswordView"_s);
        QTest::mouseClick(reset->findChild<QAbstractButton *>(u"sendButton"_s), Qt::LeftButton);
        QTRY_VERIFY(reset->findChild<QWidget *>(u"errorRow"_s)->isVisible());
        CHECK(u"reset"_s, reset);
        reset->reject();

        app.account.auth.setPendingVerificationEmail(value);
        QTRY_VERIFY(app.find<QDialog>(u"emailVerificationView"_s));
        auto *verify = app.find<QDialog>(u"emailVerificationView"_s);
        verify->findChild<QLineEdit *>(u"codeField"_s)->setText(u"123456"_s);
        QTRY_VERIFY(verify->findChild<QWidget *>(u"errorRow"_s)->isVisible());
        CHECK(u"verify"_s, verify);

        QVERIFY2(watchdog.worstGapMs() < 1000, qPrintable(QString::number(watchdog.worstGapMs())));
    }

    // A switch to a dark palette while every screen exists: no label keeps a
    // dark text colour made for the light palette.
    void coloursFollowThePalette()
    {
        HostileApp app(u"ada@example.com"_s);
        QVERIFY(app.signIn());
        app.delegate->togglePopover();
        app.delegate->openMainWindow();
        MainWindowView *main = app.mainView();
        for (const SidebarTab tab : Sidebar::allTabs())
            main->setSelectedTab(tab);
        main->setSelectedTab(SidebarTab::Devices);
        QTRY_VERIFY(app.find<QWidget>(u"deviceRow"_s));
        DarkPalette dark;
        QCoreApplication::processEvents();
        QVERIFY(saveGrab(app.delegate->mainWindow(), u"dark-devices"_s));
        QVERIFY(saveGrab(app.delegate->popover(), u"dark-panel"_s));
        QStringList dim;
        for (QWidget *widget : QApplication::allWidgets()) {
            auto *label = qobject_cast<QLabel *>(widget);
            if (!label || label->text().isEmpty() || !label->pixmap().isNull())
                continue;
            if (label->palette().color(QPalette::WindowText).lightness() < 60)
                dim << QString::fromLatin1(label->metaObject()->className()) + u' ' + label->objectName() + u' '
                        + label->text().left(30);
        }
        QVERIFY2(dim.isEmpty(), qPrintable(dim.join(u'\n')));
    }
};

QTEST_MAIN(TestHostileScreens)
#include "tst_hostile_screens.moc"
