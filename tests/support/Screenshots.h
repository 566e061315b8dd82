#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QString>
#include <QWidget>

// Pictures for a person to look at, in $VELORIN_SCREENSHOT_DIR (set by CTest).
inline QString screenshotPath(const QString &fileName)
{
    QString dir = qEnvironmentVariable("VELORIN_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QDir::temp().filePath(QStringLiteral("velorin-screenshots"));
    QDir().mkpath(dir);
    return QDir(dir).filePath(fileName);
}

// Once the waiting events are handled (palette changes, layouts);
// `layoutOnly` for a grab while a request must stay unanswered.
inline bool saveGrab(QWidget *widget, const QString &name, bool layoutOnly = false)
{
    if (layoutOnly)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    else
        QCoreApplication::processEvents();
    return widget->grab().save(screenshotPath(name + QStringLiteral(".png")));
}
