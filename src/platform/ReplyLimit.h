#pragma once

#include <QObject>

#include <chrono>

class QNetworkReply;

// Bounds one network reply in time and size. QNetworkRequest's transfer
// time-out only fires after a stretch with no data, so a server that
// trickles one byte at a time keeps a request alive for ever; and a reply
// keeps its whole body in memory before the caller decodes (and logs) it on
// the main thread. The limit aborts the reply when the whole exchange runs
// past `total`, or when the body (as announced or as received) grows past
// `maxBytes`; the reply then finishes with OperationCanceledError and
// reasonFor() tells which limit ran out.
class ReplyLimit : public QObject
{
    Q_OBJECT
public:
    enum class Reason { None, TimedOut, TooLarge };

    // Far above any answer of the backend (the largest is a device list or
    // a configuration of a few kilobytes).
    static constexpr qint64 defaultMaxBytes = 1024 * 1024;

    // Watches `reply` until it is destroyed (the limit is its child).
    static void apply(QNetworkReply *reply, std::chrono::milliseconds total, qint64 maxBytes = defaultMaxBytes);

    // The limit that aborted `reply`; None when it ended on its own or has no limit.
    static Reason reasonFor(const QNetworkReply &reply);

private:
    ReplyLimit(QNetworkReply *reply, std::chrono::milliseconds total, qint64 maxBytes);
    void stop(Reason reason);

    QNetworkReply *m_reply;
    qint64 m_maxBytes;
    Reason m_reason = Reason::None;
};
