#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QThread>

NotificationCenter::NotificationCenter(QObject *parent)
    : QObject(parent)
{
}

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::post(const QString &name, const QVariantMap &userInfo)
{
    if (QThread::currentThread() == thread()) {
        emit posted(name, userInfo);
        return;
    }
    QMetaObject::invokeMethod(this, [this, name, userInfo] { emit posted(name, userInfo); }, Qt::QueuedConnection);
}
