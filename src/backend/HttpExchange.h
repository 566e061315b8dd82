#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QObject;

// The one path of an HTTP exchange with the backend, for APIClient, the
// device registry, the subscription sync and the configuration fetches: how a
// request is built (time-out, headers), how it is sent (size limit, whole-
// exchange time-out, token renewal), and how an answer is shown in a log line
// (secrets masked, cut short). Runs on the main thread and suspends while the
// network works; nothing here blocks.
namespace HttpExchange {

// A request to `url` that fails when no data moves for `timeout`, with
// "Authorization: Bearer <token>" when there is a token, the User-Agent when
// one is given, and "Content-Type: application/json" when `json` is set.
QNetworkRequest makeRequest(const QUrl &url, std::chrono::milliseconds timeout,
                            const std::optional<QString> &bearerToken, const QByteArray &userAgent = {},
                            bool json = false);

// `text` as an absolute URL with a scheme and a host; nothing otherwise.
std::optional<QUrl> absoluteUrl(const QString &text);

struct Answer
{
    // The HTTP status; nothing when the exchange ended without one.
    std::optional<int> status;
    QByteArray body;
};

// Renews the access token of requests the server refused with 401.
class AccessTokenRenewer
{
public:
    virtual ~AccessTokenRenewer() = default;

    // True when `token` is known to run out within moments, so a request
    // should not start with it.
    virtual bool expiresSoon(const QString &token) const = 0;
    // A token to use instead of `token`: one stored meanwhile (by another
    // request or another process), or a fresh one from a refresh that every
    // caller waiting at the same time shares. Nothing when the session is
    // over (no refresh token, or the refresh was refused). Throws what the
    // refresh met when that is passing trouble (no answer, a server fault).
    virtual QCoro::Task<std::optional<QString>> renewedAccessToken(QString token) = 0;

    // The renewer of this process's session: the shared APIClient once it
    // exists, or one a test sets. Main thread only.
    static AccessTokenRenewer *current();
    static void setCurrent(AccessTokenRenewer *renewer);
};

// Sends `verb` with the optional body and waits for the whole answer. Any
// status, including 4xx and 5xx, is an answer. Throws TransportError when no
// complete HTTP answer arrived (refused, reset, host not found); a stalled
// transfer past the request's transfer time-out becomes
// TransportError::timedOut(), and so does a transfer that is still running
// when that time has passed since the start; an answer over
// ReplyLimit::defaultMaxBytes is TransportError::tooLarge(). The reply is a child of `owner`, so none
// outlives the service that sent it. `total`, when given, bounds the whole
// exchange instead of the transfer time-out.
QCoro::Task<Answer> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                         std::optional<QByteArray> body, QObject *owner, std::chrono::milliseconds total = {});

// send() for a request that carries "Authorization: Bearer TOKEN", the one
// path of every signed-in request: a token the renewer knows to be about to
// run out is renewed first; a 401 answer renews the token once and the
// request is sent once more with the new one. Without a new token (signed
// out, refresh refused) the 401 answer is given as it came; passing trouble
// of the refresh is thrown. With no renewer this is send().
QCoro::Task<Answer> sendAuthorized(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                                   std::optional<QByteArray> body, QObject *owner,
                                   AccessTokenRenewer *renewer = AccessTokenRenewer::current(),
                                   std::chrono::milliseconds total = {});

// The outcome of send() or sendAuthorized() for callers that report trouble
// instead of passing it on: the answer, or what went wrong. Await it through
// a named task (`auto sending = outcomeOf(...); co_await std::move(sending)`):
// g++ 12 destroys the temporaries of a co_await expression twice.
struct Outcome
{
    std::optional<Answer> answer;
    // The description of what was thrown; empty with an answer.
    QString failure;
};
QCoro::Task<Outcome> outcomeOf(QCoro::Task<Answer> exchange);

// A body as a log line shows it: its first 500 user-perceived characters
// (never splitting an emoji or a letter from its accent) with every secret
// masked (SecretMask); nothing when it is not valid UTF-8.
std::optional<QString> loggedBody(const QByteArray &body);

} // namespace HttpExchange
