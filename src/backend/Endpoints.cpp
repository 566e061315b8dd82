#include "backend/Endpoints.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

QString withoutTrailingSlashes(QString url)
{
    while (url.endsWith(u'/'))
        url.chop(1);
    return url;
}

QString fromEnvironment(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name).trimmed();
    return value.isEmpty() ? fallback : withoutTrailingSlashes(value);
}

} // namespace

QString Endpoints::vpnApiBaseURL() const
{
    return vpnApiHostURL + ApiPath::vpnApiPrefix;
}

QString Endpoints::authHost() const
{
    return QUrl(authBaseURL).host();
}

Endpoints Endpoints::at(const QString &baseURL)
{
    const QString url = withoutTrailingSlashes(baseURL);
    return Endpoints{url, url};
}

Endpoints Endpoints::fromBuild()
{
    const QString both = qEnvironmentVariable("VELORIN_BACKEND_URL").trimmed();
    Endpoints endpoints{withoutTrailingSlashes(QStringLiteral(VELORIN_AUTH_BASE_URL)),
                        withoutTrailingSlashes(QStringLiteral(VELORIN_VPN_API_HOST))};
    if (!both.isEmpty())
        endpoints = at(both);
    endpoints.authBaseURL = fromEnvironment("VELORIN_AUTH_BASE_URL", endpoints.authBaseURL);
    endpoints.vpnApiHostURL = fromEnvironment("VELORIN_VPN_API_HOST", endpoints.vpnApiHostURL);
    return endpoints;
}
