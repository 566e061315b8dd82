#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <optional>

// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). Its body may be read as
// markup, so the text is escaped when the service says it reads markup.
// Without the service the tray icon's own message is used where the tray
// shows one; without either, nothing is shown. Every call is asynchronous:
// the main thread never waits for the bus.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    static inline const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");

    explicit DesktopNotifier(const QDBusConnection &bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);

    // The tray icon whose message stands in when no service answers.
    void setTrayFallback(QSystemTrayIcon *icon) { m_tray = icon; }

    // Shows `title` and `body` (plain texts; the body is cleaned and bounded
    // here). A newer notification replaces the one shown before.
    void notify(const QString &title, const QString &body);

signals:
    // Where a notification went, for tests: "service", "tray" or "none".
    void delivered(const QString &route);

private:
    void send(const QString &title, const QString &body);
    void fallBack(const QString &title, const QString &body);

    QDBusConnection m_bus;
    QPointer<QSystemTrayIcon> m_tray;
    // Known after the first answer of the service.
    std::optional<bool> m_readsMarkup;
    uint m_lastId = 0;
};
