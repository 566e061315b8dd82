#include "shell/ShellSurface.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace {
const QString watcherService = u"org.kde.StatusNotifierWatcher"_s;
} // namespace

ShellSurface ShellSurface::decide(bool trayAvailable, bool statusNotifierHost, const QString &platformName)
{
    const bool wayland = platformName.startsWith(u"wayland"_s);
    ShellSurface surface;
    surface.trayIcon = trayAvailable;
    surface.windowIsApplication = !trayAvailable;
    surface.panelAsWindow = wayland;
    // Wayland has no other kind of tray.
    surface.menuOnIcon = trayAvailable && (statusNotifierHost || wayland);
    return surface;
}

bool ShellSurface::statusNotifierHostRegistered()
{
    // A desktop session names its bus. Without one, asking would start a bus
    // of its own (D-Bus autolaunch), which takes seconds and finds no tray.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService, u"/StatusNotifierWatcher"_s,
                                                       u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    call << watcherService << u"IsStatusNotifierHostRegistered"_s;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 500);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

ShellSurface ShellSurface::detect()
{
    return decide(QSystemTrayIcon::isSystemTrayAvailable(), statusNotifierHostRegistered(),
                  QGuiApplication::platformName());
}

// ---------------------------------------------------------------------------

TrayHostWatch::TrayHostWatch(bool statusNotifierHost, QObject *parent)
    : QObject(parent)
{
    m_grace.setSingleShot(true);
    m_grace.setInterval(graceMs);
    QObject::connect(&m_grace, &QTimer::timeout, this, [this] {
        if (m_pending != m_available) {
            m_available = m_pending;
            emit availabilityChanged(m_available);
        }
    });
    if (statusNotifierHost) {
        auto *watcher = new QDBusServiceWatcher(watcherService, QDBusConnection::sessionBus(),
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { check(true); });
        QObject::connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { check(false); });
        return;
    }
    // X11: Qt follows the tray's manager window and says so through its
    // native interface (a QObject; the signal is looked up by name).
    auto *native = reinterpret_cast<QObject *>(QGuiApplication::platformNativeInterface());
    const int signal = native ? native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") : -1;
    if (signal >= 0)
        QObject::connect(native, native->metaObject()->method(signal), this,
                         metaObject()->method(metaObject()->indexOfSlot("x11TrayChanged()")));
}

void TrayHostWatch::x11TrayChanged()
{
    check(QSystemTrayIcon::isSystemTrayAvailable());
}

void TrayHostWatch::check(bool available)
{
    m_pending = available;
    // A return counts at once; a loss only when it lasts.
    if (available) {
        m_grace.stop();
        if (!m_available) {
            m_available = true;
            emit availabilityChanged(true);
        }
        return;
    }
    if (m_available && !m_grace.isActive())
        m_grace.start();
}
