#pragma once

#include "support/AccountServices.h"
#include "support/Screenshots.h"
#include "support/StubServer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>

// Records the pages the screens ask the desktop to open, instead of starting a browser.
class OpenedUrls : public QObject
{
    Q_OBJECT
public:
    OpenedUrls()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
    }
    ~OpenedUrls() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

struct StubAccount
{
    // A request still running would outlive the services it belongs to.
    ~StubAccount() { (void)QTest::qWaitFor([this] { return !app.auth.isLoading(); }, 5000); }

    TempDefaults defaults;
    FakeKeychain keychain;
    StubServer server;
    AccountServices app{defaults, keychain, server.baseUrl()};
};

template<typename T = QWidget>
T *child(const QObject *root, const char *name)
{
    return root->findChild<T *>(QLatin1StringView(name));
}

inline void click(QWidget *widget)
{
    QVERIFY(widget);
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

// Replaces a field's text as typing it would (input method, non-ASCII).
inline void enter(QLineEdit *edit, const QString &text)
{
    edit->clear();
    edit->setFocus();
    edit->insert(text);
}

// Waits for a confirmation to show and answers it with its one button of a role.
inline bool answer(QMessageBox *box, QMessageBox::ButtonRole role)
{
    if (!box || !QTest::qWaitFor([box] { return box->isVisible(); }))
        return false;
    QList<QAbstractButton *> matching;
    for (QAbstractButton *button : box->buttons())
        if (box->buttonRole(button) == role)
            matching.append(button);
    if (matching.size() != 1)
        return false;
    QTest::mouseClick(matching.first(), Qt::LeftButton);
    return true;
}

// Dates read as in the United States (the test registration sets TZ=UTC).
inline void useUnitedStatesLocale()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

// A dark palette for the application while it exists (checks and grabs of the dark look).
class DarkPalette
{
public:
    DarkPalette()
        : m_saved(QApplication::palette())
    {
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(30, 30, 32));
        dark.setColor(QPalette::WindowText, QColor(235, 235, 240));
        dark.setColor(QPalette::Base, QColor(44, 44, 46));
        dark.setColor(QPalette::AlternateBase, QColor(52, 52, 54));
        dark.setColor(QPalette::Text, QColor(235, 235, 240));
        dark.setColor(QPalette::Button, QColor(58, 58, 60));
        dark.setColor(QPalette::ButtonText, QColor(235, 235, 240));
        QApplication::setPalette(dark);
    }
    ~DarkPalette() { QApplication::setPalette(m_saved); }

private:
    QPalette m_saved;
};
