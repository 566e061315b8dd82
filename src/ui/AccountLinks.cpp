#include "ui/AccountLinks.h"

using namespace Qt::StringLiterals;

namespace AccountLinks {

QString websiteBase()
{
    QString base = qEnvironmentVariable("VELORIN_WEBSITE_URL").trimmed();
    if (base.isEmpty())
        base = QStringLiteral(VELORIN_WEBSITE_URL);
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

QUrl page(const QString &base, const QString &path)
{
    const QUrl url(base + path, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != u"https" && url.scheme() != u"http"))
        return {};
    return url;
}

QUrl website()
{
    return page(websiteBase(), u"/"_s);
}

QUrl manageSubscription()
{
    return page(websiteBase(), u"/vpn/"_s);
}

QUrl support()
{
    return page(websiteBase(), u"/support"_s);
}

QUrl privacy()
{
    return page(websiteBase(), u"/privacy"_s);
}

QUrl terms()
{
    return page(websiteBase(), u"/terms"_s);
}

} // namespace AccountLinks
