#pragma once

#include <QObject>
#include <QString>
#include <QTimer>


// How the application shows itself on this desktop.
struct ShellSurface
{
    // A tray host shows the icon: the panel drops from it and the
    // application keeps running with no window open.
    bool trayIcon = true;
    // No tray host (stock GNOME without the AppIndicator extension, a bare
    // compositor): the main window is the application. It opens at start and
    // closing it quits, with the same clean-up as "Quit".
    bool windowIsApplication = false;
    // Wayland: nothing can be placed next to the icon, so the panel is an
    // ordinary small window that the compositor places.
    bool panelAsWindow = false;
    // The icon's menu travels with it: StatusNotifierItem hosts (KDE, GNOME's
    // extension, every Wayland tray) show it themselves on a right click.
    bool menuOnIcon = false;

    bool operator==(const ShellSurface &) const = default;

    static ShellSurface decide(bool trayAvailable, bool statusNotifierHost, const QString &platformName);
    // From this desktop: Qt's tray availability, a StatusNotifierItem host on
    // the session bus, the platform plugin in use.
    static ShellSurface detect();
    static bool statusNotifierHostRegistered();
};

// Tells when the tray host goes away or comes back: the StatusNotifierItem
// watcher leaving or joining the session bus, or the X11 tray's manager
// window changing. A host that is gone for a moment (a panel restart) is not
// reported; one gone for `graceMs` is. Event driven: no polling.
class TrayHostWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int graceMs = 3000;
    explicit TrayHostWatch(bool statusNotifierHost, QObject *parent = nullptr);

signals:
    void availabilityChanged(bool available);

private slots:
    void x11TrayChanged();

private:
    void check(bool available);

    bool m_available = true;
    QTimer m_grace;
    bool m_pending = true;
};
