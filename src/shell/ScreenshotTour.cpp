#include "shell/ScreenshotTour.h"

#include "backend/AuthService.h"
#include "model/NotificationNames.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "shell/AppDelegate.h"
#include "shell/PopoverPanel.h"

#include <QAbstractButton>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QTextStream>

#include <QCoro/QCoroTimer>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

ScreenshotTour::ScreenshotTour(AppDelegate &delegate, AuthService &auth, NotificationCenter &notifications,
                               QString folder, QObject *parent)
    : QObject(parent)
    , m_delegate(delegate)
    , m_auth(auth)
    , m_notifications(notifications)
    , m_folder(std::move(folder))
{
}

QString ScreenshotTour::statusName(VPNDisplayStatus status)
{
    switch (status) {
    case VPNDisplayStatus::Disconnected:
        return u"disconnected"_s;
    case VPNDisplayStatus::Connecting:
        return u"connecting"_s;
    case VPNDisplayStatus::Connected:
        return u"connected"_s;
    case VPNDisplayStatus::Disconnecting:
        return u"disconnecting"_s;
    case VPNDisplayStatus::Error:
        return u"error"_s;
    }
    Q_UNREACHABLE();
}

void ScreenshotTour::start()
{
    QDir().mkpath(m_folder);
    // The connecting state is short; the panel is pictured the moment it
    // shows it (the panel updates before this handler runs).
    QObject::connect(&m_delegate, &AppDelegate::vpnStatusChanged, this, [this](VPNDisplayStatus status) {
        if (status != VPNDisplayStatus::Connecting || m_grabbedConnecting || !m_delegate.popover())
            return;
        m_grabbedConnecting = true;
        if (QWidget *panel = m_delegate.popover()->content())
            saveWidget(panel, u"04-panel-connecting.png"_s);
    });
    run();
}

void ScreenshotTour::note(const QString &line)
{
    // A line may carry the account's e-mail address as the server gave it.
    QTextStream out(stdout);
    out << Log::escapeControls(line) << Qt::endl;
}

void ScreenshotTour::saved(bool ok, const QString &path)
{
    if (ok) {
        note(u"screenshot: "_s + path);
    } else {
        ++m_failures;
        note(u"screenshot failed: "_s + path);
    }
}

void ScreenshotTour::saveScreen(const QString &fileName)
{
    const QString path = QDir(m_folder).filePath(fileName);
    QScreen *screen = QGuiApplication::primaryScreen();
    // Window 0 is the whole display.
    saved(screen && screen->grabWindow(0).save(path), path);
}

void ScreenshotTour::saveWidget(QWidget *widget, const QString &fileName)
{
    const QString path = QDir(m_folder).filePath(fileName);
    saved(widget->grab().save(path), path);
}

QAbstractButton *ScreenshotTour::panelButton(const QString &objectName) const
{
    PopoverPanel *popover = m_delegate.popover();
    if (!popover)
        return nullptr;
    QAbstractButton *button = popover->findChild<QAbstractButton *>(objectName);
    return button && button->isVisible() && button->isEnabled() ? button : nullptr;
}

QCoro::Task<bool> ScreenshotTour::waitUntil(std::function<bool()> condition, std::chrono::milliseconds timeout)
{
    for (auto waited = 0ms; waited < timeout; waited += 100ms) {
        if (condition())
            co_return true;
        co_await QCoro::sleepFor(100ms);
    }
    co_return condition();
}

QCoro::Task<> ScreenshotTour::run()
{
    AppDelegate &delegate = m_delegate;

    // The stored session first, so the panel shows the signed-in user.
    // Arguments are built before each co_await statement (a temporary inside
    // a co_await expression is destroyed twice by g++ 12).
    auto restored = waitUntil([&delegate] { return !delegate.isRestoringSession(); }, 30s);
    co_await std::move(restored);
    const AuthState state = m_auth.authState();
    note(state.user() ? u"signed in as "_s + state.user()->email : u"not signed in"_s);

    auto trayWait = waitUntil(
        [&delegate] {
            return QSystemTrayIcon::isSystemTrayAvailable() && delegate.statusItem()
                && delegate.statusItem()->isVisible();
        },
        15s);
    const bool trayShown = co_await std::move(trayWait);
    if (!trayShown) {
        ++m_failures;
        note(u"no tray host: the tray icon is not shown"_s);
    }
    // The tray host embeds and paints the icon.
    co_await QCoro::sleepFor(1s);
    saveScreen(u"01-tray.png"_s);

    delegate.togglePopover();
    co_await QCoro::sleepFor(800ms);
    saveScreen(u"02-panel-"_s + statusName(delegate.vpnStatus()) + u".png"_s);

    if (QAbstractButton *header = panelButton(u"serverHeader"_s)) {
        header->click();
        co_await QCoro::sleepFor(800ms);
        saveScreen(u"03-panel-servers.png"_s);
        header->click();
        co_await QCoro::sleepFor(500ms);
    }

    if (QAbstractButton *connect = panelButton(u"connectButton"_s)) {
        connect->click();
        // The attempt runs to its end: connected, or an error where the
        // machine has no IKEv2 service.
        auto attempt = waitUntil(
            [&delegate] {
                const VPNDisplayStatus status = delegate.vpnStatus();
                return status != VPNDisplayStatus::Disconnected && status != VPNDisplayStatus::Connecting;
            },
            30s);
        co_await std::move(attempt);
        co_await QCoro::sleepFor(800ms);
        saveScreen(u"05-panel-"_s + statusName(delegate.vpnStatus()) + u".png"_s);
        if (delegate.vpnStatus() == VPNDisplayStatus::Connected) {
            // The connection view of the main window while the tunnel is up.
            delegate.openMainWindow();
            co_await QCoro::sleepFor(1s);
            saveScreen(u"05b-main-connected.png"_s);
            if (delegate.mainWindow())
                delegate.mainWindow()->close();
            if (!delegate.popover() || !delegate.popover()->isVisible()) {
                delegate.togglePopover();
                co_await QCoro::sleepFor(500ms);
            }
            if (QAbstractButton *disconnect = panelButton(u"connectButton"_s))
                disconnect->click();
            auto stopped = waitUntil([&delegate] { return delegate.vpnStatus() == VPNDisplayStatus::Disconnected; }, 15s);
            co_await std::move(stopped);
        }
    }
    if (delegate.popover() && delegate.popover()->isVisible())
        delegate.togglePopover();

    delegate.openMainWindow();
    co_await QCoro::sleepFor(1s);
    saveScreen(u"06-main-window.png"_s);
    const QList<std::pair<QString, QString>> tabs{
        {NotificationNames::showAccount, u"07-main-account.png"_s},
        {NotificationNames::showDevices, u"08-main-devices.png"_s},
        {NotificationNames::showSettings, u"09-main-settings.png"_s},
    };
    for (const auto &[name, fileName] : tabs) {
        m_notifications.post(name);
        co_await QCoro::sleepFor(800ms);
        saveScreen(fileName);
    }
    if (delegate.mainWindow())
        delegate.mainWindow()->close();

    delegate.openSettingsWindow();
    co_await QCoro::sleepFor(800ms);
    saveScreen(u"10-settings-window.png"_s);
    if (delegate.settingsWindow())
        delegate.settingsWindow()->close();

    emit finished(m_failures);
    delegate.quitApp();
}
