#include "ui/Website.h"

#include <QDesktopServices>

using namespace Qt::StringLiterals;

namespace {

QString baseAddress()
{
    QString base = QStringLiteral(VELORIN_WEBSITE_URL);
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

QUrl page(const QString &path)
{
    return QUrl(baseAddress() + path);
}

} // namespace

namespace Website {

QUrl home()
{
    return QUrl(baseAddress());
}

QUrl termsOfService()
{
    return page(u"/terms"_s);
}

QUrl privacyPolicy()
{
    return page(u"/privacy"_s);
}

bool open(const QUrl &page)
{
    return QDesktopServices::openUrl(page);
}

} // namespace Website
