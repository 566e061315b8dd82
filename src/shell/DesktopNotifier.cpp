#include "shell/DesktopNotifier.h"

#include "shell/DisplayText.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace {
const QString interfaceName = u"org.freedesktop.Notifications"_s;
} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
}

void DesktopNotifier::notify(const QString &title, const QString &body)
{
    const QString cleanTitle = DisplayText::clean(title, DisplayText::nameLimit);
    const QString cleanBody = DisplayText::clean(body, DisplayText::messageLimit, true);
    if (!m_bus.isConnected()) {
        fallBack(cleanTitle, cleanBody);
        return;
    }
    if (m_readsMarkup) {
        send(cleanTitle, cleanBody);
        return;
    }
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName, u"GetCapabilities"_s);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, cleanTitle, cleanBody](QDBusPendingCallWatcher *call) {
                         call->deleteLater();
                         const QDBusPendingReply<QStringList> reply = *call;
                         if (reply.isError()) {
                             fallBack(cleanTitle, cleanBody);
                             return;
                         }
                         m_readsMarkup = reply.value().contains(u"body-markup"_s);
                         send(cleanTitle, cleanBody);
                     });
}

void DesktopNotifier::send(const QString &title, const QString &body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName, u"Notify"_s);
    const QVariantMap hints{{u"desktop-entry"_s, u"velorin-vpn"_s}};
    call << u"Velorin VPN"_s << m_lastId << u"velorin-vpn"_s << title
         << (m_readsMarkup.value_or(true) ? body.toHtmlEscaped() : body) << QStringList() << hints << -1;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, title, body](QDBusPendingCallWatcher *reply) {
                         reply->deleteLater();
                         const QDBusPendingReply<uint> id = *reply;
                         if (id.isError()) {
                             // The service went away since it answered.
                             m_readsMarkup.reset();
                             fallBack(title, body);
                             return;
                         }
                         m_lastId = id.value();
                         emit delivered(u"service"_s);
                     });
}

void DesktopNotifier::fallBack(const QString &title, const QString &body)
{
    if (m_tray && QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages()) {
        // The tray's balloon shows its message in a label that takes
        // markup-looking text as rich text: give it escaped rich text.
        m_tray->showMessage(title, DisplayText::toolTip(body), QSystemTrayIcon::Warning);
        emit delivered(u"tray"_s);
        return;
    }
    emit delivered(u"none"_s);
}
