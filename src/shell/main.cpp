// velorin-vpn: the tray application. Builds the services, hands them and the
// screens to the shell and runs the event loop.
#include "platform/AppInfo.h"
#include "shell/AppDelegate.h"
#include "shell/ControlServer.h"
#include "shell/QuitSignals.h"
#include "shell/ScreenshotTour.h"
#include "shell/SingleInstance.h"
#include "shell/StartupProbe.h"
#include "ui/AppScreens.h"
#include "ui/common/Icons.h"
#include "vpn/AppServices.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QMessageBox>
#include <QLibraryInfo>
#include <QLocale>
#include <QPainter>
#include <QTranslator>

#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Tray images: the symbol in a light tone with a dark rim, so it reads on
// light and dark panels alike (Linux trays do not tint template images).
QIcon trayImage(const QString &symbol)
{
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 44}) {
        const int points = qRound(side * AppDelegate::statusImagePoints / 22.0);
        const qreal ratio = 1;
        const QPixmap rim = Icons::pixmap(symbol, QColor(0, 0, 0, 170), points, ratio);
        const QPixmap face = Icons::pixmap(symbol, QColor(245, 245, 245), points, ratio);
        QPixmap canvas(side, side);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        const QPoint origin((side - points) / 2, (side - points) / 2);
        for (const QPoint offset : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1)})
            painter.drawPixmap(origin + offset, rim);
        painter.drawPixmap(origin, face);
        painter.end();
        icon.addPixmap(canvas);
    }
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"velorin-vpn"_s);
    QApplication::setApplicationVersion(AppInfo::current().shortVersion());
    QApplication::setWindowIcon(Icons::appIcon());

    // A translation of the user's language, when one is installed next to the
    // program's data (share/velorin-vpn/translations/velorin-vpn_<lang>.qm).
    QTranslator translator;
    const QString translations = QDir(QCoreApplication::applicationDirPath())
                                     .filePath(u"../share/velorin-vpn/translations"_s);
    if (translator.load(QLocale(), u"velorin-vpn"_s, u"_"_s, translations))
        QCoreApplication::installTranslator(&translator);
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(), u"qtbase"_s, u"_"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTranslator);
    QApplication::setApplicationDisplayName(AppDelegate::mainWindowTitle());

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate("main", "Velorin VPN: the tray application."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configDir(u"config-dir"_s,
                                       QCoreApplication::translate("main", "Keep settings in DIR instead of the user's configuration "
                                                                           "folder (also VELORIN_CONFIG_DIR)."),
                                       u"DIR"_s);
    const QCommandLineOption settings(u"settings"_s, QCoreApplication::translate("main", "Open the settings window at start."));
    const QCommandLineOption screenshots(u"screenshots"_s,
                                         QCoreApplication::translate("main", "Walk through the tray, the panel and the windows once, "
                                                                             "save a picture of each into DIR, then quit."),
                                         u"DIR"_s);
    parser.addOptions({configDir, settings, screenshots});
    parser.process(app);
    if (parser.isSet(configDir))
        qputenv("VELORIN_CONFIG_DIR", QFile::encodeName(parser.value(configDir)));

    // One application per user: a second start shows the running one's
    // window and ends, before it touches anything the first one owns. The
    // screenshot walk is a self-contained run of its own.
    std::unique_ptr<SingleInstance> instance;
    if (!parser.isSet(screenshots)) {
        instance = std::make_unique<SingleInstance>(ControlProtocol::places());
        switch (instance->claim(parser.isSet(settings) ? u"settings"_s : u"main"_s)) {
        case SingleInstance::Claim::Owner:
            break;
        case SingleInstance::Claim::HandedOver:
            return 0;
        case SingleInstance::Claim::Unavailable:
            fprintf(stderr, "velorin-vpn: %s\n", qPrintable(instance->message()));
            // Started from a menu, nobody reads standard error.
            if (QGuiApplication::platformName() != u"offscreen")
                QMessageBox::critical(nullptr, u"Velorin VPN"_s, instance->message());
            return 1;
        }
    }

    // SIGINT and SIGTERM end the event loop; the Xray service's own
    // clean-up then runs on aboutToQuit (proxies restored, child stopped).
    QuitSignals quitSignals;
    AppServices services(AppServices::Setup::forThisProcess());
    services.leaveTerminationSignalToApplication();
    VPNServiceManager &vpn = services.vpn();

    AppViews views = appScreens({services.auth, services.api, services.entitlements, services.devices,
                                 services.center, services.defaults, services.servers, vpn});
    views.statusImage = trayImage;

    AppDelegate delegate(services.auth, vpn, services.center, services.defaults, views);
    delegate.applicationDidFinishLaunching();
    // The start-up benchmark (VELORIN_BENCH_STARTUP=1): the icon is set now;
    // the run ends when the event loop first goes idle.
    if (StartupProbe::enabled()) {
        StartupProbe::markTrayIconSet();
        StartupProbe::quitWhenIdle();
    }
    if (parser.isSet(settings))
        delegate.openSettingsWindow();

    // The command line's `connect`, `disconnect`, `status` and `select` act
    // through this application while it runs.
    std::unique_ptr<ControlServer> control;
    if (instance) {
        ControlServer::Actions actions;
        actions.activate = [&delegate](const QString &window) {
            if (window == u"settings")
                delegate.openSettingsWindow();
            else
                delegate.openMainWindow();
        };
        actions.setProxyOnly = [&services](bool proxyOnly) { services.xray().setProxyOnly(proxyOnly); };
        control = std::make_unique<ControlServer>(vpn, services.servers, actions);
        if (const auto error = control->listen(instance->places().socket))
            fprintf(stderr, "velorin-vpn: the command line cannot reach this application: %s\n", qPrintable(*error));
    }

    std::unique_ptr<ScreenshotTour> tour;
    if (parser.isSet(screenshots)) {
        tour = std::make_unique<ScreenshotTour>(delegate, services.auth, services.center,
                                                QDir(parser.value(screenshots)).absolutePath());
        tour->start();
    }

    const int status = app.exec();
    if (tour && tour->failures() > 0)
        return 1;
    return status;
}
