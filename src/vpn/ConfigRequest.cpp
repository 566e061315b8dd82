#include "vpn/ConfigRequest.h"

#include "platform/ReplyLimit.h"

#include <QNetworkAccessManager>

using namespace Qt::StringLiterals;

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

std::chrono::milliseconds s_timeout = ConfigRequest::defaultTimeout;

} // namespace

std::chrono::milliseconds ConfigRequest::timeout()
{
    return s_timeout;
}

void ConfigRequest::setTimeout(std::chrono::milliseconds timeout)
{
    s_timeout = timeout;
}

std::optional<QUrl> ConfigRequest::url(const QString &baseURL, const QString &path,
                                       const std::optional<QString> &serverId)
{
    QString text = baseURL + path;
    if (serverId)
        text += u"?server_id="_s + *serverId;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

QNetworkRequest ConfigRequest::make(const QUrl &url, const QString &accessToken, bool withJsonContentType)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(s_timeout.count()));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    if (withJsonContentType)
        request.setRawHeader("Content-Type", "application/json");
    return request;
}

QNetworkReply *ConfigRequest::get(QNetworkAccessManager &network, const QNetworkRequest &request)
{
    QNetworkReply *reply = network.get(request);
    ReplyLimit::apply(reply, std::chrono::milliseconds(request.transferTimeout()));
    return reply;
}

ConfigRequest::Result ConfigRequest::read(QNetworkReply &reply)
{
    Result result;
    if (ReplyLimit::reasonFor(reply) == ReplyLimit::Reason::TooLarge) {
        result.errorDescription = u"The response is too large"_s;
        return result;
    }
    const QNetworkReply::NetworkError error = reply.error();
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!reportsHttpStatus(error) || (error != QNetworkReply::NoError && !status.isValid())) {
        result.kind = Result::Kind::TransportError;
        if (error == QNetworkReply::OperationCanceledError)
            result.errorDescription = u"The request timed out"_s;
        else
            result.errorDescription = reply.errorString();
        return result;
    }
    result.body = reply.readAll();
    if (!status.isValid()) {
        result.kind = Result::Kind::NotHttp;
        return result;
    }
    result.kind = Result::Kind::Http;
    result.status = status.toInt();
    return result;
}
