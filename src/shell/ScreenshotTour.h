#pragma once

#include "model/VPNConnectionState.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>

class AppDelegate;
class AuthService;
class NotificationCenter;
class QAbstractButton;
class QWidget;

// Walks through the application's screens once and saves a picture of each
// into a folder, then quits: the tray, the open panel (as it is, with the
// server list, while connecting and after the attempt), the main window on
// each of its tabs and the settings window. Meant for a virtual display with
// a tray host, where nobody can look at the screen.
//
// Every step works the real controls (the panel's buttons by their object
// names); nothing is staged. Each wait has a time limit, so the tour always
// ends. It prints one line per picture on standard output.
class ScreenshotTour : public QObject
{
    Q_OBJECT
public:
    ScreenshotTour(AppDelegate &delegate, AuthService &auth, NotificationCenter &notifications, QString folder,
                   QObject *parent = nullptr);

    // Starts the tour; `finished` follows, then the application quits.
    void start();
    int failures() const { return m_failures; }

    static QString statusName(VPNDisplayStatus status);

signals:
    void finished(int failures);

private:
    QCoro::Task<> run();
    QCoro::Task<bool> waitUntil(std::function<bool()> condition, std::chrono::milliseconds timeout);
    void saveScreen(const QString &fileName);
    void saveWidget(QWidget *widget, const QString &fileName);
    void saved(bool ok, const QString &path);
    void note(const QString &line);
    QAbstractButton *panelButton(const QString &objectName) const;

    AppDelegate &m_delegate;
    AuthService &m_auth;
    NotificationCenter &m_notifications;
    QString m_folder;
    int m_failures = 0;
    bool m_grabbedConnecting = false;
};
