// The floor of the start-up and idle figures: the least a Qt Widgets tray
// program does. It makes the application object, a tray icon from a plain
// drawn picture, shows it and waits for events; nothing else. With
// VELORIN_BENCH_STARTUP=1 it reports through the same probe as velorin-vpn
// (src/shell/StartupProbe.h) and quits when first idle; without it it idles
// until it is ended (the footprint benchmark).
#include "shell/StartupProbe.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QPixmap picture(22, 22);
    picture.fill(Qt::transparent);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(245, 245, 245));
        painter.setPen(QPen(QColor(0, 0, 0, 170), 1.5));
        painter.drawEllipse(QRectF(3, 3, 16, 16));
    }
    const QIcon icon(picture);
    QSystemTrayIcon tray(icon);
    tray.setToolTip(QStringLiteral("baseline"));
    tray.show();

    if (StartupProbe::enabled()) {
        StartupProbe::markTrayIconSet();
        StartupProbe::quitWhenIdle();
    }
    return app.exec();
}
