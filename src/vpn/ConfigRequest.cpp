#include "vpn/ConfigRequest.h"

#include "backend/APIError.h"
#include "backend/HttpExchange.h"

#include <QNetworkAccessManager>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace {

std::chrono::milliseconds s_timeout = ConfigRequest::defaultTimeout;

// A configuration GET that behaves like a network reply of its own: it goes
// through the one path of signed-in requests (a refused token is renewed
// once and the request sent again) and finishes with its Result.
class ConfigReply : public QNetworkReply
{
public:
    ConfigReply(QNetworkAccessManager &network, const QNetworkRequest &request)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(QNetworkAccessManager::GetOperation);
        run(this, &network, request);
    }

    const ConfigRequest::Result &result() const { return m_result; }

    void abort() override
    {
        if (m_done)
            return;
        const auto running = findChildren<QNetworkReply *>();
        for (QNetworkReply *reply : running)
            reply->abort();
        finish(ConfigRequest::Result{ConfigRequest::Result::Kind::TransportError, u"The request timed out"_s, 0, {}});
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }

private:
    // Always from the event loop: an answer may be complete before the
    // caller of get() has connected to finished().
    void finish(ConfigRequest::Result result)
    {
        if (m_done)
            return;
        m_done = true;
        m_result = std::move(result);
        QMetaObject::invokeMethod(
            this,
            [this] {
                setFinished(true);
                emit finished();
            },
            Qt::QueuedConnection);
    }

    static QCoro::Task<> run(QPointer<ConfigReply> self, QNetworkAccessManager *network, QNetworkRequest request)
    {
        using Kind = ConfigRequest::Result::Kind;
        ConfigRequest::Result result;
        try {
            auto sending = HttpExchange::sendAuthorized(network, request, "GET", std::nullopt, self.data());
            const HttpExchange::Answer answer = co_await std::move(sending);
            result.kind = answer.status ? Kind::Http : Kind::NotHttp;
            result.status = answer.status.value_or(0);
            result.body = answer.body;
        } catch (const TransportError &error) {
            if (error.isTimeout())
                result.errorDescription = u"The request timed out"_s;
            else if (error.description() == TransportError::tooLarge().description())
                result.errorDescription = u"The response is too large"_s;
            else
                result.errorDescription = error.description();
        } catch (const std::exception &error) {
            // The token refresh met trouble (a server fault).
            result.errorDescription = errorDescription(error);
        }
        if (self)
            self->finish(std::move(result));
    }

    ConfigRequest::Result m_result;
    bool m_done = false;
};

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
    return HttpExchange::makeRequest(url, s_timeout, accessToken, {}, withJsonContentType);
}

QNetworkReply *ConfigRequest::get(QNetworkAccessManager &network, const QNetworkRequest &request)
{
    return new ConfigReply(network, request);
}

ConfigRequest::Result ConfigRequest::read(QNetworkReply &reply)
{
    if (const auto *own = dynamic_cast<const ConfigReply *>(&reply))
        return own->result();
    return Result{Result::Kind::TransportError, u"Not a configuration request"_s, 0, {}};
}
