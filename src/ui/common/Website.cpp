#include "ui/common/Website.h"

#include <QDesktopServices>

using namespace Qt::StringLiterals;

namespace Website {

QString base()
{
    QString address = qEnvironmentVariable("VELORIN_WEBSITE_URL").trimmed();
    if (address.isEmpty())
        address = QStringLiteral(VELORIN_WEBSITE_URL);
    while (address.endsWith(u'/'))
        address.chop(1);
    return address;
}

QUrl page(const QString &base, const QString &path)
{
    const QUrl url(base + path, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != u"https" && url.scheme() != u"http"))
        return {};
    return url;
}

QUrl home()
{
    return page(base(), u"/"_s);
}

QUrl manageSubscription()
{
    return page(base(), u"/vpn/"_s);
}

QUrl support()
{
    return page(base(), u"/support"_s);
}

QUrl privacyPolicy()
{
    return page(base(), u"/privacy"_s);
}

QUrl termsOfService()
{
    return page(base(), u"/terms"_s);
}

bool open(const QUrl &page)
{
    return page.isValid() && QDesktopServices::openUrl(page);
}

} // namespace Website
