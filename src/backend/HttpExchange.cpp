#include "backend/HttpExchange.h"

#include "backend/APIError.h"
#include "model/SecretMask.h"
#include "platform/Utf8.h"
#include "platform/ReplyLimit.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
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

AccessTokenRenewer *s_renewer = nullptr;

constexpr qsizetype kLoggedCharacters = 500;

QString bearerToken(const QNetworkRequest &request)
{
    const QByteArray header = request.rawHeader("Authorization");
    if (!header.startsWith("Bearer "))
        return {};
    return QString::fromUtf8(header.mid(7));
}

// The first `count` user-perceived characters (grapheme clusters).
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

void setBearerToken(QNetworkRequest &request, const QString &token)
{
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
}

} // namespace

AccessTokenRenewer *AccessTokenRenewer::current()
{
    return s_renewer;
}

void AccessTokenRenewer::setCurrent(AccessTokenRenewer *renewer)
{
    s_renewer = renewer;
}

QCoro::Task<Answer> sendAuthorized(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                                   std::optional<QByteArray> body, QObject *owner, AccessTokenRenewer *renewer,
                                   std::chrono::milliseconds total)
{
    const QString token = bearerToken(request);
    if (!renewer || token.isEmpty()) {
        auto sending = send(network, request, verb, body, owner, total);
        co_return co_await std::move(sending);
    }
    const QPointer<QObject> alive(owner);
    QString used = token;
    if (renewer->expiresSoon(token)) {
        // Ahead of the expiry; when that fails the old token is still worth a try.
        std::optional<QString> fresh;
        try {
            fresh = co_await renewer->renewedAccessToken(token);
        } catch (const std::exception &) {
        }
        if (fresh)
            used = *fresh;
    }
    if (!alive)
        throw TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
    setBearerToken(request, used);
    auto first = send(network, request, verb, body, owner, total);
    const Answer answer = co_await std::move(first);
    if (answer.status != 401)
        co_return answer;
    const std::optional<QString> renewed = co_await renewer->renewedAccessToken(used);
    if (!renewed || !alive)
        co_return answer;
    setBearerToken(request, *renewed);
    auto second = send(network, request, verb, body, owner, total);
    co_return co_await std::move(second);
}

QCoro::Task<Answer> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                         std::optional<QByteArray> body, QObject *owner, std::chrono::milliseconds total)
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
    // The transfer time-out also bounds the whole exchange unless told
    // otherwise, so a trickling answer cannot hold the request open.
    ReplyLimit::apply(sent, total.count() > 0 ? total : std::chrono::milliseconds(request.transferTimeout()));

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

QNetworkRequest makeRequest(const QUrl &url, std::chrono::milliseconds timeout,
                            const std::optional<QString> &bearerToken, const QByteArray &userAgent, bool json)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    if (bearerToken)
        setBearerToken(request, *bearerToken);
    if (!userAgent.isEmpty())
        request.setRawHeader("User-Agent", userAgent);
    if (json)
        request.setRawHeader("Content-Type", "application/json");
    return request;
}

std::optional<QUrl> absoluteUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QCoro::Task<Outcome> outcomeOf(QCoro::Task<Answer> exchange)
{
    Outcome outcome;
    try {
        outcome.answer = co_await std::move(exchange);
    } catch (const std::exception &error) {
        outcome.failure = errorDescription(error);
    }
    co_return outcome;
}

std::optional<QString> loggedBody(const QByteArray &body)
{
    const std::optional<QString> text = Utf8::decode(body);
    if (!text)
        return std::nullopt;
    return firstCharacters(SecretMask::apply(*text), kLoggedCharacters);
}

} // namespace HttpExchange
