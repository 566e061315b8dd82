#include "platform/ReplyLimit.h"

#include <QNetworkReply>
#include <QTimer>

ReplyLimit::ReplyLimit(QNetworkReply *reply, std::chrono::milliseconds total, qint64 maxBytes)
    : QObject(reply)
    , m_reply(reply)
    , m_maxBytes(maxBytes)
{
    // Qt stops reading from the connection once this much waits unread, so
    // a huge answer never sits in memory whole; the checks below see the
    // unread bytes pass the limit first and end the reply.
    reply->setReadBufferSize(2 * maxBytes);
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, this, [this] { stop(Reason::TimedOut); });
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    timer->start(total);
    // The announced length is known with the headers. What has arrived is
    // watched as unread bytes: Qt reports no download progress for a GET
    // until it finishes, so a long body would only end at the time-out.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, this, [this, maxBytes] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBytes)
            stop(Reason::TooLarge);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, this, [this, maxBytes] {
        if (m_reply->bytesAvailable() > maxBytes)
            stop(Reason::TooLarge);
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, this, [this, maxBytes](qint64 received, qint64 announced) {
        if (received > maxBytes || announced > maxBytes)
            stop(Reason::TooLarge);
    });
}

void ReplyLimit::apply(QNetworkReply *reply, std::chrono::milliseconds total, qint64 maxBytes)
{
    new ReplyLimit(reply, total, maxBytes);
}

ReplyLimit::Reason ReplyLimit::reasonFor(const QNetworkReply &reply)
{
    const auto *limit = reply.findChild<const ReplyLimit *>(QString(), Qt::FindDirectChildrenOnly);
    if (!limit)
        return Reason::None;
    // A body that arrived whole before the progress was reported.
    if (limit->m_reason == Reason::None && reply.isFinished() && reply.bytesAvailable() > limit->m_maxBytes)
        return Reason::TooLarge;
    return limit->m_reason;
}

void ReplyLimit::stop(Reason reason)
{
    if (m_reason != Reason::None || m_reply->isFinished())
        return;
    m_reason = reason;
    m_reply->abort();
}
