#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QString>
#include <QWidget>
#include <QtTest>

// Saves a picture of the widget as <name>.png in VELORIN_SCREENSHOT_DIR (the
// build's "screenshots" folder when run by CTest) for a person to look at.
inline void saveGrab(QWidget *widget, const QString &name)
{
    QString dir = qEnvironmentVariable("VELORIN_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QDir::temp().filePath(QStringLiteral("velorin-screenshots"));
    QDir().mkpath(dir);
    // Lay out first, as the event loop would before painting.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QVERIFY(widget->grab().save(QDir(dir).filePath(name + QStringLiteral(".png"))));
}
