#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

// The process's default notification centre: named notifications with an
// optional user-info map. Observers connect to `posted` and filter by name.
// A post from another thread is delivered on the centre's (main) thread.
class NotificationCenter : public QObject
{
    Q_OBJECT
public:
    explicit NotificationCenter(QObject *parent = nullptr);
    static NotificationCenter &defaultCenter();

    void post(const QString &name, const QVariantMap &userInfo = {});

    // Calls `handler` on the context's thread for every notification named `name`.
    template<typename Handler>
    QMetaObject::Connection observe(const QString &name, const QObject *context, Handler handler)
    {
        return QObject::connect(this, &NotificationCenter::posted, context,
                                [name, handler](const QString &posted, const QVariantMap &userInfo) {
                                    if (posted == name)
                                        handler(userInfo);
                                });
    }

signals:
    void posted(const QString &name, const QVariantMap &userInfo);
};
