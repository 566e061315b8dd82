#include "backend/HttpExchange.h"

#include "backend/APIError.h"
#include "platform/ReplyLimit.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextBoundaryFinder>

#include <QCoro/QCoroNetworkReply>

#include <memory>

namespace HttpExchange {
namespace {

// Errors Qt reports for an HTTP answer that arrived whole but carries an
// error status; the status code then decides.
bool reportsHttpStatus(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::NoError
        || (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

} // namespace

QCoro::Task<Answer> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                         std::optional<QByteArray> body, QObject *owner)
{
    QNetworkReply *sent = nullptr;
    if (body)
        sent = network->sendCustomRequest(request, verb, *body);
    else if (verb == "GET")
        sent = network->get(request);
    else
        sent = network->sendCustomRequest(request, verb);
    sent->setParent(owner);
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(sent);
    // The transfer time-out also bounds the whole exchange, so a trickling
    // answer cannot hold the request open.
    ReplyLimit::apply(sent, std::chrono::milliseconds(request.transferTimeout()));

    co_await reply.get();

    if (ReplyLimit::reasonFor(*reply) == ReplyLimit::Reason::TooLarge)
        throw TransportError::tooLarge();
    const QNetworkReply::NetworkError error = reply->error();
    // Nothing here aborts a reply; a cancellation is the transfer time-out.
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
        throw TransportError::timedOut();
    if (!reportsHttpStatus(error))
        throw TransportError(error, reply->errorString());
    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    answer.body = reply->readAll();
    co_return answer;
}

QString firstCharacters(const QString &text, qsizetype count)
{
    if (text.size() <= count)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype n = 0; n < count; ++n) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

} // namespace HttpExchange
