#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class QNetworkAccessManager;
class QObject;

// One HTTP request for the services that build their own (device registry,
// subscription sync). Runs on the main thread and suspends while the
// network works; nothing here blocks.
namespace HttpExchange {

struct Answer
{
    // The HTTP status; nothing when the exchange ended without one.
    std::optional<int> status;
    QByteArray body;
};

// Sends `verb` with the optional body and waits for the whole answer. Any
// status, including 4xx and 5xx, is an answer. Throws TransportError when no
// complete HTTP answer arrived (refused, reset, host not found); a stalled
// transfer past the request's transfer time-out becomes
// TransportError::timedOut(), and so does a transfer that is still running
// when that time has passed since the start; an answer over
// ReplyLimit::defaultMaxBytes is TransportError::tooLarge(). The reply is a child of `owner`, so none
// outlives the service that sent it.
QCoro::Task<Answer> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                         std::optional<QByteArray> body, QObject *owner);

// The first `count` user-perceived characters (grapheme clusters), so a cut
// never splits an emoji or a letter from its accent.
QString firstCharacters(const QString &text, qsizetype count);

} // namespace HttpExchange
