#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// The configuration requests of the protocol services: one GET to the VPN API
// host with the user's bearer token, answered on the main thread. A token the
// API refuses (401) is renewed once and the GET sent again, as for every
// signed-in request (HttpExchange::sendAuthorized).
namespace ConfigRequest {

// The time a configuration request may take, and may stay without progress.
constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(60);
std::chrono::milliseconds timeout();
// Tests shorten the time-out; nothing else changes it.
void setTimeout(std::chrono::milliseconds timeout);

// `baseURL` + `path`, plus "?server_id=" and the id exactly as given (not
// percent-encoded) when there is one. Nothing when the text is not a valid
// absolute URL (a blank in the id, for instance).
std::optional<QUrl> url(const QString &baseURL, const QString &path, const std::optional<QString> &serverId);

// A GET request (HttpExchange::makeRequest) with the time-out above and
// "Authorization: Bearer <token>"; "Content-Type: application/json" too when
// asked.
QNetworkRequest make(const QUrl &url, const QString &accessToken, bool withJsonContentType);

// Sends the GET; the reply finishes once the answer is final (after a renewal
// and second try when the token was refused). The time-out bounds the whole
// exchange too, and an answer larger than ReplyLimit::defaultMaxBytes is
// dropped: both end the reply with a transport error. abort() ends it at once.
QNetworkReply *get(QNetworkAccessManager &network, const QNetworkRequest &request);

// How a finished request ended.
struct Result
{
    enum class Kind {
        TransportError, // no answer: refused, reset, timed out, unreadable URL
        NotHttp, // an answer without an HTTP status (a non-HTTP scheme)
        Http, // an HTTP status, whatever it is, and the body that came with it
    };
    Kind kind = Kind::TransportError;
    // The transport error's description.
    QString errorDescription;
    int status = 0;
    QByteArray body;
};

// The outcome of a finished reply of get().
Result read(QNetworkReply &reply);

} // namespace ConfigRequest
