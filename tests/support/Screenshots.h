#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QString>
#include <QWidget>

// Pictures the screen tests save for a person to look at: in
// $VELORIN_SCREENSHOT_DIR (the build's "screenshots" folder when run by
// CTest), else in a folder in the temporary folder.
inline QString screenshotPath(const QString &fileName)
{
    QString dir = qEnvironmentVariable("VELORIN_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QDir::temp().filePath(QStringLiteral("velorin-screenshots"));
    QDir().mkpath(dir);
    return QDir(dir).filePath(fileName);
}

// Saves <name>.png of the widget once the events waiting for it are handled
// (a palette change reaches the widgets, layouts settle). `layoutOnly`
// settles the layouts alone, for a grab while a request is under way that
// must not be answered yet.
inline bool saveGrab(QWidget *widget, const QString &name, bool layoutOnly = false)
{
    if (layoutOnly)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    else
        QCoreApplication::processEvents();
    return widget->grab().save(screenshotPath(name + QStringLiteral(".png")));
}
