#pragma once

// Helpers shared by the tests of the account, devices and settings screens.

#include "support/Screenshots.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPalette>
#include <QDesktopServices>
#include <QDir>
#include <QList>
#include <QLocale>
#include <QMessageBox>
#include <QObject>
#include <QUrl>
#include <QWidget>
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

// A click in the middle of the widget, where a person would click.
inline void click(QWidget *widget)
{
    QVERIFY(widget);
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

// A confirmation's button of a role (there must be exactly one).
inline QAbstractButton *buttonWithRole(QMessageBox *box, QMessageBox::ButtonRole role)
{
    QAbstractButton *found = nullptr;
    for (QAbstractButton *button : box->buttons()) {
        if (box->buttonRole(button) == role) {
            if (found)
                return nullptr;
            found = button;
        }
    }
    return found;
}

// Dates and times in these tests read as in the United States, in UTC (the
// test registration sets TZ=UTC).
inline void useUnitedStatesLocale()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

// A dark palette for the application while it exists (grabs of the dark look).
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
